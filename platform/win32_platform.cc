// The platform on Windows: the common open-file dialog, the system's
// temporary files held open from their making to their removal, the model
// replaced only while its path still leads to the file that was read, and
// file access by code-page name, with the UTF-16 name standing in wherever the
// code-page name would not find the same file.
#include <windows.h>
// After <windows.h>, which it builds on.
#include <cderr.h>
#include <commdlg.h>
#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Codes of our own (bit 29 marks an application's codes): a folder named
// where a file is wanted, a model that is left alone for its hidden or
// system attribute, which the system itself would let us write, and a device
// or a pipe named as the model.
constexpr DWORD kErrorIsFolder = 0x20000001;
constexpr DWORD kErrorIsHidden = 0x20000002;
constexpr DWORD kErrorIsSystemFile = 0x20000003;
constexpr DWORD kErrorNotRegularFile = 0x20000004;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What the copy into the model reads and writes at a time.
constexpr DWORD kCopyBlock = 1 << 16;

// Attributes with which the system's copy refuses to write over a file: a
// read-only file, and a hidden or system file when the source (a temporary
// file) is neither.
constexpr DWORD kRefusedAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Why a model with any of kRefusedAttributes is left alone. The system's
// copy says "Access is denied" for each, which for a hidden or system file the
// user may write would send them after permissions: the attribute is told.
DWORD RefusalOf(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  if ((attributes & FILE_ATTRIBUTE_SYSTEM) != 0) return kErrorIsSystemFile;
  return kErrorIsHidden;
}

bool Failed(DWORD error) {
  SetLastError(error);
  return false;
}

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

// A handle of our own, closed when it goes.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// Keeps the calling thread's last error across clean-up calls that would
// overwrite it.
class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

std::int64_t TimeValue(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

bool IdentifyHandle(HANDLE file, FileIdentity* identity, DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity->modified = TimeValue(info.ftLastWriteTime);
  // The change time also moves when attributes or security change; it is
  // kept where the file system keeps it, and left 0 elsewhere.
  FILE_BASIC_INFO basic;
  identity->changed = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)
                          ? basic.ChangeTime.QuadPart
                          : 0;
  if (attributes != nullptr) *attributes = info.dwFileAttributes;
  return true;
}

// The path that leads to the open file now, its links resolved, in the
// long form that starts with \\?\ (which the wide calls take whatever its
// length); empty on failure.
std::wstring FinalPath(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the size needed, the terminator included
  }
}

std::wstring FullPath(const wchar_t* name) {
  const DWORD size = GetFullPathNameW(name, 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring path(size, L'\0');
  const DWORD length = GetFullPathNameW(name, size, path.data(), nullptr);
  if (length == 0 || length >= size) return {};
  path.resize(length);
  return path;
}

// Access for the user running the program alone, nothing inherited from the
// folder: a temporary folder that others may open files in shows them nothing
// of the rewritten model.
class UserOnly {
 public:
  UserOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    const ScopedHandle held(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::byte> user(size);
    wchar_t* sid = nullptr;
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid))
      return;
    const std::wstring text = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor_, nullptr))
      descriptor_ = nullptr;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~UserOnly() { LocalFree(descriptor_); }
  UserOnly(const UserOnly&) = delete;
  UserOnly& operator=(const UserOnly&) = delete;
  bool valid() const { return descriptor_ != nullptr; }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// Where the model lies: the full path of the file that was opened, fixed
// when it was opened.
class Win32ModelPlace final : public ModelPlace {
 public:
  explicit Win32ModelPlace(std::wstring path) : path_(std::move(path)) {}
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Whether `narrow` turns back into exactly `wide` in `code_page`.
bool RoundTrips(UINT code_page, const char* narrow, std::u16string_view wide) {
  const int size = MultiByteToWideChar(code_page, 0, narrow, -1, nullptr, 0);
  if (size <= 0) return false;
  std::wstring back(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(code_page, 0, narrow, -1, back.data(), size) != size) return false;
  back.pop_back();  // the terminator
  return wide == FromWide(back);
}

// Whether the code-page name names exactly the UTF-16 name. The conversion
// replaces what its code page lacks by a similar or a default character, and
// the file functions read the bytes in a code page of their own (the
// process's ANSI one, or its OEM one after SetFileApisToOEM), which need not
// be the conversion's: a name must come back whole in both, or it may name
// no file or another.
bool NarrowNameIsFaithful(const FileName& name) {
  if (name.wide == nullptr) return true;
  const UINT file_code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  return RoundTrips(name.code_page, name.narrow, name.wide) &&
         RoundTrips(file_code_page, name.narrow, name.wide);
}

// Whether a part of `path` ends in a dot or a blank. The file functions drop
// those from the names they are given, so such a name would open another
// file or none; only a path that starts with exactly "\\?\", backslashes
// and all, is taken as it stands ("//?/" is a device path, and normalized).
template <class Char>
bool PartEndsInDotOrBlank(std::basic_string_view<Char> path) {
  const auto separator = [](Char c) { return c == Char('\\') || c == Char('/'); };
  if (path.size() >= 4 && path[0] == Char('\\') && path[1] == Char('\\') && path[2] == Char('?') &&
      path[3] == Char('\\'))
    return false;
  std::size_t start = 0;
  for (std::size_t end = 0; end <= path.size(); ++end) {
    if (end < path.size() && !separator(path[end])) continue;
    std::basic_string_view<Char> part = path.substr(start, end - start);
    // The drive of a path relative to its current folder ("C:..\box.obj")
    // is no part of a name.
    if (start == 0 && part.size() >= 2 && part[1] == Char(':')) part.remove_prefix(2);
    start = end + 1;
    const bool dots_only = part.find_first_not_of(Char('.')) == part.npos;
    if (part.empty() || (dots_only && part.size() <= 2)) continue;  // "." and ".."
    if (part.back() == Char('.') || part.back() == Char(' ')) return true;
  }
  return false;
}

// Opens by the code-page name, or by the UTF-16 name when the code-page name
// is not faithful, with the same access, sharing, disposition and flags. The
// code-page functions refuse a path of MAX_PATH characters or more, which the
// UTF-16 ones open; such a path, faithful, names the same file either way.
HANDLE OpenByName(const FileName& name, DWORD access, DWORD disposition, DWORD flags) {
  if (name.wide != nullptr ? PartEndsInDotOrBlank(std::u16string_view(name.wide))
                           : PartEndsInDotOrBlank(std::string_view(name.narrow))) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  const bool fits = name.wide == nullptr || std::strlen(name.narrow) < MAX_PATH;
  if (fits && NarrowNameIsFaithful(name))
    return CreateFileA(name.narrow, access, kShareReadWrite, nullptr, disposition, flags, nullptr);
  const std::wstring wide = ToWide(name.wide);
  return CreateFileW(wide.c_str(), access, kShareReadWrite, nullptr, disposition, flags, nullptr);
}

// Opens the model at `path` for writing it where it is, the path's last part
// taken as it is: a link put there since is a file of its own, not the model.
// Shared for reading only, so that until the copy is whole no one else can
// write, rename or delete the model: a save meanwhile is refused, not
// overwritten. A program that already holds the model open for writing,
// sharing that, keeps its hold; the model is then opened sharing writing too,
// and for reading, to see afterwards what it holds. `shared` tells which.
HANDLE OpenModelToReplace(const std::wstring& path, bool* shared) {
  constexpr DWORD kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
  *shared = false;
  HANDLE model = CreateFileW(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (model == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
    *shared = true;
    model = CreateFileW(path.c_str(), GENERIC_READ | kAccess, kShareReadWrite, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  return model;
}

// Whether a look at the model now finds the file that was read, with the
// length and last write it had then.
bool SameContent(const FileIdentity& now, const FileIdentity& read) {
  return now.SameFile(read) && now.size == read.size && now.modified == read.modified;
}

// Returns once a write that another program has under way on the model has
// ended. Such a write sets the model's times as it begins and its length as
// it goes, so a model read while it was held up part way looks unchanged
// until it ends; setting the model's length would then wait for it and cut
// off what it wrote last. A write of nothing changes nothing, but where the
// file system lets one write go at a time (Wine's files on ext4 or tmpfs),
// it waits for the one under way.
void WaitForWriteUnderWay(HANDLE model) {
  OVERLAPPED at_start = {};
  DWORD written = 0;
  WriteFile(model, "", 0, &written, &at_start);
}

// Whether another program holds a lock on any part of the model, or of the
// room past its end: the copy would then be refused part-way, once the model
// had begun to change. The whole range is locked for a moment to find out.
// Only a lock held elsewhere counts; a file system that keeps no locks says
// nothing about any.
bool LockedElsewhere(HANDLE model) {
  OVERLAPPED whole = {};
  if (LockFileEx(model, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                 &whole)) {
    whole = {};
    UnlockFileEx(model, 0, MAXDWORD, MAXDWORD, &whole);
    return false;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION;
}

// Whether `path` still leads to the file that was read, unwritten, for an open
// to write it that was refused. The file is opened for its attributes alone,
// which neither sharing nor a read-only attribute refuses, and a folder opens
// too. Where even that fails, nothing says it changed. The change time is
// left out: a read-only attribute or a permission set meanwhile moves it, and
// those are refusals to be told as such.
bool StillTheModel(const std::wstring& path, const FileIdentity& read) {
  const ScopedHandle file(
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileIdentity now;
  return !file.valid() || !IdentifyHandle(file.get(), &now) || SameContent(now, read);
}

bool SetLength(HANDLE file, std::int64_t length) {
  LARGE_INTEGER end;
  end.QuadPart = length;
  return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Reads up to `size` bytes, fewer only at the end of the file.
bool ReadBlock(HANDLE file, char* buffer, DWORD size, DWORD* got) {
  *got = 0;
  while (*got < size) {
    DWORD n = 0;
    if (!ReadFile(file, buffer + *got, size - *got, &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

// Writes `size` bytes, on from wherever a write stops short (a disk that
// fills up part way through it), so that the system says why the rest cannot
// go; false when a write fails. `*done` counts the bytes written, fewer than
// `size` where a write took none.
bool WriteOn(HANDLE file, const char* data, DWORD size, DWORD* done) {
  for (*done = 0; *done < size;) {
    DWORD n = 0;
    if (!WriteFile(file, data + *done, size - *done, &n, nullptr)) return false;
    if (n == 0) break;
    *done += n;
  }
  return true;
}

// Writes all `size` bytes; a write that takes none is a write fault.
bool WriteAll(HANDLE file, const char* data, DWORD size) {
  DWORD done = 0;
  if (!WriteOn(file, data, size, &done)) return false;
  return done == size || Failed(ERROR_WRITE_FAULT);
}

bool Rewind(HANDLE file) {
  const LARGE_INTEGER start = {};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
}

// FNV-1a in 64 bits: whether bytes read again are the bytes read before.
class Fingerprint {
 public:
  void Add(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      value_ = (value_ ^ static_cast<unsigned char>(data[i])) * 0x100000001B3u;
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xCBF29CE484222325u;
};

// The blocks that copying and comparing work in. They are taken before the
// model changes: memory that ran out later would stop the copy half done.
struct CopyBuffers {
  std::vector<char> first = std::vector<char>(kCopyBlock);
  std::vector<char> second = std::vector<char>(kCopyBlock);
};

// Adds the next `n` bytes of `file` (a block at most) to `print`, zeros
// standing in past its end (as they read once the file is made longer).
bool AddBlock(HANDLE file, DWORD n, std::vector<char>& block, Fingerprint& print) {
  DWORD got = 0;
  if (!ReadBlock(file, block.data(), n, &got)) return false;
  std::fill(block.data() + got, block.data() + n, '\0');
  print.Add(block.data(), n);
  return true;
}

// Fingerprints the `size` bytes of `file` from `offset`, zeros standing in
// past its end: one for each block of the copy when `per_block`, else one
// for all. Leaves the file position past them.
bool Fingerprints(HANDLE file, std::int64_t offset, std::int64_t size, bool per_block,
                  std::vector<char>& block, std::vector<std::uint64_t>* prints) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  Fingerprint print;
  for (std::int64_t left = size; left > 0;) {
    const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(left, kCopyBlock));
    if (!AddBlock(file, n, block, print)) return false;
    if (per_block) prints->push_back(std::exchange(print, {}).value());
    left -= n;
  }
  if (!per_block) prints->push_back(print.value());
  return true;
}

// What the model holds where the copy will go, block by block, and past the
// result's end, all in one: two looks that compare equal saw the same bytes.
struct ModelPrints {
  std::vector<std::uint64_t> blocks, tail;
  friend bool operator==(const ModelPrints&, const ModelPrints&) = default;
};

// Fingerprints the model's first `size` bytes (the result's length) block by
// block, and the rest of its `old_size` bytes as one.
bool FingerprintModel(HANDLE model, std::int64_t size, std::int64_t old_size, CopyBuffers& buffers,
                      ModelPrints* prints) {
  return Fingerprints(model, 0, size, true, buffers.first, &prints->blocks) &&
         Fingerprints(model, size, old_size - size, false, buffers.first, &prints->tail);
}

// Writes the first `size` bytes of `source` over `target`, both from their
// start. With `before` (a fingerprint of each block of `target` as it should
// read when the copy reaches it), each block is checked just before it is
// written over, and `changed` tells whether another program wrote it first.
// Asks for no memory.
bool CopyFromStart(HANDLE source, HANDLE target, std::int64_t size, CopyBuffers& buffers,
                   const std::vector<std::uint64_t>* before = nullptr, bool* changed = nullptr) {
  std::vector<char>& block = buffers.first;
  if (!Rewind(source) || !Rewind(target)) return false;
  for (std::int64_t left = size, offset = 0; left > 0; offset = size - left) {
    const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(left, kCopyBlock));
    if (before != nullptr) {
      Fingerprint now;
      LARGE_INTEGER at;
      at.QuadPart = offset;
      if (!SetFilePointerEx(target, at, nullptr, FILE_BEGIN) ||
          !AddBlock(target, n, buffers.second, now) ||
          !SetFilePointerEx(target, at, nullptr, FILE_BEGIN))
        return false;
      const std::size_t index = static_cast<std::size_t>(offset / kCopyBlock);
      if (index >= before->size() || now.value() != (*before)[index]) *changed = true;
    }
    DWORD got = 0;
    if (!ReadBlock(source, block.data(), n, &got)) return false;
    if (got < n) return Failed(ERROR_HANDLE_EOF);  // the result shrank under us
    if (!WriteAll(target, block.data(), got)) return false;
    left -= got;
  }
  return true;
}

// Writes zeros over `file` from `from` to `to`, past its old end, where it
// was just made longer. A longer length alone takes no room on a sparse file,
// a file server's share or Wine: the writes take it, before the model's first
// byte changes. With `check` (others can write the model), each block is read
// first, and `changed` tells whether another program wrote there meanwhile.
// Asks for no memory.
bool FillPastEnd(HANDLE file, std::int64_t from, std::int64_t to, CopyBuffers& buffers, bool check,
                 bool* changed) {
  std::vector<char>& zeros = buffers.first;
  std::vector<char>& seen = buffers.second;
  std::fill(zeros.begin(), zeros.end(), '\0');
  for (std::int64_t offset = from; offset < to;) {
    const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(to - offset, kCopyBlock));
    LARGE_INTEGER at;
    at.QuadPart = offset;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    if (check) {
      DWORD got = 0;
      if (!ReadBlock(file, seen.data(), n, &got) ||
          !SetFilePointerEx(file, at, nullptr, FILE_BEGIN))
        return false;
      if (got != n || std::memcmp(seen.data(), zeros.data(), n) != 0) *changed = true;
    }
    if (!WriteAll(file, zeros.data(), n)) return false;
    offset += n;
  }
  return true;
}

// Whether `file` holds exactly the first `size` bytes of `source`. False when
// either cannot be read. Asks for no memory.
bool HoldsContent(HANDLE file, HANDLE source, std::int64_t size, CopyBuffers& buffers, bool* same) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length) || !Rewind(file) || !Rewind(source)) return false;
  *same = length.QuadPart == size;
  std::vector<char>& want = buffers.first;
  std::vector<char>& have = buffers.second;
  for (std::int64_t left = size; *same && left > 0;) {
    const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(left, kCopyBlock));
    DWORD wanted = 0, had = 0;
    if (!ReadBlock(source, want.data(), n, &wanted) || !ReadBlock(file, have.data(), n, &had))
      return false;
    *same = wanted == n && had == n && std::memcmp(want.data(), have.data(), n) == 0;
    left -= n;
  }
  return true;
}

// Writing into the model holds this lock. A console's Ctrl+C, Ctrl+Break or
// closing waits for it, so that the process does not end with the model half
// written, and then ends the process as the system would have.
SRWLOCK writing_model = SRWLOCK_INIT;

BOOL WINAPI EndAfterWritingModel(DWORD /*event*/) {
  AcquireSRWLockExclusive(&writing_model);  // kept: nothing may write the model now
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

class WritingModel {
 public:
  WritingModel() { AcquireSRWLockExclusive(&writing_model); }
  ~WritingModel() { ReleaseSRWLockExclusive(&writing_model); }
  WritingModel(const WritingModel&) = delete;
  WritingModel& operator=(const WritingModel&) = delete;
};

class Win32Platform final : public Platform {
 public:
  Win32Platform() {
    static const bool installed = SetConsoleCtrlHandler(EndAfterWritingModel, TRUE) != 0;
    static_cast<void>(installed);
  }

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
      switch (CommDlgExtendedError()) {
        case 0:
          return ChooseResult::kCancelled;
        case FNERR_BUFFERTOOSMALL:
          return ChooseResult::kPathTooLong;
        default:
          return ChooseResult::kFailed;
      }
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

  FileHandle CreateTempFile(const std::u16string& folder, std::u16string* path) override {
    const std::wstring wide_folder = ToWide(folder);
    // A folder that is not there is told as the system tells it when it makes
    // the file itself.
    const DWORD folder_attributes = GetFileAttributesW(wide_folder.c_str());
    if (folder_attributes == INVALID_FILE_ATTRIBUTES ||
        (folder_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      SetLastError(ERROR_DIRECTORY);
      return FileHandle::kInvalid;
    }
    // The longest folder the system takes for a temporary name. A longer
    // one is told as a name too long, as in GetTempFolder, where the system
    // would say "buffer overflow"; Wine takes it and writes the name past
    // the end of its buffer.
    if (wide_folder.size() > MAX_PATH - 14) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return FileHandle::kInvalid;
    }
    UserOnly security;
    if (!security.valid()) return FileHandle::kInvalid;
    std::random_device random;
    // Made new in one step, with its access given to the user alone: nothing
    // that anyone else put in the folder is taken for it, and nobody else can
    // open it. Held without delete sharing, it can be neither renamed nor
    // deleted by anyone else until it is closed, so its name keeps leading to
    // it.
    for (int attempt = 0; attempt < 100; ++attempt) {
      wchar_t buffer[kTempBufferSize];
      const UINT unique = 1 + random() % 0xFFFF;  // 0: the system would make the file
      if (GetTempFileNameW(wide_folder.c_str(), L"obj", unique, buffer) == 0)
        return FileHandle::kInvalid;
      // A link already under the name is not followed: the name is taken.
      // Writing is asked for only so that the result can be committed to the
      // disk through this handle before the model is written over.
      const HANDLE file =
          CreateFileW(buffer, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, security.attributes(),
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        *path = FromWide(buffer);
        return FileOf(file);
      }
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return FileHandle::kInvalid;
    }
    return FileHandle::kInvalid;
  }

  bool RemoveTempFile(const std::u16string& path, FileHandle file) override {
    // Our handle shares no deleting, so it goes first. The name is then
    // opened again and removed only while it still leads to the same file.
    if (file == FileHandle::kInvalid) return Failed(ERROR_INVALID_HANDLE);
    // The name is converted first: this runs on the way out of a pass that
    // memory ran out in, where a failure may only be reported, not thrown.
    std::wstring wide;
    try {
      wide = ToWide(path);
    } catch (const std::bad_alloc&) {
      CloseHandle(HandleOf(file));
      return Failed(ERROR_NOT_ENOUGH_MEMORY);
    }
    FileIdentity held;
    const bool known = IdentifyHandle(HandleOf(file), &held);
    CloseHandle(HandleOf(file));
    if (!known) return false;
    const ScopedHandle again(CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
    if (!again.valid()) return false;
    FileIdentity now;
    if (!IdentifyHandle(again.get(), &now)) return false;
    if (!now.SameFile(held)) return Failed(ERROR_FILE_NOT_FOUND);
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(again.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
  }

  bool Identify(FileHandle file, FileIdentity* identity) override {
    return IdentifyHandle(HandleOf(file), identity);
  }

  std::unique_ptr<ModelPlace> LocateModel(FileHandle file, const FileName& name) override {
    std::wstring path = FinalPath(HandleOf(file));
    // Where the system cannot tell the open file's path, the full path of the
    // name that was opened stands in. It may lead through a link; then the
    // check before the replacement, which follows none, finds another file and
    // the model is left alone.
    if (path.empty() && name.wide != nullptr) path = FullPath(ToWide(name.wide).c_str());
    if (path.empty()) return nullptr;
    return std::make_unique<Win32ModelPlace>(std::move(path));
  }

  ReplaceResult ReplaceModel(FileHandle result, ModelPlace& place,
                             const FileIdentity& read) override {
    const std::wstring& target = static_cast<Win32ModelPlace&>(place).path();
    // The temporary file may become the one whole copy of the model's content
    // once the copy over the model begins: it is committed to the disk first,
    // so that a crash or a power cut during the copy cannot take both.
    if (!FlushFileBuffers(HandleOf(result))) return ReplaceResult::kUntouched;
    // The model is checked and written through one handle, so that what is
    // written over is the very file that was checked.
    bool shared = false;
    const ScopedHandle model(OpenModelToReplace(target, &shared));
    if (!model.valid()) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return ReplaceResult::kModelChanged;
      // Another file or a folder under the model's name may be what refused
      // (read-only, held by its program): that is a change, not a refusal.
      const KeepLastError keep;
      return StillTheModel(target, read) ? ReplaceResult::kUntouched : ReplaceResult::kModelChanged;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(HandleOf(result), &size)) return ReplaceResult::kUntouched;
    // Where others can write the model too, what it holds is noted before it
    // is checked: a write where the copy has yet to go, which the copy would
    // write over, or past the result's end, which would be cut off, is then
    // found all the same.
    const std::int64_t old_size = static_cast<std::int64_t>(read.size);
    // All the memory the rest asks for is taken here, before the model
    // changes: memory that runs out can then only leave it as it was.
    CopyBuffers buffers;
    ModelPrints prints;
    if (shared && !FingerprintModel(model.get(), size.QuadPart, old_size, buffers, &prints))
      return ReplaceResult::kUntouched;
    FileIdentity before;
    DWORD attributes = 0;
    if (!IdentifyHandle(model.get(), &before, &attributes)) return ReplaceResult::kUntouched;
    if (!SameContent(before, read)) return ReplaceResult::kModelChanged;
    // The system's own copy refuses to write over these; so does this.
    if ((attributes & kRefusedAttributes) != 0) {
      SetLastError(RefusalOf(attributes));
      return ReplaceResult::kUntouched;
    }
    // The change time moves with every write, even one after which its program
    // put the last write time back. It moves with attributes and permissions
    // too, so it is looked at after the refusals above.
    if (before.changed != read.changed) return ReplaceResult::kModelChanged;

    const WritingModel writing;
    WaitForWriteUnderWay(model.get());
    // A write since then, before the copy begins, leaves the model alone.
    LARGE_INTEGER length;
    if (!GetFileSizeEx(model.get(), &length)) return ReplaceResult::kUntouched;
    if (length.QuadPart != old_size) return ReplaceResult::kModelChanged;
    if (shared) {
      ModelPrints now;
      if (!FingerprintModel(model.get(), size.QuadPart, old_size, buffers, &now))
        return ReplaceResult::kUntouched;
      if (now != prints) return ReplaceResult::kModelChanged;
    }
    if (LockedElsewhere(model.get())) return ReplaceResult::kUntouched;
    // The model takes the result's length and the room for it first: a full
    // disk is found before the model's first byte changes, and the model gets
    // its own length back. Zeros that another program's write past the old
    // end was lost under are told as its write during the copy.
    bool overwritten = false;
    if (!SetLength(model.get(), size.QuadPart) ||
        !FillPastEnd(model.get(), old_size, size.QuadPart, buffers, shared, &overwritten)) {
      const KeepLastError keep;
      if (overwritten) return ReplaceResult::kWrittenMeanwhile;
      return SetLength(model.get(), old_size) ? ReplaceResult::kUntouched
                                              : ReplaceResult::kMaybeDamaged;
    }
    // Flushed before the temporary file, the one other whole copy, goes.
    bool same = true;
    if (!CopyFromStart(HandleOf(result), model.get(), size.QuadPart, buffers,
                       shared ? &prints.blocks : nullptr, &overwritten) ||
        !FlushFileBuffers(model.get()) ||
        (shared && !HoldsContent(model.get(), HandleOf(result), size.QuadPart, buffers, &same)))
      return ReplaceResult::kMaybeDamaged;
    // Where others could write the model while the result went in, what each
    // block held before the copy reached it, and what the model holds now,
    // tell whether they did.
    return same && !overwritten ? ReplaceResult::kReplaced : ReplaceResult::kWrittenMeanwhile;
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

  // Reading follows links: the file reached is the model, and LocateModel
  // fixes its place once, there.
  FileHandle OpenForReading(const FileName& name) override {
    const HANDLE file = OpenByName(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    // The system refuses a folder as "Access is denied", which would send the
    // user after permissions.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      const DWORD attributes = name.wide != nullptr ? GetFileAttributesW(ToWide(name.wide).c_str())
                                                    : GetFileAttributesA(name.narrow);
      SetLastError(attributes != INVALID_FILE_ATTRIBUTES &&
                           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                       ? kErrorIsFolder
                       : ERROR_ACCESS_DENIED);
    }
    if (file == INVALID_HANDLE_VALUE) return FileHandle::kInvalid;
    // Only a file on a disk can be rewritten and put back in its place. A
    // device (NUL, CON, a serial port) or a pipe is refused as such: the
    // calls that would fail on it later give reasons that do not say why
    // ("The parameter is incorrect").
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK) {
      const DWORD error = type == FILE_TYPE_UNKNOWN ? GetLastError() : NO_ERROR;
      CloseHandle(file);
      SetLastError(error != NO_ERROR ? error : kErrorNotRegularFile);
      return FileHandle::kInvalid;
    }
    return FileOf(file);
  }

  // Writing never follows a link: a link in the file's place is opened
  // itself, and its target is left alone. Reading the attributes lets the
  // caller Identify the file it opened; without it, Windows refuses to say.
  FileHandle OpenForWriting(const FileName& name) override {
    return FileOf(OpenByName(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
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
    // A write that takes nothing leaves the caller the short count.
    DWORD done = 0;
    const bool ok = WriteOn(HandleOf(file), static_cast<const char*>(data), size, &done);
    *written = done;
    return ok;
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
    if (code == kErrorIsFolder) return "Is a folder";
    if (code == kErrorIsHidden) return "Is a hidden file";
    if (code == kErrorIsSystemFile) return "Is a system file";
    if (code == kErrorNotRegularFile) return "Not a regular file";
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
};

}  // namespace

std::unique_ptr<Platform> NewSystemPlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace sgsplit
