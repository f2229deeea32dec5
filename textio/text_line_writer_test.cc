#include "textio/text_line_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "textio/line.h"
#include "textio/text_line_reader.h"

namespace sgsplit {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;

// Records every write the writer hands to the system, can refuse to give
// the writer its staging buffer, and can report writes one byte short.
class RecordingPlatform final : public PlatformWrapper {
 public:
  RecordingPlatform(Platform& target, bool no_staging)
      : PlatformWrapper(target), no_staging_(no_staging) {}
  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    writes.emplace_back(static_cast<const char*>(data), size);
    const bool ok = PlatformWrapper::Write(file, data, size, written);
    if (ok && short_writes && *written != 0) --*written;
    return ok;
  }
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    if (no_staging_) return nullptr;
    return PlatformWrapper::Allocate(size);
  }
  std::vector<std::string> writes;
  bool short_writes = false;

 private:
  bool no_staging_;
};

using Script = std::function<void(TextLineWriter&)>;

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
         for (const std::uint64_t n : std::initializer_list<std::uint64_t>{
                  9, 10, 12345, 0, 4294967295, 4294967296, 18446744073709551615u})
           w.WriteNumber(n);
       },
       "91012345"
       "04294967295"
       "4294967296"
       "18446744073709551615"},
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
      {"text that fills the staging buffer exactly",
       [](auto& w) { w.WriteText(u"ab"), w.WriteText(std::u16string(4094, u'y')), w.EndLine(); },
       "ab" + std::string(4094, 'y') + "\r\n"},
      {"text that runs past the staging buffer",
       [](auto& w) { w.WriteText(u"ab"), w.WriteText(std::u16string(4095, u'y')), w.EndLine(); },
       "ab" + std::string(4095, 'y') + "\r\n"},
  };
}

// Each test writes a fresh file through the recording platform.
class WriterTest : public ::testing::TestWithParam<bool> {
 protected:
  explicit WriterTest(bool no_staging = false)
      : system_(NewSystemPlatform()), platform_(*system_, no_staging) {}

  // Runs `script` on a writer of a fresh file and returns the file's bytes;
  // `bad` tells whether the script left the bad condition set.
  std::string Written(const Script& script, bool* bad = nullptr) {
    platform_.writes.clear();
    testing::WriteBytes(file_, "old content that must go");
    {
      TextLineWriter writer(platform_, testing::OpenName(platform_, file_).Name());
      EXPECT_TRUE(writer.good());
      script(writer);
      if (bad != nullptr) *bad = writer.bad();
      writer.Close();
      EXPECT_FALSE(writer.fail());
    }
    return ReadBytes(file_);
  }

  ScratchDir dir_;
  std::filesystem::path file_ = dir_ / "out.obj";
  std::unique_ptr<Platform> system_;
  RecordingPlatform platform_;
};

class StagedOrNot : public WriterTest {
 protected:
  StagedOrNot() : WriterTest(GetParam()) {}
};

TEST_P(StagedOrNot, WritesBytes) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    bool bad = false;
    EXPECT_EQ(testing::Escaped(Written(c.script, &bad)), testing::Escaped(c.bytes));
    EXPECT_EQ(bad, c.bad);
  }
}

TEST_P(StagedOrNot, EveryFinishedLineIsInTheFileAtOnce) {
  TextLineWriter writer(platform_, testing::OpenName(platform_, file_).Name());
  writer.WriteText(u"v 0 0 0");
  writer.EndLine();
  EXPECT_EQ(ReadBytes(file_), "v 0 0 0\r\n");
  writer.WriteText(u"f 1 2 3");
  writer.EndLine();
  EXPECT_EQ(ReadBytes(file_), "v 0 0 0\r\nf 1 2 3\r\n");
}

INSTANTIATE_TEST_SUITE_P(Staging, StagedOrNot, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unstaged" : "Staged"; });

TEST_F(WriterTest, EachLineGoesOutInOneWriteWithCrLf) {
  EXPECT_EQ(Written([](TextLineWriter& w) {
              w.WriteText(u"v 1 2 3");
              w.EndLine();
              w.WriteText(u"g object");
              w.WriteNumber(1);
              w.EndLine();
              w.EndLine();
            }),
            "v 1 2 3\r\ng object1\r\n\r\n");
  EXPECT_EQ(platform_.writes, (std::vector<std::string>{"v 1 2 3\r\n", "g object1\r\n", "\r\n"}));
}

TEST_F(WriterTest, LineEndsInsideTextAreWidenedToo) {
  // LFs at the start, inside and at the end of a text.
  EXPECT_EQ(Written([](TextLineWriter& w) {
              w.WriteText(u"a\nb");
              w.EndLine();
              w.WriteText(u"\nabcdefghijklmnop\nqrstuvwxyz0123456789\n");
              w.EndLine();
              w.WriteText(u"\r");
              w.EndLine();
            }),
            "a\r\nb\r\n\r\nabcdefghijklmnop\r\nqrstuvwxyz0123456789\r\n\r\n\r\r\n");
  EXPECT_EQ(platform_.writes.size(), 3u);
}

TEST_F(WriterTest, FullBuffersGoOutOnTheWay) {
  EXPECT_EQ(Written([](TextLineWriter& w) {
              // 4095 characters and the LF fill the staging exactly: one write.
              w.WriteText(std::u16string(4095, u'a'));
              w.EndLine();
              // 4096 characters fill it; the LF starts it anew.
              w.WriteText(std::u16string(4096, u'b'));
              w.EndLine();
              // A line longer than the buffer goes out a full buffer at a time.
              w.WriteText(std::u16string(4196, u'c'));
              w.EndLine();
              // An LF in the text is one character of the 4096, though it
              // goes out as two bytes.
              w.WriteText(std::u16string(4094, u'd') + u"\n\n\n");
              w.EndLine();
            }),
            std::string(4095, 'a') + "\r\n" + std::string(4096, 'b') + "\r\n" +
                std::string(4196, 'c') + "\r\n" + std::string(4094, 'd') + "\r\n\r\n\r\n\r\n");
  EXPECT_EQ(platform_.writes, (std::vector<std::string>{
                                  std::string(4095, 'a') + "\r\n", std::string(4096, 'b'), "\r\n",
                                  std::string(4096, 'c'), std::string(100, 'c') + "\r\n",
                                  std::string(4094, 'd') + "\r\n\r\n", "\r\n\r\n"}));
}

TEST_F(WriterTest, TextWithoutLineEndIsHandedOverAtClose) {
  EXPECT_EQ(Written([](TextLineWriter& w) { w.WriteText(u"no end"); }), "no end");
  EXPECT_EQ(platform_.writes, std::vector<std::string>{"no end"});
}

TEST_F(WriterTest, CloseHandsOverWhatABadWriteLeftStaged) {
  bool bad = false;
  EXPECT_EQ(Written(
                [&](TextLineWriter& w) {
                  w.WriteText(u"xy\u0101");
                  w.EndLine();  // writes nothing: bad is set
                  EXPECT_TRUE(platform_.writes.empty());
                },
                &bad),
            "xy");
  EXPECT_TRUE(bad);
}

// A write the system takes short of, without an error, leaves the writer
// bad with no error code, not one that an earlier call left behind.
TEST_F(WriterTest, AShortWriteCarriesNoEarlierError) {
  TextLineWriter writer(platform_, testing::OpenName(platform_, file_).Name());
  ASSERT_EQ(platform_.OpenForReading(testing::OpenName(platform_, dir_ / "missing").Name()),
            FileHandle::kInvalid);
  ASSERT_NE(platform_.LastError(), 0u);
  platform_.short_writes = true;
  writer.WriteText(u"v 1");
  writer.EndLine();
  EXPECT_TRUE(writer.bad());
  EXPECT_EQ(writer.error(), 0u);
}

TEST_F(WriterTest, EmptyTextWritesNothing) {
  EXPECT_EQ(Written([](TextLineWriter& w) { w.WriteText(u""); }), "");
  EXPECT_TRUE(platform_.writes.empty());
}

TEST_F(WriterTest, ConditionsAfterClose) {
  TextLineWriter writer(platform_, testing::OpenName(platform_, file_).Name());
  writer.Close();
  EXPECT_TRUE(writer.good());
  EXPECT_EQ(ReadBytes(file_), "");
  writer.WriteText(u"late");
  EXPECT_TRUE(writer.bad());
  writer.Close();
  EXPECT_TRUE(writer.fail());
  EXPECT_EQ(ReadBytes(file_), "");
}

class UnstagedWriterTest : public WriterTest {
 protected:
  UnstagedWriterTest() : WriterTest(true) {}
};

TEST_F(UnstagedWriterTest, EachByteGoesOutByItself) {
  EXPECT_EQ(Written([](TextLineWriter& w) {
              w.WriteText(u"ab");
              w.EndLine();
            }),
            "ab\r\n");
  EXPECT_EQ(platform_.writes, (std::vector<std::string>{"a", "b", "\r\n"}));
}

TEST(TextLineWriter, OpenInAMissingFolderFailsAndCreatesNothing) {
  ScratchDir dir;
  auto platform = NewSystemPlatform();
  TextLineWriter writer(*platform, testing::OpenName(*platform, dir / "no" / "out.obj").Name());
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
  for (const auto& c : cases) {
    testing::WriteBytes(dir / "in.obj", c.in);
    {
      TextLineReader reader(*platform, testing::OpenName(*platform, dir / "in.obj").Name());
      TextLineWriter writer(*platform, testing::OpenName(*platform, dir / "out.obj").Name());
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
