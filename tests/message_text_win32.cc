// Prints the text of the program's error message, the window titled
// "sgsplit", as UTF-8, so that the desktop test can read what a user reads.
// Usage: message_text. Exit status 1 when no such window is shown.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The message box shows its text in a static control; the buttons are not
// part of it.
BOOL CALLBACK PrintStaticText(HWND window, LPARAM) {
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (lstrcmpiW(class_name, L"Static") != 0) return TRUE;
  const int length = GetWindowTextLengthW(window);
  if (length == 0) return TRUE;
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), got, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), got, bytes.data(), size, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fputc('\n', stdout);
  return TRUE;
}

}  // namespace

int wmain() {
  const HWND message = FindWindowW(nullptr, L"sgsplit");
  if (message == nullptr) return 1;
  EnumChildWindows(message, PrintStaticText, 0);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
