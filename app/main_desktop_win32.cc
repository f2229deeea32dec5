// sgsplit on Windows: the system's open-file dialog, then the pass. When the
// model was left alone or may be damaged, an error message says so, since
// someone who started the program from a menu sees no exit code; the same
// line also goes to the debugger's output for a developer.
#include <windows.h>

#include <string>
#include <string_view>

#include "app/failure_message.h"
#include "app/quote_name.h"
#include "app/separation_pass.h"

namespace {

// UTF-8 message text as the system's wide calls take it. Names in it are
// quoted already, so it is valid UTF-8 and converts exactly.
std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return L"(the message cannot be shown)";
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
  return wide;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto platform = sgsplit::NewSystemPlatform();
  const sgsplit::PassReport report = sgsplit::SeparationPass(*platform);
  if (!report.failure.empty())
    OutputDebugStringW(
        Wide(sgsplit::FailureLine("sgsplit", report, sgsplit::ShowName) + "\n").c_str());
  const sgsplit::FailureNotice notice = sgsplit::DesktopFailureNotice(report, sgsplit::ShowName);
  if (!notice.headline.empty())
    MessageBoxW(nullptr, Wide(notice.Text()).c_str(), L"sgsplit", MB_ICONERROR | MB_OK);
  return sgsplit::ExitCode(report.outcome);
}
