// Runs sgsplit-batch.exe on a model many times while this program, after a
// random delay, does what a busy desktop does to the same file. Built by
// hand and run under Wine by race_soak.py --wine, which sorts the runs:
//
//   x86_64-w64-mingw32-g++ -std=c++20 -O2 -municode -static
//     -DWIN32_LEAN_AND_MEAN -DNOMINMAX bench/race_win32.cc -o race_win32.exe
//   race_win32 TOOL FOLDER ACTION RUNS SEED MAX_DELAY_US
//
// FOLDER holds the model's versions v0, v1, ... and gets model.obj, the
// folder tmp (the runs' temporary folder) and out. The delay runs from the moment the
// run's temporary file appears (from the start for second-run). For run N,
// out/N.err takes the tool's standard error, out/N.final what the model's
// name holds afterwards (nothing where it is gone), out/N.kept.NAME the
// temporary file left, if any, and out/log.txt a line:
//   N V0 SAVE DELAY_US EXIT ACTION_ERROR OTHER_EXIT TOOK_US SEEN_US
// ACTION: movefile (a new file renamed over the model, as most editors
// save), replacefile (ReplaceFileW), trunc-write, write-notrunc, append,
// delete, second-run (another sgsplit-batch.exe on the model).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

std::string ReadAll(const std::wstring& path) {
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string content;
  if (file.get() == INVALID_HANDLE_VALUE) return content;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    content.append(buffer, got);
  return content;
}

// Writes `content` through a handle opened with `disposition` and `access`,
// from the file's end with `append`. 0, or the system's error.
DWORD WriteThrough(const std::wstring& path, const std::string& content, DWORD access,
                   DWORD disposition) {
  const UniqueHandle file(CreateFileW(path.c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                 nullptr) ||
      written != content.size())
    return GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
  return 0;
}

DWORD Run(const std::wstring& tool, const std::wstring& model, HANDLE err,
          PROCESS_INFORMATION* pi) {
  std::wstring line = L"\"" + tool + L"\" \"" + model + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = err;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, pi))
    return GetLastError();
  return 0;
}

HANDLE InheritedFile(const std::wstring& path) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WaitMicroseconds(LONGLONG us) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const LONGLONG ticks = us * frequency.QuadPart / 1000000;
  for (;;) {
    QueryPerformanceCounter(&now);
    const LONGLONG left = ticks - (now.QuadPart - start.QuadPart);
    if (left <= 0) return;
    if (left * 1000 / frequency.QuadPart > 3) Sleep(1);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 7) {
    std::fputs("Usage: race_win32 TOOL FOLDER ACTION RUNS SEED MAX_DELAY_US\n", stderr);
    return 64;
  }
  const std::wstring tool = argv[1], folder = argv[2], action = argv[3];
  const int runs = _wtoi(argv[4]);
  std::mt19937 rng(static_cast<unsigned>(_wtoi(argv[5])));
  const long long max_delay = _wtoi64(argv[6]);
  std::vector<std::string> versions;
  for (int i = 0;; ++i) {
    const std::wstring path = folder + L"\\v" + std::to_wstring(i);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) break;
    versions.push_back(ReadAll(path));
  }
  if (versions.size() < 2) {
    std::fputs("race_win32: fewer than two versions\n", stderr);
    return 1;
  }
  const std::wstring model = folder + L"\\model.obj", tmp = folder + L"\\tmp",
                     out = folder + L"\\out", fresh = folder + L"\\new.obj";
  CreateDirectoryW(tmp.c_str(), nullptr);
  // Wine sets TMP and TEMP itself for a program it starts; the runs started
  // from here take this folder.
  SetEnvironmentVariableW(L"TMP", tmp.c_str());
  SetEnvironmentVariableW(L"TEMP", tmp.c_str());
  CreateDirectoryW(out.c_str(), nullptr);
  std::FILE* log = _wfopen((out + L"\\log.txt").c_str(), L"w");
  if (log == nullptr) return 1;
  const std::string appended = "v 9 9 9\r\nf 1 2 3\r\n";

  for (int n = 0; n < runs; ++n) {
    const std::size_t v0 = rng() % versions.size();
    std::size_t save = rng() % (versions.size() - 1);
    if (save >= v0) ++save;
    const long long delay = static_cast<long long>(rng() % static_cast<unsigned>(max_delay + 1));
    DeleteFileW(model.c_str());
    DeleteFileW(fresh.c_str());
    if (DWORD failed = WriteThrough(model, versions[v0], GENERIC_WRITE, CREATE_ALWAYS)) {
      std::fprintf(stderr, "race_win32: run %d: cannot write the model: error %lu\n", n, failed);
      return 1;
    }
    if (action == L"movefile" || action == L"replacefile")
      WriteThrough(fresh, versions[save], GENERIC_WRITE, CREATE_ALWAYS);

    const std::wstring prefix = out + L"\\" + std::to_wstring(n);
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    {
      const UniqueHandle err(InheritedFile(prefix + L".err"));
      if (DWORD failed = Run(tool, model, err.get(), &pi)) {
        std::fprintf(stderr, "race_win32: run %d: cannot start the tool: error %lu\n", n, failed);
        return 1;
      }
    }
    const UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // The delay counts from the temporary file's making: the program's own
    // start under Wine takes far longer than the run proper. A second run
    // counts from the first one's start instead, as its own start takes as
    // long.
    while (action != L"second-run") {
      WIN32_FIND_DATAW found;
      const HANDLE look = FindFirstFileW((tmp + L"\\obj*").c_str(), &found);
      if (look != INVALID_HANDLE_VALUE) {
        FindClose(look);
        break;
      }
      if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) break;
    }
    LARGE_INTEGER seen_at;
    QueryPerformanceCounter(&seen_at);
    const long long seen = (seen_at.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart;
    WaitMicroseconds(delay);
    DWORD error = 0, other = 0xFFFFFFFF;
    if (action == L"movefile") {
      if (!MoveFileExW(fresh.c_str(), model.c_str(), MOVEFILE_REPLACE_EXISTING))
        error = GetLastError();
    } else if (action == L"replacefile") {
      if (!ReplaceFileW(model.c_str(), fresh.c_str(), nullptr, 0, nullptr, nullptr))
        error = GetLastError();
    } else if (action == L"trunc-write") {
      error = WriteThrough(model, versions[save], GENERIC_WRITE, TRUNCATE_EXISTING);
    } else if (action == L"write-notrunc") {
      error = WriteThrough(model, versions[save], GENERIC_WRITE, OPEN_EXISTING);
    } else if (action == L"append") {
      error = WriteThrough(model, appended, FILE_APPEND_DATA, OPEN_EXISTING);
    } else if (action == L"delete") {
      if (!DeleteFileW(model.c_str())) error = GetLastError();
    } else if (action == L"second-run") {
      PROCESS_INFORMATION second = {};
      const UniqueHandle err(InheritedFile(prefix + L".err2"));
      if (Run(tool, model, err.get(), &second) == 0) {
        WaitForSingleObject(second.hProcess, INFINITE);
        GetExitCodeProcess(second.hProcess, &other);
        CloseHandle(second.hProcess);
        CloseHandle(second.hThread);
      }
    }
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
      TerminateProcess(process.get(), 999);
      WaitForSingleObject(process.get(), INFINITE);
    }
    GetExitCodeProcess(process.get(), &code);
    QueryPerformanceCounter(&ended);
    const long long took = (ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart;
    // The model as left, and any temporary file, for the caller to sort.
    if (GetFileAttributesW(model.c_str()) != INVALID_FILE_ATTRIBUTES)
      CopyFileW(model.c_str(), (prefix + L".final").c_str(), FALSE);
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((tmp + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        const std::wstring path = tmp + L"\\" + found.cFileName;
        MoveFileExW(path.c_str(), (prefix + L".kept." + found.cFileName).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    std::fprintf(log, "%d %zu %zu %lld %lu %lu %ld %lld %lld\n", n, v0, save, delay, code, error,
                 static_cast<long>(other), took, seen);
    std::fflush(log);
  }
  std::fclose(log);
  return 0;
}
