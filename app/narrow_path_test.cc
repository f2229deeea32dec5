#include "app/narrow_path.h"

#include <gtest/gtest.h>

#include <string>

namespace sgsplit {
namespace {

TEST(HresultFromError, MapsSystemCodes) {
  EXPECT_EQ(HresultFromError(2), static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(HresultFromError(0x12345), static_cast<HRESULT>(0x80072345));
  EXPECT_EQ(HresultFromError(0), 0);
  EXPECT_EQ(HresultFromError(0x8007000E), static_cast<HRESULT>(0x8007000E));
}

class NarrowPathTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = NewSystemPlatform();
};

TEST_F(NarrowPathTest, ShortPathStaysInline) {
  const std::u16string path = u"/tmp/" + std::u16string(58, u'a');  // 63 characters
  const NarrowPath narrow(*platform_, path.c_str(), kUtf8CodePage);
  EXPECT_FALSE(narrow.OnHeap());
  EXPECT_EQ(std::string(narrow.c_str()), "/tmp/" + std::string(58, 'a'));
  EXPECT_EQ(narrow.Name().wide, path.c_str());
  EXPECT_EQ(narrow.Name().code_page, kUtf8CodePage);
}

TEST_F(NarrowPathTest, LongerPathTakesTheHeap) {
  const std::u16string path(200, u'b');
  const NarrowPath narrow(*platform_, path.c_str(), kUtf8CodePage);
  EXPECT_TRUE(narrow.OnHeap());
  EXPECT_EQ(std::string(narrow.c_str()), std::string(200, 'b'));
}

// The inline buffer holds a name and its terminator in exactly its size; a
// byte more takes the heap.
TEST_F(NarrowPathTest, TheInlineBufferIsUsedToItsLastByte) {
  for (const std::size_t length : {NarrowPath::kInlineSize - 1, NarrowPath::kInlineSize}) {
    SCOPED_TRACE(length);
    const std::u16string path(length, u'c');
    const NarrowPath narrow(*platform_, path.c_str(), kUtf8CodePage);
    EXPECT_EQ(narrow.OnHeap(), length == NarrowPath::kInlineSize);
    EXPECT_EQ(std::string(narrow.c_str()), std::string(length, 'c'));
  }
}

// Three bytes a character: twice the length would not hold it.
TEST_F(NarrowPathTest, SizesTheBufferForTheCodePage) {
  const std::u16string path = u"/tmp/" + std::u16string(60, u'\u6A21');
  const NarrowPath narrow(*platform_, path.c_str(), kUtf8CodePage);
  std::string expected = "/tmp/";
  for (int i = 0; i < 60; ++i) expected += "\xE6\xA8\xA1";
  EXPECT_EQ(std::string(narrow.c_str()), expected);
}

TEST_F(NarrowPathTest, FailureRaisesWithTheSystemError) {
  const std::u16string unpaired = u"/tmp/\xD800.obj";
  const std::u16string plain = u"/tmp/box.obj";
  const struct {
    const char* name;
    const std::u16string& path;
    std::uint32_t code_page;
  } cases[] = {
      {"a code page the system does not know", plain, 12345},
#ifndef _WIN32
      // Windows turns a lone surrogate into U+FFFD instead.
      {"a lone surrogate", unpaired, kUtf8CodePage},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const NarrowPath narrow(*platform_, c.path.c_str(), c.code_page);
      ADD_FAILURE() << "narrowed " << narrow.c_str();
    } catch (const CAtlException& e) {
      EXPECT_EQ(static_cast<std::uint32_t>(e.hresult()) & 0xFFFF0000u, 0x80070000u);
    }
  }
}

}  // namespace
}  // namespace sgsplit
