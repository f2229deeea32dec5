// The one seam between sgsplit and the operating system.
//
// Everything the pass and the text files ask of the system goes through a
// Platform: the open-file dialog, the temporary file, the replacement, the
// code page and conversion of file names, file access by name, and the
// memory for the I/O buffers. Each platform has one implementation, picked by
// the build; tests wrap it to inject faults. No system header appears here,
// so method names cannot be renamed by a system's macros.
#ifndef SGSPLIT_PLATFORM_PLATFORM_H_
#define SGSPLIT_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sgsplit {

// An open file; what the value means is the platform's business.
enum class FileHandle : std::intptr_t { kInvalid = -1 };

// How a file is named to the open calls: the text narrowed to a code page,
// with the UTF-16 path it was narrowed from. Where narrowing can lose
// characters, a platform opens by `wide` when `narrow` does not turn back into
// it, so that the file opened is always the file that was named.
struct FileName {
  const char* narrow = nullptr;
  const char16_t* wide = nullptr;
  std::uint32_t code_page = 0;
};

enum class ChooseResult { kChosen, kCancelled, kFailed };

enum class ReplaceResult {
  kReplaced,      // the target now holds the source's content
  kUntouched,     // failed; the target still holds its old content
  kMaybeDamaged,  // failed; the target may hold neither old nor new content
};

struct VersionInfo {
  std::uint32_t platform_id = 0;  // 2 for the NT family
  std::uint32_t major = 0;
};

// Code page value that makes the conversion use the thread's ANSI code page.
inline constexpr std::uint32_t kThreadAnsiCodePage = 3;
inline constexpr std::uint32_t kUtf8CodePage = 65001;

class Platform {
 public:
  virtual ~Platform() = default;

  // The open-file dialog. On kChosen, `path` holds the chosen file's path.
  virtual ChooseResult ChooseFile(std::u16string* path) = 0;

  // The temporary folder, ending in the platform's path separator.
  virtual bool GetTempFolder(std::u16string* folder) = 0;
  // Creates a new, empty, uniquely named file whose name starts with "obj"
  // in `folder`, and returns its full path.
  virtual bool CreateTempFile(const std::u16string& folder, std::u16string* path) = 0;
  // Puts the content of `from` in place of the file `to`.
  virtual ReplaceResult CopyOver(const std::u16string& from, const std::u16string& to) = 0;
  virtual bool RemoveFile(const std::u16string& path) = 0;

  // What the file-name code page is decided from.
  virtual bool QueryVersion(VersionInfo* version) = 0;
  // The thread locale's default ANSI code page as decimal text, into `buffer`.
  // Returns the number of chars written with the terminating NUL, 0 on failure.
  virtual int LocaleAnsiCodePage(char* buffer, int size) = 0;
  virtual std::uint32_t AnsiCodePage() = 0;

  // UTF-16 to the code page, the terminator included when it is inside
  // `length`. With a zero `size` it returns the size needed; 0 means failure
  // (LastError tells why).
  virtual int WideToNarrow(std::uint32_t code_page, const char16_t* text, int length, char* out,
                           int size) = 0;

  // File access by name. Reading opens an existing file; writing creates the
  // file or empties it. Both let other programs read and write meanwhile.
  virtual FileHandle OpenForReading(const FileName& name) = 0;
  virtual FileHandle OpenForWriting(const FileName& name) = 0;
  // Reads up to `size` bytes; `*got` is 0 at the end of the file.
  virtual bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) = 0;
  // Moves the file position by `offset` bytes from where it is.
  virtual bool Seek(FileHandle file, std::int64_t offset) = 0;
  virtual bool Write(FileHandle file, const void* data, std::uint32_t size,
                     std::uint32_t* written) = 0;
  virtual bool Close(FileHandle file) = 0;

  // Memory for an I/O buffer, or null when none can be had.
  virtual std::unique_ptr<std::byte[]> Allocate(std::size_t size) = 0;

  // The error of the last call that failed on this thread, and its text.
  virtual std::uint32_t LastError() = 0;
  virtual std::string ErrorText(std::uint32_t code) = 0;
};

// Forwards every call to another platform; derive from it to change a few.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  ChooseResult ChooseFile(std::u16string* path) override { return target_.ChooseFile(path); }
  bool GetTempFolder(std::u16string* folder) override { return target_.GetTempFolder(folder); }
  bool CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    return target_.CreateTempFile(folder, path);
  }
  ReplaceResult CopyOver(const std::u16string& from, const std::u16string& to) override {
    return target_.CopyOver(from, to);
  }
  bool RemoveFile(const std::u16string& path) override { return target_.RemoveFile(path); }
  bool QueryVersion(VersionInfo* version) override { return target_.QueryVersion(version); }
  int LocaleAnsiCodePage(char* buffer, int size) override {
    return target_.LocaleAnsiCodePage(buffer, size);
  }
  std::uint32_t AnsiCodePage() override { return target_.AnsiCodePage(); }
  int WideToNarrow(std::uint32_t code_page, const char16_t* text, int length, char* out,
                   int size) override {
    return target_.WideToNarrow(code_page, text, length, out, size);
  }
  FileHandle OpenForReading(const FileName& name) override { return target_.OpenForReading(name); }
  FileHandle OpenForWriting(const FileName& name) override { return target_.OpenForWriting(name); }
  bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) override {
    return target_.Read(file, buffer, size, got);
  }
  bool Seek(FileHandle file, std::int64_t offset) override { return target_.Seek(file, offset); }
  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    return target_.Write(file, data, size, written);
  }
  bool Close(FileHandle file) override { return target_.Close(file); }
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    return target_.Allocate(size);
  }
  std::uint32_t LastError() override { return target_.LastError(); }
  std::string ErrorText(std::uint32_t code) override { return target_.ErrorText(code); }

 protected:
  Platform& target() { return target_; }

 private:
  Platform& target_;
};

// The platform this build runs on. Where the operating system has no file
// dialog of its own (POSIX), its ChooseFile fails, and the desktop program
// supplies a toolkit's dialog instead.
std::unique_ptr<Platform> NewSystemPlatform();

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_PLATFORM_H_
