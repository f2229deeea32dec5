// A file descriptor owned by one object, closed when it goes.
#ifndef SGSPLIT_PLATFORM_POSIX_FD_H_
#define SGSPLIT_PLATFORM_POSIX_FD_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/platform.h"

namespace sgsplit {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor on without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes now, reporting the result.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_;
};

inline FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity identity;
  identity.volume = static_cast<std::uint64_t>(st.st_dev);
  identity.file = static_cast<std::uint64_t>(st.st_ino);
  identity.size = static_cast<std::uint64_t>(st.st_size);
  identity.modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  identity.changed =
      static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  return identity;
}

// Opens with `flags` the very file that `found`, a descriptor taken with
// O_PATH, stands for, through /proc. Without /proc, `name` in `folder` is
// opened again as it leads now, with `name_flags` added.
inline UniqueFd ReopenFound(const UniqueFd& found, int flags, int folder, const char* name,
                            int name_flags) {
  char proc[32];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", found.get());
  UniqueFd fd(::open(proc, flags));
  if (!fd.valid() && errno == ENOENT) fd = UniqueFd(::openat(folder, name, flags | name_flags));
  return fd;
}

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_POSIX_FD_H_
