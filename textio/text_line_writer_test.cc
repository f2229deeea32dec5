#include "textio/text_line_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/narrow_path.h"
#include "tests/test_util.h"
#include "textio/line.h"
#include "textio/text_line_reader.h"
#include "textio/vectors.h"
#include "textio/widen.h"

namespace sgsplit {
namespace {

using testing::ByteRun;
using testing::ReadBytes;
using testing::ScratchDir;

// Records the size of every write, and can refuse the staging buffer.
class WriteRecorder final : public PlatformWrapper {
 public:
  WriteRecorder(Platform& target, bool refuse_buffers)
      : PlatformWrapper(target), refuse_buffers_(refuse_buffers) {}
  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    writes.push_back(size);
    return PlatformWrapper::Write(file, data, size, written);
  }
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    if (refuse_buffers_) return nullptr;
    return PlatformWrapper::Allocate(size);
  }
  std::vector<std::uint32_t> writes;

 private:
  bool refuse_buffers_;
};

using Script = std::function<void(TextLineWriter&)>;

// A line as the reader fills it: widened from bytes.
Line Widened(const std::string& bytes) {
  Line line;
  line.Reserve(bytes.size());
  Widen(bytes.data(), bytes.size(), line.room());
  line.SetWidenedLength(bytes.size());
  return line;
}

struct Case {
  const char* name;
  Script script;
  std::string bytes;  // the file afterwards
  bool bad = false;
};

std::vector<Case> Cases() {
  return {
      {"text and line end", [](auto& w) { w.WriteText(u"v 1 2 3"), w.EndLine(); }, "v 1 2 3\r\n"},
      {"text, number, line end",
       [](auto& w) { w.WriteText(u"g object"), w.WriteNumber(1), w.EndLine(); }, "g object1\r\n"},
      {"numbers",
       [](auto& w) {
         for (std::uint32_t n : {9u, 10u, 12345u, 0u, 4294967295u}) w.WriteNumber(n);
       },
       "91012345"
       "04294967295"},
      {"line end alone", [](auto& w) { w.EndLine(); }, "\r\n"},
      {"empty text", [](auto& w) { w.WriteText(u""); }, ""},
      {"nothing written", [](auto&) {}, ""},
      {"NUL passes", [](auto& w) { w.WriteText(std::u16string(u"a\0b", 3)), w.EndLine(); },
       std::string("a\0b\r\n", 5)},
      {"a literal ends at its NUL", [](auto& w) { w.WriteText(std::u16string_view(u"ab\0c")); },
       "ab"},
      {"CR before the line end stays", [](auto& w) { w.WriteText(u"a\r"), w.EndLine(); },
       "a\r\r\n"},
      {"LF inside text becomes CR LF", [](auto& w) { w.WriteText(u"a\nb"), w.EndLine(); },
       "a\r\nb\r\n"},
      {"0x1A and U+00FF pass", [](auto& w) { w.WriteText(u"\x1A\u00E9\u00FF"); }, "\x1A\xE9\xFF"},
      {"U+0100 stops the write",
       [](auto& w) {
         w.WriteText(u"ok"), w.EndLine();
         w.WriteText(u"ab\u0100cd"), w.EndLine(), w.WriteText(u"later");
       },
       "ok\r\nab", true},
      {"long line goes out whole",
       [](auto& w) { w.WriteText(std::u16string(10000, u'x')), w.EndLine(); },
       std::string(10000, 'x') + "\r\n"},
      // Lines widened from bytes skip the looking; any other Line is looked at.
      {"widened line",
       [](auto& w) { w.WriteText(Widened(std::string("v\0\xFF\r", 4))), w.EndLine(); },
       std::string("v\0\xFF\r\r\n", 6)},
      {"widened line after text and before a number",
       [](auto& w) { w.WriteText(u"a"), w.WriteText(Widened("bcd")), w.WriteNumber(7); }, "abcd7"},
      {"widened line that fills the staging buffer exactly",
       [](auto& w) {
         w.WriteText(u"ab"), w.WriteText(Widened(std::string(4094, 'y'))), w.EndLine();
       },
       "ab" + std::string(4094, 'y') + "\r\n"},
      {"widened line longer than the staging buffer's room",
       [](auto& w) {
         w.WriteText(u"ab"), w.WriteText(Widened(std::string(4095, 'y'))), w.EndLine();
       },
       "ab" + std::string(4095, 'y') + "\r\n"},
      {"Line holding an LF", [](auto& w) { w.WriteText(Line(u"a\nb")), w.EndLine(); },
       "a\r\nb\r\n"},
      {"Line holding U+0100", [](auto& w) { w.WriteText(Line(u"ab\u0100c")), w.EndLine(); }, "ab",
       true},
  };
}

class WriterTest : public ::testing::TestWithParam<bool> {
 protected:
  WriterTest() : system_(NewSystemPlatform()), recorder_(*system_, GetParam()) {}
  std::u16string Path(const char* name) { return testing::Utf16Path(dir_ / name); }

  ScratchDir dir_;
  std::unique_ptr<Platform> system_;
  WriteRecorder recorder_;
};

TEST_P(WriterTest, WritesBytes) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::u16string path = Path("out.obj");
    testing::WriteBytes(dir_ / "out.obj", "old content that must go");
    TextLineWriter writer(recorder_, NarrowPath(recorder_, path.c_str(), kUtf8CodePage));
    ASSERT_TRUE(writer.good());
    c.script(writer);
    EXPECT_EQ(writer.bad(), c.bad);
    writer.Close();
    EXPECT_EQ(writer.fail(), false);
    EXPECT_EQ(testing::Escaped(ReadBytes(dir_ / "out.obj")), testing::Escaped(c.bytes));
  }
}

TEST_P(WriterTest, EveryFinishedLineIsInTheFileAtOnce) {
  const std::u16string path = Path("out.obj");
  TextLineWriter writer(recorder_, NarrowPath(recorder_, path.c_str(), kUtf8CodePage));
  writer.WriteText(u"v 0 0 0");
  writer.EndLine();
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "v 0 0 0\r\n");
  writer.WriteText(u"f 1 2 3");
  writer.EndLine();
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "v 0 0 0\r\nf 1 2 3\r\n");
}

// WriteLine is WriteText and EndLine in one step: the same bytes, the same
// hand-overs and the same conditions, whatever was written before.
TEST_P(WriterTest, WriteLineIsTextThenLineEnd) {
  const struct {
    const char* name;
    Script before;
  } preludes[] = {
      {"fresh", [](auto&) {}},
      {"text staged", [](auto& w) { w.WriteText(u"usemtl "); }},
      {"text with an LF staged", [](auto& w) { w.WriteText(u"a\nb"); }},
      {"staging nearly full", [](auto& w) { w.WriteText(std::u16string(4090, u'p')); }},
      {"staging full", [](auto& w) { w.WriteText(std::u16string(4096, u'p')); }},
      {"bad", [](auto& w) { w.WriteText(u"x\u0100"); }},
  };
  const struct {
    const char* name;
    Line line;
  } lines[] = {
      {"empty", Widened("")},
      {"widened", Widened(std::string("v\0\xFF\r", 4))},
      {"widened 33", Widened(ByteRun(33))},
      {"widened 64", Widened(ByteRun(64))},
      {"widened 4093", Widened(ByteRun(4093))},
      {"widened 4094", Widened(ByteRun(4094))},
      {"widened 4095", Widened(ByteRun(4095))},
      {"widened 9000", Widened(ByteRun(9000))},
      {"holding an LF", Line(u"c\nd")},
      {"holding U+0100", Line(u"e\u0100f")},
  };
  for (const auto& prelude : preludes) {
    for (const auto& line : lines) {
      SCOPED_TRACE(std::string(prelude.name) + ", " + line.name);
      // Text then line end; WriteLine; WriteLine with AVX2.
      int ways = 2;
#ifdef SGSPLIT_HAVE_AVX2
      if (HaveAvx2()) ways = 3;
#endif
      std::string bytes[3];
      std::vector<std::uint32_t> writes[3];
      bool bad[3];
      for (int way = 0; way < ways; ++way) {
        const std::u16string path = Path("out.obj");
        recorder_.writes.clear();
        {
          TextLineWriter writer(recorder_, NarrowPath(recorder_, path.c_str(), kUtf8CodePage));
          prelude.before(writer);
          if (way == 0) {
            writer.WriteText(line.line);
            writer.EndLine();
          } else if (way == 1) {
            writer.WriteLine(line.line);
          } else {
#ifdef SGSPLIT_HAVE_AVX2
            writer.WriteLine<Avx2Vectors>(line.line);
#endif
          }
          writer.WriteText(u"after");
          writer.EndLine();
          bad[way] = writer.bad();
        }
        bytes[way] = ReadBytes(dir_ / "out.obj");
        writes[way] = recorder_.writes;
      }
      for (int way = 1; way < ways; ++way) {
        SCOPED_TRACE(way == 1 ? "WriteLine" : "WriteLine with AVX2");
        EXPECT_EQ(testing::Escaped(bytes[way]), testing::Escaped(bytes[0]));
        EXPECT_EQ(writes[way], writes[0]);
        EXPECT_EQ(bad[way], bad[0]);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Staging, WriterTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unstaged" : "Staged"; });

class WriterCallsTest : public ::testing::Test {
 protected:
  WriterCallsTest() : system_(NewSystemPlatform()), recorder_(*system_, false) {}
  ScratchDir dir_;
  std::unique_ptr<Platform> system_;
  WriteRecorder recorder_;
  std::u16string path_;
};

TEST_F(WriterCallsTest, OneWritePerLineAndFullBuffersOnTheWay) {
  path_ = testing::Utf16Path(dir_ / "out.obj");
  TextLineWriter writer(recorder_, NarrowPath(recorder_, path_.c_str(), kUtf8CodePage));
  writer.WriteText(u"g object");
  writer.WriteNumber(7);
  writer.EndLine();
  // 4095 characters and the LF fill the staging exactly: still one write.
  writer.WriteText(std::u16string(4095, u'a'));
  writer.EndLine();
  // 4096 characters fill it; the LF starts it anew.
  writer.WriteText(std::u16string(4096, u'b'));
  writer.EndLine();
  writer.Close();
  EXPECT_EQ(recorder_.writes, (std::vector<std::uint32_t>{11, 4097, 4096, 2}));
}

TEST_F(WriterCallsTest, CloseHandsOverWhatABadWriteLeftStaged) {
  path_ = testing::Utf16Path(dir_ / "out.obj");
  TextLineWriter writer(recorder_, NarrowPath(recorder_, path_.c_str(), kUtf8CodePage));
  writer.WriteText(u"xy\u0101");
  writer.EndLine();  // writes nothing: bad is set
  EXPECT_TRUE(recorder_.writes.empty());
  writer.Close();
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "xy");
  EXPECT_TRUE(writer.bad());
  EXPECT_FALSE(writer.fail());
}

TEST_F(WriterCallsTest, ConditionsAfterClose) {
  path_ = testing::Utf16Path(dir_ / "out.obj");
  TextLineWriter writer(recorder_, NarrowPath(recorder_, path_.c_str(), kUtf8CodePage));
  writer.Close();
  EXPECT_TRUE(writer.good());
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "");
  writer.WriteText(u"late");
  EXPECT_TRUE(writer.bad());
  writer.Close();
  EXPECT_TRUE(writer.fail());
  EXPECT_EQ(ReadBytes(dir_ / "out.obj"), "");
}

TEST(TextLineWriter, OpenInAMissingFolderFailsAndCreatesNothing) {
  ScratchDir dir;
  auto platform = NewSystemPlatform();
  const std::u16string path = testing::Utf16Path(dir / "no" / "out.obj");
  TextLineWriter writer(*platform, NarrowPath(*platform, path.c_str(), kUtf8CodePage));
  EXPECT_TRUE(writer.fail());
  EXPECT_NE(writer.error(), 0u);
  writer.WriteText(u"x");
  EXPECT_TRUE(writer.bad());
  writer.Close();
  EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

// Whatever passes the rules unchanged comes back with the same bytes, every
// line end as CR LF.
TEST(TextLines, ReadAndWriteGiveBackTheSameBytes) {
  ScratchDir dir;
  auto platform = NewSystemPlatform();
  std::string all_bytes;
  for (int b = 0; b < 256; ++b)
    if (b != '\n' && b != 0x1A) all_bytes += static_cast<char>(b);
  const struct {
    std::string in, out;
  } cases[] = {
      {"v 1 2 3\nf 1 2 3\n", "v 1 2 3\r\nf 1 2 3\r\n"},
      {"v 1\r\nvn 0 0 1", "v 1\r\nvn 0 0 1\r\n"},
      {"a\rb\r\n", "a\rb\r\n"},
      {all_bytes + "\n", all_bytes + "\r\n"},
      {std::string(4095, 'q') + "\r\n" + std::string(9000, 'r'),
       std::string(4095, 'q') + "\r\n" + std::string(9000, 'r') + "\r\n"},
      // Each line shorter than the one before: nothing of the longer lines
      // may come through after the shorter ones.
      {"vn 0.000000 0.000000 1.000000 extra\nf 1 2\nf\n\ns\n",
       "vn 0.000000 0.000000 1.000000 extra\r\nf 1 2\r\nf\r\n\r\ns\r\n"},
  };
  const std::u16string in_path = testing::Utf16Path(dir / "in.obj");
  const std::u16string out_path = testing::Utf16Path(dir / "out.obj");
  for (const auto& c : cases) {
    testing::WriteBytes(dir / "in.obj", c.in);
    {
      TextLineReader reader(*platform, NarrowPath(*platform, in_path.c_str(), kUtf8CodePage));
      TextLineWriter writer(*platform, NarrowPath(*platform, out_path.c_str(), kUtf8CodePage));
      Line line;
      for (reader.ReadLine(line); !reader.fail(); reader.ReadLine(line)) {
        writer.WriteText(line);
        writer.EndLine();
      }
      writer.Close();
      EXPECT_TRUE(writer.good());
    }
    EXPECT_EQ(testing::Escaped(ReadBytes(dir / "out.obj")), testing::Escaped(c.out));
  }
}

}  // namespace
}  // namespace sgsplit
