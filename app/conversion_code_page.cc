#include "app/conversion_code_page.h"

#include <atomic>

namespace sgsplit {
namespace {

// The one piece of process-wide state: which way the code page is found.
std::atomic<CodePageMode> g_code_page_mode{CodePageMode::kUndecided};

constexpr std::uint32_t kNtPlatformId = 2;
constexpr int kLocaleBufferSize = 7;

}  // namespace

CodePageMode DecideCodePageMode(Platform& platform) {
  VersionInfo version;
  if (platform.QueryVersion(&version) && version.platform_id == kNtPlatformId && version.major >= 5)
    return CodePageMode::kThreadCodePage;
  return CodePageMode::kLookedUp;
}

std::uint32_t AnswerCodePage(Platform& platform, CodePageMode mode) {
  if (mode == CodePageMode::kThreadCodePage) return kThreadAnsiCodePage;

  char text[kLocaleBufferSize] = {};
  std::uint32_t code_page = 0;
  if (platform.LocaleAnsiCodePage(text, kLocaleBufferSize) != 0) {
    // The locale answers plain digits; they are read as such, unchecked.
    for (int i = 0; i < kLocaleBufferSize && text[i] != '\0'; ++i)
      code_page = code_page * 10 + static_cast<std::uint32_t>(text[i] - '0');
  }
  return code_page != 0 ? code_page : platform.AnsiCodePage();
}

std::uint32_t ConversionCodePage(Platform& platform) {
  CodePageMode mode = g_code_page_mode.load();
  if (mode == CodePageMode::kUndecided) {
    mode = DecideCodePageMode(platform);
    g_code_page_mode.exchange(mode);
  }
  return AnswerCodePage(platform, mode);
}

}  // namespace sgsplit
