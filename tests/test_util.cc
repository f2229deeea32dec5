#include "tests/test_util.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sgsplit::testing {

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = base / ("sgsplit-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(path_)) return;
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteBytes(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::u16string Utf16Path(const std::filesystem::path& file) { return file.u16string(); }

namespace {

void SetEnv(const std::string& name, const char* value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value != nullptr ? value : "");
#else
  if (value != nullptr)
    ::setenv(name.c_str(), value, 1);
  else
    ::unsetenv(name.c_str());
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_value_ = old != nullptr;
  if (had_value_) old_value_ = old;
  SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, had_value_ ? old_value_.c_str() : nullptr); }

#ifdef _WIN32
constexpr const char* kTempVariable = "TMP";
constexpr const char* kSeparator = "\\";
#else
constexpr const char* kTempVariable = "TMPDIR";
constexpr const char* kSeparator = "/";
#endif

ScopedTempFolder::ScopedTempFolder(const std::filesystem::path& folder)
    : env_(kTempVariable, (folder.string() + kSeparator).c_str()) {}

std::size_t CountFiles(const std::filesystem::path& folder) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                std::filesystem::directory_iterator()));
}

std::string Escaped(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      text += hex;
    }
  }
  return text;
}

}  // namespace sgsplit::testing
