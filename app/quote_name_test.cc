#include "app/quote_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#ifndef _WIN32
#include "platform/posix_file_names.h"
#include "tests/test_util.h"
#endif

namespace sgsplit {
namespace {

TEST(QuoteNameTest, QuotesOnlyNamesThatNeedIt) {
  const struct {
    std::u16string name;
    NameUnits units;
    std::string shown;
  } cases[] = {
      {u"", NameUnits::kBytes, ""},
      {u"/home/ann/box.obj", NameUnits::kBytes, "/home/ann/box.obj"},
      {u"C:\\Users\\Ann\\box.obj", NameUnits::kUtf16, "C:\\Users\\Ann\\box.obj"},
      // Quotes, blanks, backslashes and other scripts need no quoting here.
      {u"it's a $box\\ (1).obj", NameUnits::kBytes, "it's a $box\\ (1).obj"},
      {u"mod\u00E8le \u6A21\u578B.obj", NameUnits::kBytes, "mod\u00E8le \u6A21\u578B.obj"},
      {u"\U0001F600.obj", NameUnits::kUtf16, "\U0001F600.obj"},
      // Control characters.
      {u"abc\ndef", NameUnits::kBytes, "'abc'$'\\n''def'"},
      {u"\x1B[31mred", NameUnits::kBytes, "$'\\033''[31mred'"},
      {u"a\a\b\t\n\v\f\rz", NameUnits::kBytes, "'a'$'\\a\\b\\t\\n\\v\\f\\r''z'"},
      {u"a\x01\x1F\x7F", NameUnits::kUtf16, "'a'$'\\001\\037\\177'"},
      // Other control characters in the name's own units: bytes, or UTF-16.
      {u"a\u0085b\u009B2J", NameUnits::kBytes, "'a'$'\\302\\205''b'$'\\302\\233''2J'"},
      {u"a\u0085b\u009B2J", NameUnits::kUtf16, "'a'$'\\u0085''b'$'\\u009B''2J'"},
      {u"line\u2028para\u2029", NameUnits::kBytes,
       "'line'$'\\342\\200\\250''para'$'\\342\\200\\251'"},
      {u"line\u2028para\u2029", NameUnits::kUtf16, "'line'$'\\u2028''para'$'\\u2029'"},
      // Marks and overrides of the text's direction: "x\u202Ejbo.exe" would
      // show as "xexe.obj", and turn the rest of the message round.
      {u"x\u202Ejbo.exe", NameUnits::kBytes, "'x'$'\\342\\200\\256''jbo.exe'"},
      {u"x\u202Ejbo.exe", NameUnits::kUtf16, "'x'$'\\u202E''jbo.exe'"},
      {u"a\u061Cb\u200Ec\u200Fd\u202Ae\u202Bf\u202Cg\u202Dh", NameUnits::kUtf16,
       "'a'$'\\u061C''b'$'\\u200E''c'$'\\u200F''d'$'\\u202A''e'$'\\u202B''f'$'\\u202C''g'$'\\u202D'"
       "'h'"},
      {u"\u2066\u2067\u2068\u2069", NameUnits::kUtf16, "$'\\u2066\\u2067\\u2068\\u2069'"},
      // Letters of right-to-left scripts need no quoting: they bring no
      // override with them.
      {u"\u05DE\u05D5\u05D3\u05DC.obj", NameUnits::kBytes, "\u05DE\u05D5\u05D3\u05DC.obj"},
      // A byte that is not valid UTF-8, as a POSIX name carries it; on
      // Windows the same unit is a lone surrogate.
      {u"mod\xDCE8le.obj", NameUnits::kBytes, "'mod'$'\\350''le.obj'"},
      {u"\xDCFF\xDC80", NameUnits::kBytes, "$'\\377\\200'"},
      {u"mod\xDCE8le.obj", NameUnits::kUtf16, "'mod'$'\\uDCE8''le.obj'"},
      // Lone surrogates that carry no byte.
      {u"a\xD800.obj", NameUnits::kBytes, "'a'$'\\uD800''.obj'"},
      {u"a\xDC00\xD83D", NameUnits::kUtf16, "'a'$'\\uDC00\\uD83D'"},
      // Once quoted, a quote stands outside the quotes, as the shell takes it.
      {u"it's\t", NameUnits::kBytes, "'it'\\''s'$'\\t'"},
      {u"'\n'", NameUnits::kBytes, "\\'$'\\n'\\'"},
      {u"\n\u00E8\U0001F600", NameUnits::kUtf16, "$'\\n''\u00E8\U0001F600'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(QuoteName(c.name, c.units), c.shown);
  }
}

// The length of the well-formed UTF-8 sequence at `i`, or 0.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return length;
}

// Every 16-bit unit, alone and between letters: the result is valid UTF-8
// (so no units surrogate reaches it) and holds no control character at all,
// neither a C0 byte nor DEL nor a C1 character (0xC2 0x80..0x9F).
TEST(QuoteNameTest, EveryUnitGivesOneLineOfPlainUtf8) {
  for (const NameUnits units : {NameUnits::kBytes, NameUnits::kUtf16}) {
    for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
      const std::u16string name = {u'a', static_cast<char16_t>(unit), u'b'};
      const std::string shown = QuoteName(name, units);
      for (std::size_t i = 0; i < shown.size();) {
        const std::size_t length = Utf8Length(shown, i);
        ASSERT_NE(length, 0u) << "unit " << unit << ": not UTF-8: " << shown;
        const auto byte = static_cast<unsigned char>(shown[i]);
        ASSERT_FALSE(byte < 0x20 || byte == 0x7F) << "unit " << unit << ": " << shown;
        ASSERT_FALSE(byte == 0xC2 && static_cast<unsigned char>(shown[i + 1]) < 0xA0)
            << "unit " << unit << ": " << shown;
        ASSERT_FALSE(byte == 0xE2 && shown.compare(i, 3, "\u2028") == 0) << "unit " << unit;
        ASSERT_FALSE(byte == 0xE2 && shown.compare(i, 3, "\u2029") == 0) << "unit " << unit;
        i += length;
      }
    }
  }
}

#ifndef _WIN32
struct PipeCloser {
  void operator()(std::FILE* pipe) const { pclose(pipe); }
};

// What bash makes of a word in a script: the bytes it passes to a program.
std::string BashReads(const std::string& word) {
  const testing::ScratchDir dir;
  testing::WriteBytes(dir / "script.sh", "printf %s " + word);
  const std::string command = "bash '" + (dir / "script.sh").string() + "'";
  const std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  std::string bytes;
  if (!pipe) return "(bash did not start)";
  for (int c; (c = std::fgetc(pipe.get())) != EOF;) bytes += static_cast<char>(c);
  return bytes;
}

// The quoting is the shell's: a shell given the quoted name reads the very
// bytes of the file's name.
TEST(QuoteNameTest, TheShellReadsBackTheName) {
  const std::string names[] = {
      "abc\ndef",     "\x1B[2J\x1B[31mred", "a\a\b\t\v\f\r\x7F",        "mod\xE8le.obj",
      "\xFF\x80\xC3", "it's\n'quoted'",     "$(echo no) `x` \\ \"\x01", "\xC2\x9B[2J",
      "\xE2\x80\xA8", "caf\xC3\xA9\n",      "\xED\xB2\x80\n",           "x\xE2\x80\xAEjbo.exe",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string shown = QuoteName(WidenFileName(name), NameUnits::kBytes);
    ASSERT_NE(shown, name) << "the test wants names that need quoting";
    EXPECT_EQ(BashReads(shown), name) << shown;
  }
}
#endif

}  // namespace
}  // namespace sgsplit
