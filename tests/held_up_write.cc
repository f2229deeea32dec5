#include "tests/held_up_write.h"

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sgsplit {

void HeldUpWrite::Unmap::operator()(char* pages) const { ::munmap(pages, size); }

bool HeldUpWrite::Start(WriteCall write, std::string* why) {
  const auto failed = [why](const char* what) {
    *why = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  faults_ = UniqueFd(static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC)));
  if (!faults_.valid()) return failed("userfaultfd");
  uffdio_api api{};
  api.api = UFFD_API;
  if (::ioctl(faults_.get(), UFFDIO_API, &api) != 0) return failed("userfaultfd");
  page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* const mapped =
      ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return failed("mmap");
  pages_ = std::unique_ptr<char, Unmap>(static_cast<char*>(mapped), Unmap{2 * page_});
  std::memset(pages_.get(), 'a', page_);
  uffdio_register second{};
  second.range.start = reinterpret_cast<std::uintptr_t>(pages_.get() + page_);
  second.range.len = page_;
  second.mode = UFFDIO_REGISTER_MODE_MISSING;
  if (::ioctl(faults_.get(), UFFDIO_REGISTER, &second) != 0) return failed("userfaultfd register");
  writing_ = std::async(std::launch::async, [this, write = std::move(write)] {
    return write(pages_.get(), 2 * page_);
  });
  // Once the write has reached the missing page.
  uffd_msg fault{};
  if (::read(faults_.get(), &fault, sizeof fault) != static_cast<ssize_t>(sizeof fault))
    return failed("userfaultfd read");  // the destructor lets the write go on
  return true;
}

ssize_t HeldUpWrite::Finish() {
  if (finished_) return written_;
  finished_ = true;
  const std::vector<char> rest(page_, 'b');
  uffdio_copy fill{};
  fill.dst = reinterpret_cast<std::uintptr_t>(pages_.get() + page_);
  fill.src = reinterpret_cast<std::uintptr_t>(rest.data());
  fill.len = page_;
  if (::ioctl(faults_.get(), UFFDIO_COPY, &fill) != 0) {
    // Without the page the write fails rather than waits for ever.
    faults_.Close();
  }
  written_ = writing_.get();
  return written_;
}

HeldUpWrite::~HeldUpWrite() {
  if (writing_.valid()) Finish();
}

}  // namespace sgsplit
