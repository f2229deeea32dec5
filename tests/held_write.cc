// Appends a page of 'a' and a page of 'b' to a file in one write that is
// held up in the kernel part way, as the write of a program that is not
// scheduled is, until a line comes on standard input. Usage: held_write FILE
// Prints "held" once the write is held up (the page of 'b' it writes from is
// not there yet, and the write waits for it), and "wrote N" when it ends.
// Exits with 77 where the system lets no such page be made (userfaultfd).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/posix_fd.h"
#include "tests/held_up_write.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Usage: held_write FILE\n", stderr);
    return 64;
  }
  const sgsplit::UniqueFd file(::open(argv[1], O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!file.valid()) {
    std::perror(argv[1]);
    return 1;
  }
  sgsplit::HeldUpWrite held;
  std::string why;
  if (!held.Start(
          [&](const char* bytes, std::size_t size) { return ::write(file.get(), bytes, size); },
          &why)) {
    std::fprintf(stderr, "held_write: %s\n", why.c_str());
    return 77;
  }
  std::puts("held");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
  std::printf("wrote %zd\n", held.Finish());
  return 0;
}
