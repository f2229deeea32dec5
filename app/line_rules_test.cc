#include "app/line_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"
#include "textio/text_line_reader.h"

namespace sgsplit {
namespace {

// Reads `input` as a file, applies the rules to every line and returns the
// bytes written.
std::string Rewrite(const std::string& input) {
  testing::ScratchDir dir;
  auto platform = NewSystemPlatform();
  testing::WriteBytes(dir / "in.obj", input);
  {
    TextLineReader reader(*platform, testing::OpenName(*platform, dir / "in.obj").Name());
    TextLineWriter writer(*platform, testing::OpenName(*platform, dir / "out.obj").Name());
    CopyLines(reader, writer);
    writer.Close();
    EXPECT_TRUE(writer.good());
  }
  return testing::ReadBytes(dir / "out.obj");
}

std::string Block(int n) {
  const std::string number = std::to_string(n);
  return "g object" + number + "\r\no object" + number + "\r\nusemtl object" + number + "\r\n";
}

TEST(LineRules, EightLinesBecomeTwelve) {
  EXPECT_EQ(Rewrite("v 0 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1\n"),
            "v 0 0 0\r\nusemtl red\r\n" + Block(1) + "s 1\r\nf 1 2 3\r\n" + Block(2) +
                "s off\r\nf 3 2 1\r\n");
}

TEST(LineRules, EachLineByItsFirstCharacter) {
  const struct {
    const char* line;
    std::string out;
  } cases[] = {
      {"s 1", Block(1) + "s 1\r\n"},
      {"s off", Block(1) + "s off\r\n"},
      {"s", Block(1) + "s\r\n"},
      {"sfoo", Block(1) + "sfoo\r\n"},
      {"g", ""},
      {"g name", ""},
      {"gfoo", ""},
      {"o", ""},
      {"o name", ""},
      {"", ""},
      {"usemtl red", "usemtl red\r\n"},
      {"mtllib a.mtl", "mtllib a.mtl\r\n"},
      {"# comment", "# comment\r\n"},
      {"vt 0 1", "vt 0 1\r\n"},
      {"l 1 2", "l 1 2\r\n"},
      // Letters just outside and inside the span from g to s.
      {"f 1 2 3", "f 1 2 3\r\n"},
      {"h 1", "h 1\r\n"},
      {"r 1", "r 1\r\n"},
      {"t 1", "t 1\r\n"},
      {" s 1", " s 1\r\n"},
      {"\tg name", "\tg name\r\n"},
      {"S 1", "S 1\r\n"},
      {"G name", "G name\r\n"},
      {"O name", "O name\r\n"},
      {"   ", "   \r\n"},
      {"\xEF\xBB\xBFs 1", "\xEF\xBB\xBFs 1\r\n"},  // a byte-order mark hides the s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Rewrite(std::string(c.line) + "\n"), c.out);
  }
}

TEST(LineRules, NumbersRunOnPastNine) {
  std::string input, expected;
  for (int n = 1; n <= 12; ++n) {
    input += "s " + std::to_string(n) + "\nf 1 2 3\n";
    expected += Block(n) + "s " + std::to_string(n) + "\r\nf 1 2 3\r\n";
  }
  const std::string output = Rewrite(input);
  EXPECT_EQ(output, expected);
  EXPECT_NE(output.find("g object10\r\no object10\r\nusemtl object10\r\ns 10\r\n"),
            std::string::npos);
}

// The numbering goes on past the largest 32-bit number rather than starting
// again at 0, which would give two parts the same name.
TEST(LineRules, NumbersRunOnPast32Bits) {
  const struct {
    ObjectNumber first;
    std::string out;
  } cases[] = {
      {4294967294u,
       "g object4294967294\r\no object4294967294\r\nusemtl object4294967294\r\n"
       "s 1\r\ng object4294967295\r\no object4294967295\r\n"
       "usemtl object4294967295\r\ns 2\r\n"},
      {4294967295u,
       "g object4294967295\r\no object4294967295\r\nusemtl object4294967295\r\n"
       "s 1\r\ng object4294967296\r\no object4294967296\r\n"
       "usemtl object4294967296\r\ns 2\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    testing::ScratchDir dir;
    auto platform = NewSystemPlatform();
    ObjectNumber number = c.first;
    {
      TextLineWriter writer(*platform, testing::OpenName(*platform, dir / "out.obj").Name());
      ApplyLineRules(u"s 1", number, writer);
      ApplyLineRules(u"s 2", number, writer);
      writer.Close();
      EXPECT_TRUE(writer.good());
    }
    EXPECT_EQ(testing::ReadBytes(dir / "out.obj"), c.out);
    EXPECT_EQ(number, c.first + 2);
  }
}

TEST(LineRules, OnlyDroppedLinesGiveAnEmptyFile) {
  EXPECT_EQ(Rewrite("\ng a\no b\n\n\ng\r\n"), "");
}

TEST(LineRules, CrSeparatedFileIsOneLine) {
  EXPECT_EQ(Rewrite("s 1\rf 1 2 3\rs 2\r"), Block(1) + "s 1\rf 1 2 3\rs 2\r\r\n");
  EXPECT_EQ(Rewrite("g a\rv 1 2 3\r"), "");
}

TEST(LineRules, SecondPassRenumbersAndKeepsTheFirstMaterials) {
  const std::string first = Rewrite("v 0 0 0\ns 1\nf 1 2 3\ns 2\nf 3 2 1\n");
  EXPECT_EQ(Rewrite(first), "v 0 0 0\r\nusemtl object1\r\n" + Block(1) +
                                "s 1\r\nf 1 2 3\r\nusemtl object2\r\n" + Block(2) +
                                "s 2\r\nf 3 2 1\r\n");
}

}  // namespace
}  // namespace sgsplit
