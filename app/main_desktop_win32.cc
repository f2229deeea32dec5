// sgsplit on Windows: the system's open-file dialog, then the pass. The
// program shows nothing of its own; a failure goes to the debugger's output,
// where a developer can see it without the user being bothered.
#include <windows.h>

#include <string>

#include "app/separation_pass.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto platform = sgsplit::NewSystemPlatform();
  const sgsplit::PassReport report = sgsplit::SeparationPass(*platform);
  if (!report.failure.empty()) {
    std::wstring text(report.chosen_path.begin(), report.chosen_path.end());
    if (!text.empty()) text += L": ";
    const int size = MultiByteToWideChar(CP_UTF8, 0, report.failure.data(),
                                         static_cast<int>(report.failure.size()), nullptr, 0);
    if (size > 0) {
      std::wstring failure(static_cast<std::size_t>(size), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, report.failure.data(),
                          static_cast<int>(report.failure.size()), failure.data(), size);
      text += failure;
    }
    OutputDebugStringW((L"sgsplit: " + text + L"\n").c_str());
  }
  return sgsplit::ExitCode(report.outcome);
}
