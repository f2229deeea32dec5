// sgsplit-batch on Windows: the arguments arrive as UTF-16 and name the files
// exactly; messages are written as UTF-8, which the console is switched to.
#include <windows.h>
// After <windows.h>.
#include <fcntl.h>
#include <io.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/quote_name.h"

namespace {

// Text of a UTF-16 argument, for telling options apart. A lone surrogate,
// which a file name may hold, turns into U+FFFD; messages show names by
// ShowName, which quotes it instead.
std::string Utf8(const std::u16string& text) {
  if (text.empty()) return {};
  const std::wstring wide(text.begin(), text.end());
  const int length = static_cast<int>(wide.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "(unprintable name)";
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// Makes the console show UTF-8 for the program's lifetime and gives the
// console (shared with the shell that started us) its code page back after.
class Utf8Console {
 public:
  Utf8Console() : old_code_page_(GetConsoleOutputCP()) {
    if (old_code_page_ != 0) SetConsoleOutputCP(CP_UTF8);
  }
  ~Utf8Console() {
    if (old_code_page_ != 0) SetConsoleOutputCP(old_code_page_);
  }
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  UINT old_code_page_;  // 0 when there is no console
};

// More than the longest message line: a model's path of 1023 UTF-16 units
// and the temporary file's, each unit shown in up to ten bytes, and a reason.
constexpr std::size_t kLineRoom = 32 * 1024;

// A console decodes UTF-8 only from whole sequences in one write. The C
// library's text mode hands a console one byte at a time, and may first read
// them in its own locale's code page, so a name outside ASCII showed as other
// characters. A stream that is a console is written in binary mode (the
// console starts a new line at LF itself), through a buffer that takes a whole
// line; the caller flushes it after each line.
void WholeLinesToConsole(std::FILE* stream) {
  const int descriptor = _fileno(stream);
  DWORD mode = 0;
  if (descriptor < 0 ||
      !GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), &mode))
    return;
  _setmode(descriptor, _O_BINARY);
  std::setvbuf(stream, nullptr, _IOFBF, kLineRoom);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Utf8Console console;
  WholeLinesToConsole(stderr);
  std::vector<sgsplit::BatchArgument> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view word(argv[i]);
    std::u16string path(word.begin(), word.end());
    std::string text = Utf8(path);
    arguments.push_back({std::move(path), std::move(text)});
  }
  const auto platform = sgsplit::NewSystemPlatform();
  const int status = sgsplit::RunBatch(*platform, arguments, sgsplit::ShowName, stdout, stderr);
  // Before the console's code page goes back.
  std::fflush(stdout);
  std::fflush(stderr);
  return status;
}
