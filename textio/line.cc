#include "textio/line.h"

#include <cstring>
#include <limits>
#include <new>

namespace sgsplit {

void Line::Assign(std::u16string_view text) {
  Reserve(text.size());
  if (!text.empty()) std::memcpy(chars_.get(), text.data(), text.size() * sizeof(char16_t));
  size_ = text.size();
  bytes_only_ = false;  // not looked at
}

void Line::Grow(std::size_t capacity) {
  constexpr std::size_t kMaxCapacity =
      std::numeric_limits<std::size_t>::max() / sizeof(char16_t) / 2 - kSlack;
  if (capacity > kMaxCapacity) throw std::bad_alloc();
  // Doubling keeps a line that grows by pieces from being copied once a
  // piece; a line never shrinks, so the room is had once for all lines.
  std::size_t grown = capacity_ < kMaxCapacity / 2 ? capacity_ * 2 : kMaxCapacity;
  if (grown < capacity) grown = capacity;
  // Value-initialised, so that the slack a vector reads past the text is
  // always defined.
  auto chars = std::make_unique<char16_t[]>(grown + kSlack);
  if (size_ != 0) std::memcpy(chars.get(), chars_.get(), size_ * sizeof(char16_t));
  chars_ = std::move(chars);
  capacity_ = grown;
}

}  // namespace sgsplit
