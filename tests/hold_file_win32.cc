// Holds a file open for reading and shares it with no one, as a program that
// keeps a model open exclusively does, until it is ended. The desktop test
// uses it for a model that cannot be read. Usage: hold_file FILE
// Prints "held" once the file is open.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <type_traits>

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("Usage: hold_file FILE\n", stderr);
    return 64;
  }
  const UniqueHandle file(CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open: error %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}
