// Helpers for tests that work on real files in a scratch folder.
#ifndef SGSPLIT_TESTS_TEST_UTIL_H_
#define SGSPLIT_TESTS_TEST_UTIL_H_

#include <filesystem>
#include <string>
#include <string_view>

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

// Shows bytes with everything outside printable ASCII escaped, for messages.
std::string Escaped(std::string_view bytes);

}  // namespace sgsplit::testing

#endif  // SGSPLIT_TESTS_TEST_UTIL_H_
