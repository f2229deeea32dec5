// The platform on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix_cleanup.h"
#include "platform/posix_fd.h"
#include "platform/posix_file_names.h"
#include "platform/posix_replace.h"

namespace sgsplit {
namespace {

// Longest temporary file's path, in UTF-16 units, as the 260-character
// buffers with their terminator allow.
constexpr std::size_t kMaxTempPathLength = 259;

// Opens the folder that files are made in, found and renamed in by name. One
// that may be searched but not listed (a drop box, or a shared temporary
// folder of mode 1733, so that its users cannot see each other's files) is
// held as a path alone, which serves for all of that.
UniqueFd OpenFolder(const char* path) {
  UniqueFd folder(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() && errno == EACCES)
    folder = UniqueFd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
  return folder;
}

// A code of our own beside errno's, for files that are not regular files.
constexpr std::uint32_t kErrorNotRegularFile = 0x10000;

int FdOf(FileHandle file) { return static_cast<int>(static_cast<std::intptr_t>(file)); }
FileHandle HandleOf(int fd) { return static_cast<FileHandle>(static_cast<std::intptr_t>(fd)); }

// Makes calls on `fd`, opened without blocking to keep a FIFO from holding
// up the open, block again as they do on any file.
bool Blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens /dev/null as standard input, output or error where the program was
// started without it. Every file opened later takes the lowest free
// descriptor: it would otherwise become standard error, and a message meant
// for the user would be written into it (a toolkit's display connection, a
// model). They stay open for the life of the process, as the standard ones do.
void OpenMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open, so this one is the lowest free descriptor.
    if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return;
  }
}

class PosixModelPlace final : public ModelPlace {
 public:
  UniqueFd folder;
  std::string folder_path;
  std::string name;
  // The name in the folder of the model's old content that the replacement
  // could not remove; empty where it was removed.
  std::string old_left;
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() {
    OpenMissingStandardStreams();
    RemoveNotedFilesOnSignals();
  }

  ChooseResult ChooseFile(std::u16string*) override {
    // The system itself has no file dialog; the desktop program brings one.
    last_error_ = ENOTSUP;
    return ChooseResult::kFailed;
  }

  bool GetTempFolder(std::u16string* folder) override {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string bytes = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    if (bytes.back() != '/') bytes += '/';
    // A folder too long for a temporary name in it is found when the file is
    // made, whose failure names the folder; here the user would not learn
    // which folder was meant.
    *folder = WidenFileName(bytes);
    return true;
  }

  FileHandle CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    std::string base;
    if (!NarrowFileName(folder, &base)) return FailedOpen(EILSEQ);
    TempFile temp;
    temp.folder = OpenFolder(base.c_str());
    if (!temp.folder.valid()) return FailedOpen(errno);
    for (int tries = 0; tries < 100; ++tries) {
      temp.name = UnguessableName("obj", ".tmp");
      if (temp.name.empty()) return FailedOpen(errno);
      std::u16string wide = WidenFileName(base + temp.name);
      if (wide.size() > kMaxTempPathLength) return FailedOpen(ENAMETOOLONG);
      // Noted for removal from its first moment: a signal may come at any time.
      const SignalsHeld held;
      UniqueFd fd(::openat(temp.folder.get(), temp.name.c_str(),
                           O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!fd.valid()) {
        if (errno == EEXIST) continue;
        return FailedOpen(errno);
      }
      // The writer opens it again by name: the owner must be able to write
      // it, whatever the umask took away (222 makes every new file read-only).
      struct stat st;
      if (::fstat(fd.get(), &st) != 0 ||
          ((st.st_mode & 0600) != 0600 && ::fchmod(fd.get(), 0600) != 0)) {
        const int error = errno;
        ::unlinkat(temp.folder.get(), temp.name.c_str(), 0);
        return FailedOpen(error);
      }
      temp.noted =
          std::make_unique<NotedFile>(temp.folder.get(), temp.name.c_str(), st.st_dev, st.st_ino);
      *path = std::move(wide);
      const int handle = fd.Release();
      temp_files_[handle] = std::move(temp);
      return HandleOf(handle);
    }
    return FailedOpen(EEXIST);
  }

  bool RemoveTempFile(const std::u16string& /*path*/, FileHandle file) override {
    const auto temp = temp_files_.find(FdOf(file));
    if (temp == temp_files_.end()) {
      Close(file);
      return Failed(EBADF);
    }
    // The file is found by what was made, not by the name, and removed only
    // while the name still leads to it: another user who can write the
    // temporary folder may have put a file of theirs there.
    const int folder = temp->second.folder.get();
    const char* name = temp->second.name.c_str();
    struct stat held, named;
    bool removed;
    if (::fstat(FdOf(file), &held) != 0 ||
        (held.st_nlink != 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0)) {
      removed = Failed(errno);
    } else if (held.st_nlink == 0) {
      removed = true;  // somebody removed it already: it goes when it is closed
    } else if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
      removed = Failed(EEXIST);  // the name is another file's now
    } else {
      removed = ::unlinkat(folder, name, 0) == 0 || Failed(errno);
    }
    temp_files_.erase(temp);
    ::close(FdOf(file));
    return removed;
  }

  bool Identify(FileHandle file, FileIdentity* identity) override {
    struct stat st;
    if (::fstat(FdOf(file), &st) != 0) return Failed(errno);
    *identity = IdentityOf(st);
    return true;
  }

  std::unique_ptr<ModelPlace> LocateModel(FileHandle, const FileName& name) override {
    // Links are resolved once, here: the result replaces the file that the
    // link led to when the model was opened, and the link stays a link.
    char resolved[PATH_MAX];
    if (::realpath(name.narrow, resolved) == nullptr) {
      Failed(errno);
      return nullptr;
    }
    const std::string_view path(resolved);
    const std::size_t slash = path.rfind('/');
    auto place = std::make_unique<PosixModelPlace>();
    const std::string folder(path.substr(0, slash == 0 ? 1 : slash));
    place->name = path.substr(slash + 1);
    place->folder = OpenFolder(folder.c_str());
    place->folder_path = folder;
    if (!place->folder.valid()) {
      Failed(errno);
      return nullptr;
    }
    return place;
  }

  ReplaceResult ReplaceModel(FileHandle result, ModelPlace& where,
                             const FileIdentity& read) override {
    auto& place = static_cast<PosixModelPlace&>(where);
    // A result that is kept is no longer removed on a signal.
    const auto keep_result = [&] {
      if (const auto temp = temp_files_.find(FdOf(result)); temp != temp_files_.end())
        temp->second.noted.reset();
    };
    int error = 0;
    const ReplaceResult outcome = ReplaceModelFile(place.folder.get(), place.name, FdOf(result),
                                                   read, keep_result, &place.old_left, &error);
    last_error_ = static_cast<std::uint32_t>(error);
    return outcome;
  }

  bool OldModelLeft(const ModelPlace& where, std::u16string* path) override {
    const auto& place = static_cast<const PosixModelPlace&>(where);
    if (place.old_left.empty()) return false;
    std::string bytes = place.folder_path;
    if (bytes.back() != '/') bytes += '/';
    *path = WidenFileName(bytes + place.old_left);
    return true;
  }

  bool QueryVersion(VersionInfo*) override { return Failed(ENOSYS); }

  int LocaleAnsiCodePage(char* buffer, int size) override {
    // File names are UTF-8 here, whatever the locale says of text.
    static constexpr char kUtf8[] = "65001";
    if (size < static_cast<int>(sizeof kUtf8)) return FailedCount(ERANGE);
    std::memcpy(buffer, kUtf8, sizeof kUtf8);
    return static_cast<int>(sizeof kUtf8);
  }

  std::uint32_t AnsiCodePage() override { return kUtf8CodePage; }

  int WideToNarrow(std::uint32_t code_page, const char16_t* text, int length, char* out,
                   int size) override {
    if ((code_page != kUtf8CodePage && code_page != kThreadAnsiCodePage) || length < 0 || size < 0)
      return FailedCount(EINVAL);
    const std::u16string_view view(text, static_cast<std::size_t>(length));
    const std::ptrdiff_t needed = NarrowFileName(view, nullptr, 0);
    if (needed < 0) return FailedCount(EILSEQ);
    if (needed > INT_MAX) return FailedCount(ENAMETOOLONG);
    if (size == 0) return static_cast<int>(needed);
    if (needed > size) return FailedCount(ERANGE);
    NarrowFileName(view, out, static_cast<std::size_t>(size));
    return static_cast<int>(needed);
  }

  FileHandle OpenForReading(const FileName& name) override {
    // The name is looked up once, without opening what it leads to: opening
    // alone can act on a device (rewind a tape, start a watchdog, take a
    // terminal as the program's own) or a FIFO. Only a regular file found
    // there is opened, as that very file, through /proc: a device or a FIFO
    // that another program puts under the name meanwhile is never opened.
    UniqueFd found(::open(name.narrow, O_PATH | O_CLOEXEC));
    if (!found.valid()) return FailedOpen(errno);
    struct stat st;
    if (::fstat(found.get(), &st) != 0) return FailedOpen(errno);
    // Only a regular file can be rewritten and put back in its place.
    if (S_ISDIR(st.st_mode)) return FailedOpen(EISDIR);
    if (!S_ISREG(st.st_mode)) return FailedOpen(kErrorNotRegularFile);
    // Not waiting: a file that another program holds a lease on (a file
    // server) is refused at once rather than after the lease is broken.
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd = ReopenFound(found, kFlags, AT_FDCWD, name.narrow, 0);
    if (!fd.valid()) return FailedOpen(errno);
    if (::fstat(fd.get(), &st) != 0) return FailedOpen(errno);
    if (!S_ISREG(st.st_mode)) return FailedOpen(kErrorNotRegularFile);
    // Another run copying its result into the model holds it half old, half
    // new until it is done.
    if (WriteLocked(fd.get())) return FailedOpen(kErrorWriteLocked);
    if (!Blocking(fd.get())) return FailedOpen(errno);
    return HandleOf(fd.Release());
  }

  FileHandle OpenForWriting(const FileName& name) override {
    // Not blocking, so that a FIFO that nobody reads is refused rather than
    // waited on for ever.
    UniqueFd fd(::open(name.narrow,
                       O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (fd.get() < 0) return FailedOpen(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FailedOpen(errno);
    // Emptied only when it holds something. On ext4 a file truncated to
    // nothing is flushed to the disk when it is closed, which would write the
    // whole temporary result to the disk a second time for nothing.
    if (S_ISREG(st.st_mode) && st.st_size != 0) {
      // A file with other names would be emptied under those too: in a
      // folder that others can write, a name may lead to anybody's file.
      if (st.st_nlink > 1) return FailedOpen(EMLINK);
      if (::ftruncate(fd.get(), 0) != 0) return FailedOpen(errno);
    }
    if (!Blocking(fd.get())) return FailedOpen(errno);
    return HandleOf(fd.Release());
  }

  bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) override {
    ssize_t n;
    do {
      n = ::read(FdOf(file), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Failed(errno);
    *got = static_cast<std::uint32_t>(n);
    return true;
  }

  bool Seek(FileHandle file, std::int64_t offset) override {
    return ::lseek(FdOf(file), static_cast<off_t>(offset), SEEK_CUR) >= 0 || Failed(errno);
  }

  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    const char* bytes = static_cast<const char*>(data);
    *written = 0;
    while (*written < size) {
      const ssize_t n = ::write(FdOf(file), bytes + *written, size - *written);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Failed(errno);
      }
      // A file that takes nothing of what is left would be asked for ever.
      if (n == 0) return Failed(EIO);
      *written += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  bool Close(FileHandle file) override {
    temp_files_.erase(FdOf(file));  // a temporary file kept is no longer removed on a signal
    return ::close(FdOf(file)) == 0 || Failed(errno);
  }

  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    try {
      return std::make_unique_for_overwrite<std::byte[]>(size);
    } catch (const std::bad_alloc&) {
      last_error_ = ENOMEM;
      return nullptr;
    }
  }

  std::uint32_t LastError() override { return last_error_; }

  std::string ErrorText(std::uint32_t code) override {
    if (code == kErrorNotRegularFile) return "Not a regular file";
    if (code == kErrorWriteLocked) return "Locked by another program that is writing it";
    // In the C locale's words, whatever locale the program runs in: the
    // desktop program's toolkit takes the user's, whose texts would come in
    // its language and character set (one the message window cannot show),
    // and no longer read as sgsplit-batch's and the manual's.
    const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    if (c_locale == locale_t{}) return std::strerror(static_cast<int>(code));
    std::string text = ::strerror_l(static_cast<int>(code), c_locale);
    ::freelocale(c_locale);
    return text;
  }

 private:
  bool Failed(int error) {
    last_error_ = static_cast<std::uint32_t>(error);
    return false;
  }
  // For the calls that answer a count, where 0 is the failure.
  int FailedCount(int error) {
    Failed(error);
    return 0;
  }
  FileHandle FailedOpen(std::uint32_t error) {
    last_error_ = error;
    return FileHandle::kInvalid;
  }

  // A temporary file made here, by the descriptor it is held by.
  struct TempFile {
    UniqueFd folder;
    std::string name;
    std::unique_ptr<NotedFile> noted;
  };
  std::map<int, TempFile> temp_files_;
  std::uint32_t last_error_ = 0;
};

}  // namespace

std::unique_ptr<Platform> NewSystemPlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace sgsplit
