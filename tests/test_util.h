// Helpers for tests that work on real files in a scratch folder.
#ifndef SGSPLIT_TESTS_TEST_UTIL_H_
#define SGSPLIT_TESTS_TEST_UTIL_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "app/narrow_path.h"
#include "platform/platform.h"

namespace sgsplit::testing {

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& file, std::string_view bytes);
std::string ReadBytes(const std::filesystem::path& file);

// The path as the pass takes it.
std::u16string Utf16Path(const std::filesystem::path& file);

// A file's name as the reader and the writer are opened with, narrowed to
// UTF-8 as the pass narrows a name.
class OpenName {
 public:
  OpenName(Platform& platform, const std::filesystem::path& file)
      : wide_(Utf16Path(file)), narrow_(platform, wide_.c_str(), kUtf8CodePage) {}
  FileName Name() const { return narrow_.Name(); }

 private:
  std::u16string wide_;
  NarrowPath narrow_;
};

// Sets an environment variable (or unsets it, for null) until the object goes.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_value_;
  bool had_value_;
};

// Makes `folder` the system's temporary folder until the object goes.
class ScopedTempFolder {
 public:
  explicit ScopedTempFolder(const std::filesystem::path& folder);

 private:
  ScopedEnv env_;
};

// The real platform, with the dialog's answer given in advance.
class ScriptedChoice final : public PlatformWrapper {
 public:
  ScriptedChoice(Platform& target, std::u16string path, ChooseResult result = ChooseResult::kChosen)
      : PlatformWrapper(target), path_(std::move(path)), result_(result) {}
  ChooseResult ChooseFile(std::u16string* path) override {
    *path = path_;
    return result_;
  }

 private:
  std::u16string path_;
  ChooseResult result_;
};

std::size_t CountFiles(const std::filesystem::path& folder);

// Shows bytes with everything outside printable ASCII escaped, for messages.
std::string Escaped(std::string_view bytes);

}  // namespace sgsplit::testing

#endif  // SGSPLIT_TESTS_TEST_UTIL_H_
