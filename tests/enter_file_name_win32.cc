// Puts a name into the file name box of the program's open-file dialog, as
// pasting it there would, for the desktop test. Under Wine on a busy machine,
// typing a character that the keyboard map lacks loses it now and then: the
// key bound for it may be read after its binding is undone.
// Usage: enter_file_name NAME. Exit status 1 when the dialog or its box is not
// there.
#include <windows.h>

#include <cstdio>

namespace {

constexpr wchar_t kTitle[] = L"Choose OBJ file to edit";

// The dialog has one edit box: the file name's.
BOOL CALLBACK FindEdit(HWND window, LPARAM found) {
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (lstrcmpiW(class_name, L"Edit") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("Usage: enter_file_name NAME\n", stderr);
    return 64;
  }
  const HWND dialog = FindWindowW(nullptr, kTitle);
  if (dialog == nullptr) return 1;
  HWND edit = nullptr;
  EnumChildWindows(dialog, FindEdit, reinterpret_cast<LPARAM>(&edit));
  if (edit == nullptr) return 1;
  // The box belongs to another process, so its text is set by message.
  return SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[1])) == TRUE ? 0 : 1;
}
