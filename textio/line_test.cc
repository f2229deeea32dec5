#include "textio/line.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace sgsplit {
namespace {

TEST(Line, KeepsItsTextThroughCopiesMovesAndGrowth) {
  const std::u16string text = u"vt 0.5 \u00E9\u0100 0.25";
  Line line(text);
  EXPECT_EQ(line, text);
  EXPECT_EQ(line.size(), text.size());

  line.Reserve(100000);
  EXPECT_GE(line.capacity(), 100000u);
  EXPECT_EQ(line, text) << "growing keeps the text";

  const Line copy = line;
  EXPECT_EQ(copy, text);
  Line moved = std::move(line);
  EXPECT_EQ(moved, text);
  moved = copy;
  EXPECT_EQ(moved, copy);

  moved.Clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_GE(moved.capacity(), 100000u) << "emptying keeps the room";
}

TEST(Line, OnlyAWideningMarksItBytesOnly) {
  Line line;
  EXPECT_TRUE(line.bytes_only()) << "an empty line";
  line.Assign(u"plain text");
  EXPECT_FALSE(line.bytes_only()) << "assigned text is not looked at";
  const std::string bytes = "f 1 2 3";
  line.Reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) line.room()[i] = bytes[i];
  line.SetWidenedLength(bytes.size());
  EXPECT_TRUE(line.bytes_only());
  EXPECT_EQ(line, std::u16string_view(u"f 1 2 3"));
  EXPECT_TRUE(Line(line).bytes_only()) << "a copy is what it copies";
  line.Assign(u"x");
  EXPECT_FALSE(line.bytes_only());
  line.Clear();
  EXPECT_TRUE(line.bytes_only());
}

TEST(Line, RoomRunsPastTheCapacityByTheSlack) {
  for (const std::size_t capacity : {1u, 15u, 16u, 4096u, 5000u}) {
    Line line;
    line.Reserve(capacity);
    // Under AddressSanitizer, a room shorter than promised fails here.
    char16_t* room = line.room();
    for (std::size_t i = 0; i < line.capacity() + Line::kSlack; ++i) room[i] = u'z';
    line.SetWidenedLength(line.capacity());
    EXPECT_EQ(line.size(), line.capacity());
  }
}

}  // namespace
}  // namespace sgsplit
