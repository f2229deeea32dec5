#include "textio/find_byte.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sgsplit {
namespace {

// 16 bytes of slack after the LF that ends every search, as the reader's
// block has.
constexpr std::size_t kSlack = 16;
constexpr char16_t kUntouched = 0xBEEF;

// Bytes of every value but LF, so that a widening that mixes up signs or
// lanes shows.
std::string TextRun(std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<char>((i * 37 + 11) % 256);
    bytes += byte == '\n' ? '\x8A' : byte;
  }
  return bytes;
}

TEST(FindLineEnd, FindsTheFirstLf) {
  for (std::size_t at = 0; at <= 70; ++at) {
    std::string bytes = TextRun(at) + '\n' + TextRun(3) + '\n' + std::string(kSlack, '\n');
    EXPECT_EQ(FindLineEnd(bytes.data()), bytes.data() + at) << "LF at " << at;
  }
}

TEST(WidenToLineEnd, WidensUpToTheLfAndStaysInsideTheSlack) {
  for (std::size_t at = 0; at <= 70; ++at) {
    // Bytes after the LF are not the line's, LFs among them included.
    const std::string bytes = TextRun(at) + '\n' + std::string(kSlack, '\n');
    std::vector<char16_t> out(at + kSlack + 8, kUntouched);
    const char* lf = WidenToLineEnd(bytes.data(), out.data());
    ASSERT_EQ(lf, bytes.data() + at) << "LF at " << at;
    for (std::size_t i = 0; i < at; ++i)
      ASSERT_EQ(out[i], static_cast<unsigned char>(bytes[i])) << "LF at " << at << ", char " << i;
    for (std::size_t i = at + kSlack; i < out.size(); ++i)
      ASSERT_EQ(out[i], kUntouched) << "LF at " << at << ", written past the slack at " << i;
  }
}

}  // namespace
}  // namespace sgsplit
