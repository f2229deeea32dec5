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

enum class ChooseResult {
  kChosen,
  kCancelled,
  kFailed,       // no dialog could be shown
  kPathTooLong,  // a file was chosen whose path does not fit the dialog's answer
};

enum class ReplaceResult {
  kReplaced,           // the model now holds the result
  kUntouched,          // failed; the model still holds its old content
  kModelChanged,       // the name no longer leads to the file read, or that file
                       // changed after it was opened; whatever is there is untouched
  kMaybeDamaged,       // failed part way; the model may hold neither old nor new content
  kWrittenMeanwhile,   // the result went in, but another program wrote to the
                       // model at the same time: it may hold neither content
  kReplacedMeanwhile,  // the result went in, but another program put another
                       // file under the model's name, or removed it, meanwhile
};

// Which file an open handle leads to, and its size and last changes when it
// was looked at. Two looks that compare equal saw the same, unchanged file.
struct FileIdentity {
  std::uint64_t volume = 0;  // device, or volume serial number
  std::uint64_t file = 0;    // inode, or file index
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write, in the system's units
  std::int64_t changed = 0;   // last change of content or metadata; 0 where not kept

  bool SameFile(const FileIdentity& other) const {
    return volume == other.volume && file == other.file;
  }
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Where a model lay when it was opened for reading, its links resolved once,
// then: the folder and name that putting the result in place works in, so
// that no later lookup of the path can lead elsewhere. Its content is the
// platform's own.
class ModelPlace {
 public:
  virtual ~ModelPlace() = default;
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
  // Creates a new, empty file in `folder` under a unique name that starts
  // with "obj" and cannot be guessed, and returns its full path and a handle
  // on it for reading it back. The handle keeps hold of that very file,
  // whatever happens to its name, until RemoveTempFile or Close.
  virtual FileHandle CreateTempFile(const std::u16string& folder, std::u16string* path) = 0;
  // Removes the temporary file at `path`, open as `file`, and closes `file`.
  // A name that no longer leads to `file` is left alone.
  virtual bool RemoveTempFile(const std::u16string& path, FileHandle file) = 0;

  // Which file `file` is, and its size and times now.
  virtual bool Identify(FileHandle file, FileIdentity* identity) = 0;
  // Where the model opened as `file` by `name` lies. Null on failure.
  virtual std::unique_ptr<ModelPlace> LocateModel(FileHandle file, const FileName& name) = 0;
  // Puts the content of `result` (read from its start) in the model's place,
  // provided that the place still holds the file described by `read`,
  // unchanged. The model keeps what it carries: owner, permissions and the
  // like, and its other names.
  virtual ReplaceResult ReplaceModel(FileHandle result, ModelPlace& place,
                                     const FileIdentity& read) = 0;
  // After ReplaceModel: the path of the model's old content, where it was
  // moved beside the model and stays there. Either the result took its place
  // and the system refused its removal (LastError says why), or another
  // program saved over the model at that moment, and that program's earlier
  // save stays there. False where nothing was left.
  virtual bool OldModelLeft(const ModelPlace& /*place*/, std::u16string* /*path*/) { return false; }

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
  // file or empties it, and never follows a symbolic link. Both let other
  // programs read and write meanwhile.
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
  FileHandle CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    return target_.CreateTempFile(folder, path);
  }
  bool RemoveTempFile(const std::u16string& path, FileHandle file) override {
    return target_.RemoveTempFile(path, file);
  }
  bool Identify(FileHandle file, FileIdentity* identity) override {
    return target_.Identify(file, identity);
  }
  std::unique_ptr<ModelPlace> LocateModel(FileHandle file, const FileName& name) override {
    return target_.LocateModel(file, name);
  }
  ReplaceResult ReplaceModel(FileHandle result, ModelPlace& place,
                             const FileIdentity& read) override {
    return target_.ReplaceModel(result, place, read);
  }
  bool OldModelLeft(const ModelPlace& place, std::u16string* path) override {
    return target_.OldModelLeft(place, path);
  }
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
