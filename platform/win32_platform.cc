// The platform on Windows: the common open-file dialog, the system's
// temporary files, and file access by code-page name, with the UTF-16 name
// standing in wherever the code-page name would not find the same file.
#include <windows.h>
// After <windows.h>, which it builds on.
#include <commdlg.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace sgsplit {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows strings are UTF-16");
static_assert(kThreadAnsiCodePage == CP_THREAD_ACP);
static_assert(kUtf8CodePage == CP_UTF8);

// The dialog's result buffer and the temporary folder and file buffers, in
// UTF-16 units with the terminator.
constexpr DWORD kDialogBufferSize = 1024;
constexpr DWORD kTempBufferSize = 260;

// The record without its trailing reserved fields (OPENFILENAME_SIZE_VERSION_400W):
// 76 bytes on 32-bit builds and 136 on 64-bit ones. A size that does not match
// the build's layout makes GetOpenFileNameW fail before any dialog is shown.
constexpr DWORD kOpenFileNameSize =
    offsetof(OPENFILENAMEW, lpTemplateName) + sizeof(OPENFILENAMEW::lpTemplateName);
static_assert(kOpenFileNameSize == (sizeof(void*) == 8 ? 136 : 76));

// The one pair of names and patterns, each NUL-terminated; the literal's own
// terminator is the second NUL that ends the list.
constexpr wchar_t kFilter[] = L"OBJ files (*.obj)\0*.obj\0";
static_assert(sizeof kFilter / sizeof kFilter[0] == 25);

constexpr DWORD kVersionRecordSize = 276;
static_assert(sizeof(OSVERSIONINFOW) == kVersionRecordSize);

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::wstring ToWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string FromWide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

HANDLE HandleOf(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}
FileHandle FileOf(HANDLE handle) {
  return static_cast<FileHandle>(reinterpret_cast<std::intptr_t>(handle));
}
static_assert(static_cast<std::intptr_t>(FileHandle::kInvalid) == -1,
              "FileHandle::kInvalid is INVALID_HANDLE_VALUE");

// Whether the code-page name turns back into exactly the UTF-16 name. The
// conversion replaces what the code page lacks by a similar or a default
// character, so a name that does not come back may name no file or another.
bool NarrowNameIsFaithful(const FileName& name) {
  if (name.wide == nullptr) return true;
  const int size = MultiByteToWideChar(name.code_page, 0, name.narrow, -1, nullptr, 0);
  if (size <= 0) return false;
  std::wstring back(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(name.code_page, 0, name.narrow, -1, back.data(), size) != size)
    return false;
  back.pop_back();  // the terminator
  return std::u16string_view(name.wide) == FromWide(back);
}

// Opens by the code-page name, or by the UTF-16 name when the code-page name
// is not faithful, with the same access, sharing, disposition and attributes.
HANDLE OpenByName(const FileName& name, DWORD access, DWORD disposition) {
  if (NarrowNameIsFaithful(name))
    return CreateFileA(name.narrow, access, kShareReadWrite, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  const std::wstring wide = ToWide(name.wide);
  return CreateFileW(wide.c_str(), access, kShareReadWrite, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class Win32Platform final : public Platform {
 public:
  ChooseResult ChooseFile(std::u16string* path) override {
    wchar_t file[kDialogBufferSize] = {};  // no proposed name
    OPENFILENAMEW record = {};
    record.lStructSize = kOpenFileNameSize;
    record.lpstrFilter = kFilter;
    record.lpstrFile = file;
    record.nMaxFile = kDialogBufferSize;
    record.lpstrTitle = L"Choose OBJ file to edit";
    record.lpstrDefExt = L"obj";
    record.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&record)) {
      // The dialog reports no error of its own when the user cancelled it.
      return CommDlgExtendedError() == 0 ? ChooseResult::kCancelled : ChooseResult::kFailed;
    }
    *path = FromWide(file);
    return ChooseResult::kChosen;
  }

  bool GetTempFolder(std::u16string* folder) override {
    wchar_t buffer[kTempBufferSize];
    const DWORD length = GetTempPathW(kTempBufferSize, buffer);
    if (length == 0) return false;
    // A longer folder is reported by the size it would need.
    if (length >= kTempBufferSize) return Failed(ERROR_FILENAME_EXCED_RANGE);
    *folder = FromWide(std::wstring_view(buffer, length));
    return true;
  }

  bool CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    wchar_t buffer[kTempBufferSize];
    const std::wstring wide_folder = ToWide(folder);
    if (GetTempFileNameW(wide_folder.c_str(), L"obj", 0, buffer) == 0) return false;
    *path = FromWide(buffer);
    return true;
  }

  ReplaceResult CopyOver(const std::u16string& from, const std::u16string& to) override {
    const std::wstring source = ToWide(from), target = ToWide(to);
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return ReplaceResult::kReplaced;
    // The copy writes into the target itself; when it fails, nothing says how
    // much of the target was already overwritten.
    return ReplaceResult::kMaybeDamaged;
  }

  bool RemoveFile(const std::u16string& path) override {
    const std::wstring wide = ToWide(path);
    return DeleteFileW(wide.c_str()) != 0;
  }

  bool QueryVersion(VersionInfo* version) override {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = kVersionRecordSize;
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // deprecated, but what the selection is defined by
#endif
    if (!GetVersionExW(&info)) return false;
    version->platform_id = info.dwPlatformId;
    version->major = info.dwMajorVersion;
    return true;
  }

  int LocaleAnsiCodePage(char* buffer, int size) override {
    return GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, buffer, size);
  }

  std::uint32_t AnsiCodePage() override { return GetACP(); }

  int WideToNarrow(std::uint32_t code_page, const char16_t* text, int length, char* out,
                   int size) override {
    if (length < 0) return Failed(ERROR_INVALID_PARAMETER);
    const std::wstring wide = ToWide(std::u16string_view(text, static_cast<std::size_t>(length)));
    return WideCharToMultiByte(code_page, 0, wide.data(), length, out, size, nullptr, nullptr);
  }

  FileHandle OpenForReading(const FileName& name) override {
    return FileOf(OpenByName(name, GENERIC_READ, OPEN_EXISTING));
  }

  FileHandle OpenForWriting(const FileName& name) override {
    return FileOf(OpenByName(name, GENERIC_WRITE, CREATE_ALWAYS));
  }

  bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* got) override {
    DWORD read = 0;
    if (!ReadFile(HandleOf(file), buffer, size, &read, nullptr)) return false;
    *got = read;
    return true;
  }

  bool Seek(FileHandle file, std::int64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(HandleOf(file), distance, nullptr, FILE_CURRENT) != 0;
  }

  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    *written = 0;
    const char* bytes = static_cast<const char*>(data);
    while (*written < size) {
      DWORD done = 0;
      if (!WriteFile(HandleOf(file), bytes + *written, size - *written, &done, nullptr))
        return false;
      if (done == 0) break;  // the caller sees the short count
      *written += done;
    }
    return true;
  }

  bool Close(FileHandle file) override { return CloseHandle(HandleOf(file)) != 0; }

  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    try {
      return std::make_unique_for_overwrite<std::byte[]>(size);
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }

  std::uint32_t LastError() override { return GetLastError(); }

  std::string ErrorText(std::uint32_t code) override {
    wchar_t text[512];
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, code, 0, text, sizeof text / sizeof text[0], nullptr);
    // The system's texts end in a full stop and blanks; the caller goes on
    // after them.
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'.' ||
                          text[length - 1] == L'\r' || text[length - 1] == L'\n'))
      --length;
    if (length == 0) return "error " + std::to_string(code);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size <= 0 || WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(),
                                         size, nullptr, nullptr) != size)
      return "error " + std::to_string(code);
    return utf8;
  }

 private:
  static bool Failed(DWORD error) {
    SetLastError(error);
    return false;
  }
};

}  // namespace

std::unique_ptr<Platform> NewSystemPlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace sgsplit
