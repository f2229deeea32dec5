#include "app/conversion_code_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace sgsplit {
namespace {

// Answers the version and locale questions as told.
class ScriptedLocale final : public PlatformWrapper {
 public:
  ScriptedLocale(Platform& target, std::optional<VersionInfo> version, const char* locale)
      : PlatformWrapper(target), version_(version), locale_(locale) {}
  bool QueryVersion(VersionInfo* version) override {
    if (!version_) return false;
    *version = *version_;
    return true;
  }
  int LocaleAnsiCodePage(char* buffer, int size) override {
    if (locale_ == nullptr) return 0;
    const int length = static_cast<int>(std::strlen(locale_)) + 1;
    if (length > size) return 0;
    std::memcpy(buffer, locale_, static_cast<std::size_t>(length));
    return length;
  }
  std::uint32_t AnsiCodePage() override { return 1252; }

 private:
  std::optional<VersionInfo> version_;
  const char* locale_;
};

TEST(ConversionCodePage, ModeAndAnswer) {
  auto system = NewSystemPlatform();
  const struct {
    const char* name;
    std::optional<VersionInfo> version;
    const char* locale;
    std::uint32_t expected;
  } cases[] = {
      {"NT 5 uses the thread's code page", VersionInfo{2, 5}, "1250", kThreadAnsiCodePage},
      {"NT 10 too", VersionInfo{2, 10}, nullptr, kThreadAnsiCodePage},
      {"NT 4 looks the locale up", VersionInfo{2, 4}, "1251", 1251},
      {"other families look it up", VersionInfo{1, 6}, "932", 932},
      {"no version", std::nullopt, "65001", 65001},
      {"failed query falls back", std::nullopt, nullptr, 1252},
      {"empty text falls back", std::nullopt, "", 1252},
      {"zero falls back", std::nullopt, "0", 1252},
      {"digits are not checked", std::nullopt, "1:", 20},  // ":" counts as ten
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLocale platform(*system, c.version, c.locale);
    EXPECT_EQ(AnswerCodePage(platform, DecideCodePageMode(platform)), c.expected);
  }
}

TEST(ConversionCodePage, DecidedOnceForTheProcess) {
  auto system = NewSystemPlatform();
  const CodePageMode mode = DecideCodePageMode(*system);
  EXPECT_EQ(ConversionCodePage(*system), AnswerCodePage(*system, mode));
#ifndef _WIN32
  EXPECT_EQ(ConversionCodePage(*system), kUtf8CodePage);  // file names are UTF-8 here
#endif
  // A platform that would decide the other way changes nothing now.
  const bool nt = mode == CodePageMode::kThreadCodePage;
  ScriptedLocale other(*system, VersionInfo{2, nt ? 4u : 6u}, "1250");
  EXPECT_EQ(ConversionCodePage(other), nt ? kThreadAnsiCodePage : 1250u);
}

}  // namespace
}  // namespace sgsplit
