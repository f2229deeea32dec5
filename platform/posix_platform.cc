// The platform on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix_file_names.h"

namespace sgsplit {
namespace {

// Longest temporary folder and temporary path, in UTF-16 units, as the
// 260-character buffers with their terminator allow.
constexpr std::size_t kMaxTempPathLength = 259;

// A code of our own beside errno's, for files that are not regular files.
constexpr std::uint32_t kErrorNotRegularFile = 0x10000;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Hands the descriptor on without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now, reporting the result.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

int FdOf(FileHandle file) { return static_cast<int>(static_cast<std::intptr_t>(file)); }
FileHandle HandleOf(int fd) { return static_cast<FileHandle>(static_cast<std::intptr_t>(fd)); }

class PosixPlatform final : public Platform {
 public:
  ChooseResult ChooseFile(std::u16string*) override {
    // The system itself has no file dialog; the desktop program brings one.
    last_error_ = ENOTSUP;
    return ChooseResult::kFailed;
  }

  bool GetTempFolder(std::u16string* folder) override {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string bytes = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    if (bytes.back() != '/') bytes += '/';
    std::u16string wide = WidenFileName(bytes);
    if (wide.size() > kMaxTempPathLength) return Failed(ENAMETOOLONG);
    *folder = std::move(wide);
    return true;
  }

  bool CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    std::string base;
    if (!NarrowFileName(folder, &base)) return Failed(EILSEQ);
    // Like the system's own temporary names: "obj", four hex digits, ".tmp".
    unsigned unique = static_cast<unsigned>(::getpid() ^ std::time(nullptr)) & 0xFFFF;
    for (unsigned tries = 0; tries <= 0xFFFF; ++tries, unique = (unique + 1) & 0xFFFF) {
      char name[16];
      std::snprintf(name, sizeof name, "obj%04X.tmp", unique);
      const std::string candidate = base + name;
      std::u16string wide = WidenFileName(candidate);
      if (wide.size() > kMaxTempPathLength) return Failed(ENAMETOOLONG);
      UniqueFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (fd.get() >= 0) {
        if (!fd.Close()) {
          const int error = errno;
          ::unlink(candidate.c_str());
          return Failed(error);
        }
        *path = std::move(wide);
        return true;
      }
      if (errno != EEXIST) return Failed(errno);
    }
    return Failed(EEXIST);
  }

  ReplaceResult CopyOver(const std::u16string& from, const std::u16string& to) override {
    std::string source, chosen;
    if (!NarrowFileName(from, &source) || !NarrowFileName(to, &chosen)) {
      Failed(EILSEQ);
      return ReplaceResult::kUntouched;
    }
    return ReplaceByRename(source, chosen) ? ReplaceResult::kReplaced : ReplaceResult::kUntouched;
  }

  bool RemoveFile(const std::u16string& path) override {
    std::string bytes;
    if (!NarrowFileName(path, &bytes)) return Failed(EILSEQ);
    return ::unlink(bytes.c_str()) == 0 || Failed(errno);
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
    // Not blocking, so that a FIFO is refused rather than waited on.
    UniqueFd fd(::open(name.narrow, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return FailedOpen(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return FailedOpen(errno);
    // Only a regular file can be rewritten and put back in its place.
    if (S_ISDIR(st.st_mode)) return FailedOpen(EISDIR);
    if (!S_ISREG(st.st_mode)) return FailedOpen(kErrorNotRegularFile);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return FailedOpen(errno);
    return HandleOf(fd.Release());
  }

  FileHandle OpenForWriting(const FileName& name) override {
    UniqueFd fd(::open(name.narrow, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return FailedOpen(errno);
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
    // A line at a time comes here, and nearly always goes in one call.
    const ssize_t n = ::write(FdOf(file), data, size);
    if (n == static_cast<ssize_t>(size)) [[likely]] {
      *written = size;
      return true;
    }
    return WriteRest(file, static_cast<const char*>(data), size, n, written);
  }

  bool Close(FileHandle file) override { return ::close(FdOf(file)) == 0 || Failed(errno); }

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
    return std::strerror(static_cast<int>(code));
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

  bool ReplaceByRename(const std::string& source, const std::string& chosen);
  bool WriteRest(FileHandle file, const char* bytes, std::uint32_t size, ssize_t first,
                 std::uint32_t* written);

  std::uint32_t last_error_ = 0;
};

// After a first write that went short, was interrupted or failed.
__attribute__((noinline)) bool PosixPlatform::WriteRest(FileHandle file, const char* bytes,
                                                        std::uint32_t size, ssize_t first,
                                                        std::uint32_t* written) {
  if (first < 0 && errno != EINTR) {
    *written = 0;
    return Failed(errno);
  }
  *written = first > 0 ? static_cast<std::uint32_t>(first) : 0;
  while (*written < size) {
    const ssize_t n = ::write(FdOf(file), bytes + *written, size - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed(errno);
    }
    *written += static_cast<std::uint32_t>(n);
  }
  return true;
}

// The new content is written beside the chosen file and renamed over it, so
// the chosen file is wholly old or wholly new whatever fails. A symbolic link
// is followed: its target is replaced and the link stays a link.
bool PosixPlatform::ReplaceByRename(const std::string& source, const std::string& chosen) {
  char resolved[PATH_MAX];
  if (::realpath(chosen.c_str(), resolved) == nullptr) return Failed(errno);
  const std::string target = resolved;
  struct stat st;
  if (::stat(target.c_str(), &st) != 0) return Failed(errno);
  if (!S_ISREG(st.st_mode)) return Failed(kErrorNotRegularFile);
  // A file that may not be written stays as it is, although the rename below
  // would get past its permissions: read-only means read-only, as it does to
  // the system's copy on other platforms. This also answers for a file marked
  // immutable and for a read-only mount.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return Failed(errno);

  const std::string folder = target.substr(0, target.rfind('/') + 1);
  std::string sibling = folder + ".sgsplit-XXXXXX";
  UniqueFd out(::mkostemp(sibling.data(), O_CLOEXEC));
  if (out.get() < 0) return Failed(errno);

  auto abandon = [&](int error) {
    ::unlink(sibling.c_str());
    return Failed(error);
  };

  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return abandon(errno);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return abandon(errno);
      }
      done += w;
    }
  }

  // Owner first: changing it clears the set-user and set-group bits.
  if (::fchown(out.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) return abandon(errno);
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return abandon(errno);
  // The rename must not reach the disk before the content does.
  if (::fsync(out.get()) != 0) return abandon(errno);
  if (!out.Close()) return abandon(errno);
  if (::rename(sibling.c_str(), target.c_str()) != 0) return abandon(errno);

  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

}  // namespace

std::unique_ptr<Platform> NewSystemPlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace sgsplit
