#include "textio/widen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "textio/vectors.h"

namespace sgsplit {
namespace {

using Narrow = std::size_t (*)(const char16_t*, std::size_t, char*, bool&);
using WidenFn = void (*)(const char*, std::size_t, char16_t*);
using Pack = void (*)(const char16_t*, std::size_t, char*);

struct Implementation {
  const char* name;
  WidenFn widen;
  Narrow narrow;
};

std::vector<Implementation> Implementations() {
  std::vector<Implementation> all{
      {"portable", widen_detail::WidenPortable, widen_detail::NarrowPortable}};
#ifdef SGSPLIT_HAVE_SSE2
  all.push_back({"sse2", widen_detail::WidenSse2, widen_detail::NarrowSse2});
#endif
  return all;
}

struct Packing {
  const char* name;
  Pack pack;
  std::size_t over;  // how far past the run it may read and write
};

// Every packing this processor can run.
std::vector<Packing> Packings() {
  std::vector<Packing> all{{"portable", widen_detail::PackBytesPortable, 0}};
#ifdef SGSPLIT_HAVE_SSE2
  all.push_back({"sse2", widen_detail::PackBytesSse2, 15});
#endif
#ifdef SGSPLIT_HAVE_AVX2
  if (HaveAvx2()) all.push_back({"avx2", widen_detail::PackBytesAvx2, 31});
#endif
  return all;
}

// Every length up to a few chunks, so that each way through the chunking
// (short, one chunk, overlapping last chunk) is taken.
constexpr std::size_t kMaxLength = 70;

std::u16string Text(std::size_t length) {
  std::u16string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char16_t>(0x20 + (i * 37) % 0xE0);
  return text;
}

TEST(Widen, EveryByteBecomesTheCharacterOfItsValue) {
  for (const Implementation& impl : Implementations()) {
    for (std::size_t length = 0; length <= kMaxLength; ++length) {
      SCOPED_TRACE(std::string(impl.name) + " length " + std::to_string(length));
      std::string bytes;
      for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>((i * 73 + 5) & 0xFF);
      // Guards on both sides must stay untouched.
      std::u16string out(length + 2, u'#');
      impl.widen(bytes.data(), length, out.data() + 1);
      EXPECT_EQ(out.front(), u'#');
      EXPECT_EQ(out.back(), u'#');
      for (std::size_t i = 0; i < length; ++i)
        ASSERT_EQ(out[i + 1], static_cast<unsigned char>(bytes[i])) << "at " << i;
    }
  }
}

TEST(NarrowLatin1, NarrowsWholeRunsAndTellsOfLineEnds) {
  for (const Implementation& impl : Implementations()) {
    for (std::size_t length = 0; length <= kMaxLength; ++length) {
      SCOPED_TRACE(std::string(impl.name) + " length " + std::to_string(length));
      std::u16string text = Text(length);
      if (length != 0) text[length - 1] = u'\xFF';
      std::string out(length + 1, '#');
      bool line_end = false;
      EXPECT_EQ(impl.narrow(text.data(), length, out.data(), line_end), length);
      EXPECT_FALSE(line_end);
      EXPECT_EQ(out.back(), '#');
      for (std::size_t i = 0; i < length; ++i)
        ASSERT_EQ(static_cast<unsigned char>(out[i]), text[i]) << "at " << i;

      for (std::size_t at = 0; at < length; ++at) {
        std::u16string with_lf = text;
        with_lf[at] = u'\n';
        bool seen = false;
        EXPECT_EQ(impl.narrow(with_lf.data(), length, out.data(), seen), length);
        EXPECT_TRUE(seen) << "LF at " << at;
        EXPECT_EQ(out[at], '\n');
      }
    }
  }
}

TEST(NarrowLatin1, StopsAtTheFirstCharacterWithoutAByte) {
  for (const Implementation& impl : Implementations()) {
    for (std::size_t length = 1; length <= kMaxLength; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        SCOPED_TRACE(std::string(impl.name) + " length " + std::to_string(length) + " at " +
                     std::to_string(at));
        std::u16string text = Text(length);
        text[at] = u'\x100';
        if (at + 1 < length) text[at + 1] = u'\n';  // after the stop: not narrowed, not told
        std::string out(length, '#');
        bool line_end = false;
        ASSERT_EQ(impl.narrow(text.data(), length, out.data(), line_end), at);
        EXPECT_FALSE(line_end);
        for (std::size_t i = 0; i < at; ++i)
          ASSERT_EQ(static_cast<unsigned char>(out[i]), text[i]) << "at " << i;
        if (at >= 1) {
          text[at - 1] = u'\n';
          bool before = false;
          ASSERT_EQ(impl.narrow(text.data(), length, out.data(), before), at);
          EXPECT_TRUE(before);
        }
      }
    }
  }
}

TEST(PackBytes, PacksWholeRunsAndRunsOverByLessThanAVector) {
  for (const Packing& packing : Packings()) {
    for (std::size_t length = 0; length <= kMaxLength; ++length) {
      SCOPED_TRACE(std::string(packing.name) + " length " + std::to_string(length));
      // What lies past the run is read but must not matter.
      std::u16string chars = Text(length) + std::u16string(packing.over, u'\x100');
      if (length != 0) chars[0] = u'\xFF';
      if (length > 1) chars[1] = u'\0';
      std::string out(length + packing.over + 4, '#');
      packing.pack(chars.data(), length, out.data());
      for (std::size_t i = 0; i < length; ++i)
        ASSERT_EQ(static_cast<unsigned char>(out[i]), chars[i]) << "at " << i;
      EXPECT_EQ(out.substr(length + packing.over), "####") << "written too far";
    }
  }
}

TEST(NarrowLatin1, LeavesTheLineEndMarkAloneWhenItIsSet) {
  for (const Implementation& impl : Implementations()) {
    const std::u16string text = Text(40);
    std::string out(40, '#');
    bool line_end = true;
    impl.narrow(text.data(), text.size(), out.data(), line_end);
    EXPECT_TRUE(line_end) << impl.name;
  }
}

}  // namespace
}  // namespace sgsplit
