#include "textio/text_line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace sgsplit {
namespace {

using testing::ScratchDir;

// Refuses every buffer of the reader's full block size, so that the reader
// falls back to its small block.
class NoFullBlock final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    if (size >= TextLineReader::kBlockSize) return nullptr;
    return PlatformWrapper::Allocate(size);
  }
};

struct Read {
  std::string line;  // one byte per character
  bool eof = false;
  bool fail = false;
  bool operator==(const Read&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Read& read) {
  return out << "{\"" << testing::Escaped(read.line) << "\"" << (read.eof ? " eof" : "")
             << (read.fail ? " fail" : "") << "}";
}

std::string Bytes(const Line& line) {
  std::string bytes;
  for (const char16_t c : line) {
    EXPECT_LE(c, 0xFF);
    bytes += static_cast<char>(c);
  }
  return bytes;
}

// Reads until fail or bad, recording every read, then one read more to see
// that nothing changes after it.
std::vector<Read> ReadAll(Platform& platform, const std::filesystem::path& file,
                          std::size_t limit = kMaxLineLength) {
  TextLineReader reader(platform, testing::OpenName(platform, file).Name(), limit);
  std::vector<Read> reads;
  Line line;
  for (int guard = 0; guard < 100000; ++guard) {
    reader.ReadLine(line);
    EXPECT_FALSE(reader.bad());
    reads.push_back({Bytes(line), reader.eof(), reader.fail()});
    if (reader.fail() || reader.bad()) break;
  }
  const Line last = line;
  reader.ReadLine(line);
  EXPECT_TRUE(reader.fail());
  EXPECT_EQ(line, last) << "a read after fail must leave the line alone";
  return reads;
}

struct Case {
  const char* name;
  std::string bytes;
  std::vector<Read> reads;
};

const Read kEnd{"", true, true};

std::string Block(std::size_t size, char fill = 'x') { return std::string(size, fill); }

// A last line without LF sets end of input alone; the read after it sets fail
// and leaves the line as it was. The tables leave that read implied.
std::vector<Case> WithFinalRead(std::vector<Case> cases) {
  for (Case& c : cases) {
    const Read last = c.reads.back();
    if (last.eof && !last.fail) c.reads.push_back({last.line, true, true});
  }
  return cases;
}

std::vector<Case> Cases() {
  const std::string filler = Block(4095);
  return WithFinalRead({
      {"empty file", "", {kEnd}},
      {"two lines", "a\nb\n", {{"a"}, {"b"}, kEnd}},
      {"last line without LF", "a\nb", {{"a"}, {"b", true, false}}},
      {"CR LF", "a\r\nb\r\n", {{"a"}, {"b"}, kEnd}},
      {"CR inside a line", "a\rb\n", {{"a\rb"}, kEnd}},
      {"CR CR LF", "a\r\r\n", {{"a\r"}, kEnd}},
      {"CR alone separates nothing", "a\rb\rc", {{"a\rb\rc", true, false}}},
      {"last byte CR", "a\nb\r", {{"a"}, {"b\r", true, false}}},
      {"only a CR", "\r", {{"\r", true, false}}},
      {"two empty lines", "\n\n", {{""}, {""}, kEnd}},
      {"high bytes", "\x80\xE9\xFF\n", {{"\x80\xE9\xFF"}, kEnd}},
      {"UTF-8 is read as bytes", "\xC3\xA9\n", {{"\xC3\xA9"}, kEnd}},
      {"byte-order mark stays", "\xEF\xBB\xBFv 1\n", {{"\xEF\xBB\xBFv 1"}, kEnd}},
      {"NUL inside a line", std::string("a\0b\n", 4), {{std::string("a\0b", 3)}, kEnd}},
      {"UTF-16 is read as bytes",
       std::string("\xFF\xFE"
                   "a\0\n\0",
                   6),
       {{std::string("\xFF\xFE"
                     "a\0",
                     4)},
        {std::string("\0", 1), true, false}}},
      {"0x1A ends the input",
       "a\nb\x1A"
       "c\n",
       {{"a"}, {"b", true, false}}},
      {"0x1A after the last LF", "a\n\x1A", {{"a"}, kEnd}},
      {"0x1A first",
       "\x1A"
       "a\n",
       {kEnd}},
      {"CR before 0x1A stays", "a\r\x1A\n", {{"a\r", true, false}}},
      {"0x1A in a later block",
       Block(5000) + "\n\x1A"
                     "b\n",
       {{Block(5000)}, kEnd}},
      {"0x1A at the start of a block",
       Block(4095) + "\n\x1A"
                     "b\n",
       {{Block(4095)}, kEnd}},
      {"CR LF across the block edge", filler + "\r\nb\n", {{filler}, {"b"}, kEnd}},
      {"CR at the block edge, then a letter", filler + "\rb\n", {{filler + "\rb"}, kEnd}},
      {"CR at the block edge, then CR LF",
       filler + "\r\r\nb",
       {{filler + "\r"}, {"b", true, false}}},
      {"CR at the block edge, then 0x1A", filler + "\r\x1A\n", {{filler + "\r", true, false}}},
      {"CR as the last byte of a full block", filler + "\r", {{filler + "\r", true, false}}},
      {"LF at the block edge", filler + "\nb\n", {{filler}, {"b"}, kEnd}},
      {"a line over many blocks", Block(20000, 'y') + "\r\n", {{Block(20000, 'y')}, kEnd}},
      {"longer, shorter and empty lines in turn",
       "abcdefghijklmnopqrstuvwxyz\nab\n\nabcdefghijklmnopq\nabcdefghijklmnopqrstuvwxyz0123\n\nz",
       {{"abcdefghijklmnopqrstuvwxyz"},
        {"ab"},
        {""},
        {"abcdefghijklmnopq"},
        {"abcdefghijklmnopqrstuvwxyz0123"},
        {""},
        {"z", true, false}}},
      {"a long line after a short one, across the block edge",
       "a\n" + Block(4090) + "\r\n" + Block(30, 'w') + "\n",
       {{"a"}, {Block(4090)}, {Block(30, 'w')}, kEnd}},
  });
}

class ReaderTest : public ::testing::TestWithParam<bool> {
 protected:
  ReaderTest() : system_(NewSystemPlatform()), small_block_(*system_) {}
  Platform& platform() { return GetParam() ? static_cast<Platform&>(small_block_) : *system_; }

  ScratchDir dir_;
  std::unique_ptr<Platform> system_;
  NoFullBlock small_block_;
};

TEST_P(ReaderTest, YieldsLinesAndConditions) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const auto file = dir_ / "model.obj";
    testing::WriteBytes(file, c.bytes);
    EXPECT_EQ(ReadAll(platform(), file), c.reads);
  }
}

TEST_P(ReaderTest, LineLimitStopsTheReadAndLeavesTheRestUnread) {
  const auto file = dir_ / "long.obj";
  testing::WriteBytes(file, "abc\nabcdef\n");
  EXPECT_EQ(ReadAll(platform(), file, 3), (std::vector<Read>{{"abc"}, {"abc", false, true}}));
  // A line of exactly the limit is whole: the LF after it is still taken.
  testing::WriteBytes(file, "abc\nxy\n");
  EXPECT_EQ(ReadAll(platform(), file, 3), (std::vector<Read>{{"abc"}, {"xy"}, kEnd}));
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ReaderTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "SmallBlock" : "FullBlock"; });

TEST(TextLineReader, MissingFileSetsFailAndCloseFailsToo) {
  ScratchDir dir;
  auto platform = NewSystemPlatform();
  TextLineReader reader(*platform, testing::OpenName(*platform, dir / "missing.obj").Name());
  EXPECT_TRUE(reader.fail());
  EXPECT_FALSE(reader.eof());
  EXPECT_NE(reader.error(), 0u);
  Line line(u"kept");
  reader.ReadLine(line);
  EXPECT_EQ(line, u"kept");
  reader.Close();
  EXPECT_TRUE(reader.fail());
}

TEST(TextLineReader, CloseTwiceSetsFail) {
  ScratchDir dir;
  auto platform = NewSystemPlatform();
  testing::WriteBytes(dir / "a.obj", "a\n");
  TextLineReader reader(*platform, testing::OpenName(*platform, dir / "a.obj").Name());
  reader.Close();
  EXPECT_FALSE(reader.fail());
  reader.Close();
  EXPECT_TRUE(reader.fail());
}

}  // namespace
}  // namespace sgsplit
