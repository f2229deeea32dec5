#include "textio/find_byte.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"
#include "textio/vectors.h"

namespace sgsplit {
namespace {

using testing::ByteRun;

// Slack after the LF that ends every search, as the reader's block has.
constexpr std::size_t kSlack = 32;
constexpr char16_t kUntouched = 0xBEEF;

struct Widening {
  const char* name;
  const char* (*widen)(const char*, char16_t*);
  std::size_t reach;  // how far past the LF it may read and write
};

// Every widening this processor can run.
std::vector<Widening> Widenings() {
  std::vector<Widening> all{{"baseline", BaselineVectors::WidenToLineEnd, BaselineVectors::kReach}};
#ifdef SGSPLIT_HAVE_AVX2
  if (HaveAvx2()) all.push_back({"avx2", Avx2Vectors::WidenToLineEnd, Avx2Vectors::kReach});
#endif
  return all;
}

TEST(FindLineEnd, FindsTheFirstLf) {
  for (std::size_t at = 0; at <= 70; ++at) {
    std::string bytes = ByteRun(at) + '\n' + ByteRun(3) + '\n' + std::string(kSlack, '\n');
    EXPECT_EQ(FindLineEnd(bytes.data()), bytes.data() + at) << "LF at " << at;
  }
}

TEST(WidenToLineEnd, WidensUpToTheLfAndStaysInsideItsReach) {
  for (const Widening& widening : Widenings()) {
    ASSERT_LE(widening.reach, kSlack) << widening.name;
    for (std::size_t at = 0; at <= 100; ++at) {
      SCOPED_TRACE(std::string(widening.name) + ", LF at " + std::to_string(at));
      // Bytes after the LF are not the line's, LFs among them included.
      const std::string bytes = ByteRun(at) + '\n' + std::string(widening.reach, '\n');
      std::vector<char16_t> out(at + widening.reach + 8, kUntouched);
      const char* lf = widening.widen(bytes.data(), out.data());
      ASSERT_EQ(lf, bytes.data() + at);
      for (std::size_t i = 0; i < at; ++i)
        ASSERT_EQ(out[i], static_cast<unsigned char>(bytes[i])) << "char " << i;
      for (std::size_t i = at + widening.reach; i < out.size(); ++i)
        ASSERT_EQ(out[i], kUntouched) << "written past its reach at " << i;
    }
  }
}

}  // namespace
}  // namespace sgsplit
