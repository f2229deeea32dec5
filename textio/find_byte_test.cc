#include "textio/find_byte.h"

#include <gtest/gtest.h>

#include <string>

namespace sgsplit {
namespace {

// 16 bytes of slack after every run, as the reader's block has.
constexpr std::size_t kSlack = 16;

TEST(FindLineEnd, FindsTheFirstLfInsideTheRunOnly) {
  for (std::size_t length = 0; length <= 70; ++length) {
    std::string bytes(length + kSlack, 'x');
    const char* first = bytes.data();
    const char* end = first + length;
    EXPECT_EQ(FindLineEnd(first, end), nullptr) << "length " << length;
    // An LF in the slack is not in the run.
    bytes[length] = '\n';
    EXPECT_EQ(FindLineEnd(first, end), nullptr) << "length " << length;
    for (std::size_t at = 0; at < length; ++at) {
      std::string with_lf(length + kSlack, 'x');
      with_lf[at] = '\n';
      if (at + 3 < length) with_lf[at + 3] = '\n';
      EXPECT_EQ(FindLineEnd(with_lf.data(), with_lf.data() + length), with_lf.data() + at)
          << "length " << length << " at " << at;
    }
  }
}

TEST(FindLineEnd, AnEmptyRunHasNone) { EXPECT_EQ(FindLineEnd(nullptr, nullptr), nullptr); }

}  // namespace
}  // namespace sgsplit
