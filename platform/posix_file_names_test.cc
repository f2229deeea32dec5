#include "platform/posix_file_names.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace sgsplit {
namespace {

TEST(PosixFileNames, WidensUtf8AndEscapesTheRest) {
  const struct {
    const char* name;
    std::string bytes;
    std::u16string wide;
  } cases[] = {
      {"ASCII", "/tmp/a.obj", u"/tmp/a.obj"},
      {"two bytes", "\xC3\xA9", u"\u00E9"},
      {"three bytes", "\xE6\xA8\xA1", u"\u6A21"},
      {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"Latin-1 byte", "caf\xE9.obj", u"caf\xDCE9.obj"},
      {"overlong form", "\xC0\xAF", u"\xDCC0\xDCAF"},
      {"encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
      {"truncated sequence", "a\xE6\xA8", u"a\xDCE6\xDCA8"},
      {"lone continuation", "\x80z", u"\xDC80z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WidenFileName(c.bytes), c.wide);
    std::string back;
    ASSERT_TRUE(NarrowFileName(c.wide, &back));
    EXPECT_EQ(testing::Escaped(back), testing::Escaped(c.bytes));
  }
}

TEST(PosixFileNames, EveryByteStringComesBack) {
  // All one- and two-byte strings, and three-byte strings over the lead bytes.
  for (int a = 1; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b), '\xA9'};
      std::string back;
      ASSERT_TRUE(NarrowFileName(WidenFileName(bytes), &back));
      ASSERT_EQ(back, bytes) << testing::Escaped(bytes);
    }
  }
}

TEST(PosixFileNames, SurrogatesNoNameHasAreRefused) {
  for (const std::u16string text : {u"\xD800", u"a\xDBFFz", u"\xDC00", u"\xDC7F", u"\xDFFF"}) {
    std::string bytes;
    EXPECT_FALSE(NarrowFileName(text, &bytes));
    EXPECT_EQ(NarrowFileName(text, nullptr, 0), -1);
  }
}

TEST(PosixFileNames, CountsWithoutWritingWhenTheBufferIsShort) {
  char out[2] = {'!', '!'};
  EXPECT_EQ(NarrowFileName(u"\u6A21", out, 0), 3);
  EXPECT_EQ(out[0], '!');
}

}  // namespace
}  // namespace sgsplit
