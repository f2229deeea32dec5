// Appends a page of 'a' and a page of 'b' to a file in one write that is
// held up in the kernel part way, as the write of a program that is not
// scheduled is, until a line comes on standard input. Usage: held_write FILE
// Prints "held" once the write is held up (the page of 'b' it writes from is
// not there yet, and the write waits for it), and "wrote N" when it ends.
// Exits with 77 where the system lets no such page be made (userfaultfd).
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix_fd.h"

namespace {

struct Unmap {
  std::size_t size;
  void operator()(void* pages) const { ::munmap(pages, size); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Usage: held_write FILE\n", stderr);
    return 64;
  }
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const sgsplit::UniqueFd faults(static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC)));
  uffdio_api api{};
  api.api = UFFD_API;
  if (!faults.valid() || ::ioctl(faults.get(), UFFDIO_API, &api) != 0) {
    std::perror("held_write: userfaultfd");
    return 77;
  }
  void* const mapped =
      ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return 1;
  const std::unique_ptr<void, Unmap> pages(mapped, Unmap{2 * page});
  char* const bytes = static_cast<char*>(mapped);
  std::memset(bytes, 'a', page);
  uffdio_register second{};
  second.range.start = reinterpret_cast<std::uintptr_t>(bytes + page);
  second.range.len = page;
  second.mode = UFFDIO_REGISTER_MODE_MISSING;
  if (::ioctl(faults.get(), UFFDIO_REGISTER, &second) != 0) {
    std::perror("held_write: register");
    return 77;
  }
  const sgsplit::UniqueFd file(::open(argv[1], O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!file.valid()) {
    std::perror(argv[1]);
    return 1;
  }
  auto writing =
      std::async(std::launch::async, [&] { return ::write(file.get(), bytes, 2 * page); });
  uffd_msg fault{};
  if (::read(faults.get(), &fault, sizeof fault) != static_cast<ssize_t>(sizeof fault)) return 1;
  std::puts("held");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
  const std::vector<char> rest(page, 'b');
  uffdio_copy fill{};
  fill.dst = second.range.start;
  fill.src = reinterpret_cast<std::uintptr_t>(rest.data());
  fill.len = page;
  if (::ioctl(faults.get(), UFFDIO_COPY, &fill) != 0) return 1;
  std::printf("wrote %zd\n", writing.get());
  return 0;
}
