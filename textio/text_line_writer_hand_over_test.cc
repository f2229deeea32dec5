#include "textio/text_line_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/narrow_path.h"
#include "tests/test_util.h"

namespace sgsplit {
namespace {

using testing::ScratchDir;

// Records every write the writer hands to the system, and can refuse to
// give the writer its staging buffer.
class RecordingPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  bool Write(FileHandle file, const void* data, std::uint32_t size,
             std::uint32_t* written) override {
    writes.emplace_back(static_cast<const char*>(data), size);
    return PlatformWrapper::Write(file, data, size, written);
  }
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    if (no_staging) return nullptr;
    return PlatformWrapper::Allocate(size);
  }
  std::vector<std::string> writes;
  bool no_staging = false;
};

class HandOverTest : public ::testing::Test {
 protected:
  HandOverTest() : system_(NewSystemPlatform()), platform_(*system_) {}

  // Runs `body` on a writer of a fresh file and returns the file's bytes.
  template <typename Body>
  std::string Written(Body body) {
    platform_.writes.clear();
    const auto file = dir_ / "out.obj";
    const std::u16string path = testing::Utf16Path(file);
    {
      TextLineWriter writer(platform_, NarrowPath(platform_, path.c_str(), kUtf8CodePage));
      body(writer);
      writer.Close();
    }
    return testing::ReadBytes(file);
  }

  ScratchDir dir_;
  std::unique_ptr<Platform> system_;
  RecordingPlatform platform_;
};

TEST_F(HandOverTest, EachLineGoesOutInOneWriteWithCrLf) {
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

TEST_F(HandOverTest, NumbersAreDecimal) {
  EXPECT_EQ(Written([](TextLineWriter& w) {
              for (std::uint32_t n : {0u, 9u, 10u, 12345u, 4294967295u}) {
                w.WriteNumber(n);
                w.WriteText(u" ");
              }
            }),
            "0 9 10 12345 4294967295 ");
}

TEST_F(HandOverTest, LineEndsInsideTextAreWidenedToo) {
  // LFs at the start, inside and at the end of a text, short and long.
  const std::u16string long_text = u"\nabcdefghijklmnop\nqrstuvwxyz0123456789\n";
  EXPECT_EQ(Written([&](TextLineWriter& w) {
              w.WriteText(u"a\nb");
              w.EndLine();
              w.WriteText(long_text);
              w.EndLine();
              w.WriteText(u"\r");
              w.EndLine();
            }),
            "a\r\nb\r\n\r\nabcdefghijklmnop\r\nqrstuvwxyz0123456789\r\n\r\n\r\r\n");
  EXPECT_EQ(platform_.writes.size(), 3u);
}

TEST_F(HandOverTest, TextWithoutLineEndIsHandedOverAtClose) {
  EXPECT_EQ(Written([](TextLineWriter& w) { w.WriteText(u"no end"); }), "no end");
  EXPECT_EQ(platform_.writes, std::vector<std::string>{"no end"});
}

TEST_F(HandOverTest, ALongLineGoesOutAFullBufferAtATime) {
  const std::u16string text(TextLineWriter::kStagingSize + 100, u'x');
  EXPECT_EQ(Written([&](TextLineWriter& w) {
              w.WriteText(text);
              w.EndLine();
            }),
            std::string(text.size(), 'x') + "\r\n");
  ASSERT_EQ(platform_.writes.size(), 2u);
  EXPECT_EQ(platform_.writes[0].size(), TextLineWriter::kStagingSize);
  EXPECT_EQ(platform_.writes[1], std::string(100, 'x') + "\r\n");
}

TEST_F(HandOverTest, ALineEndThatFindsTheBufferFullStartsTheNextOne) {
  const std::u16string text(TextLineWriter::kStagingSize, u'y');
  EXPECT_EQ(Written([&](TextLineWriter& w) {
              w.WriteText(text);
              w.EndLine();
              w.WriteText(u"z");
              w.EndLine();
            }),
            std::string(text.size(), 'y') + "\r\nz\r\n");
  ASSERT_EQ(platform_.writes.size(), 3u);
  EXPECT_EQ(platform_.writes[0].size(), TextLineWriter::kStagingSize);
  EXPECT_EQ(platform_.writes[1], "\r\n");
  EXPECT_EQ(platform_.writes[2], "z\r\n");
}

TEST_F(HandOverTest, ACharacterWithoutAByteStopsEverything) {
  bool bad = false;
  EXPECT_EQ(Written([&](TextLineWriter& w) {
              w.WriteText(u"ok");
              w.EndLine();
              w.WriteText(
                  u"\xFF"
                  u"abc\x100"
                  u"def");
              bad = w.bad();
              w.EndLine();
              w.WriteText(u"more");
            }),
            "ok\r\n\xFF"
            "abc");
  EXPECT_TRUE(bad);
}

TEST_F(HandOverTest, ALongTextStopsAtItsCharacterWithoutAByte) {
  std::u16string text(50, u'q');
  text[33] = u'\x2014';
  EXPECT_EQ(Written([&](TextLineWriter& w) {
              w.WriteText(text);
              w.EndLine();
            }),
            std::string(33, 'q'));
}

TEST_F(HandOverTest, WithoutStagingEachByteGoesOutByItself) {
  platform_.no_staging = true;
  EXPECT_EQ(Written([](TextLineWriter& w) {
              w.WriteText(u"ab");
              w.EndLine();
            }),
            "ab\r\n");
  EXPECT_EQ(platform_.writes, (std::vector<std::string>{"a", "b", "\r\n"}));
}

TEST_F(HandOverTest, EmptyTextWritesNothing) {
  EXPECT_EQ(Written([](TextLineWriter& w) { w.WriteText(u""); }), "");
  EXPECT_TRUE(platform_.writes.empty());
}

}  // namespace
}  // namespace sgsplit
