// A line of 16-bit characters, without its line end.
//
// It keeps its room from one line to the next, and always has a few spare
// characters after its text, so that the byte path can convert whole vectors
// into it and never asks for memory for a line that fits the room it has.
#ifndef SGSPLIT_TEXTIO_LINE_H_
#define SGSPLIT_TEXTIO_LINE_H_

#include <cstddef>
#include <memory>
#include <string_view>

namespace sgsplit {

class Line {
 public:
  // Spare characters after the text, written to by whole vectors (of up to
  // 32 characters) and never part of the line.
  static constexpr std::size_t kSlack = 32;

  Line() = default;
  explicit Line(std::u16string_view text) { Assign(text); }
  Line(const Line& other) {
    Assign(other.view());
    bytes_only_ = other.bytes_only_;
  }
  Line& operator=(const Line& other) {
    if (this != &other) {
      Assign(other.view());
      bytes_only_ = other.bytes_only_;
    }
    return *this;
  }
  Line(Line&& other) noexcept
      : chars_(std::move(other.chars_)),
        size_(other.size_),
        capacity_(other.capacity_),
        bytes_only_(other.bytes_only_) {
    other.size_ = other.capacity_ = 0;
  }
  Line& operator=(Line&& other) noexcept {
    chars_ = std::move(other.chars_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    bytes_only_ = other.bytes_only_;
    other.size_ = other.capacity_ = 0;
    return *this;
  }

  const char16_t* data() const { return chars_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char16_t front() const { return chars_[0]; }
  const char16_t* begin() const { return data(); }
  const char16_t* end() const { return data() + size_; }
  std::u16string_view view() const { return {data(), size_}; }
  operator std::u16string_view() const { return view(); }
  // The characters the line can hold without asking for memory.
  std::size_t capacity() const { return capacity_; }

  // True when every character is known to have a byte (U+0000 to U+00FF)
  // and none is an LF, as in every line the reader yields: the writer then
  // turns the characters into bytes without looking at them.
  bool bytes_only() const { return bytes_only_; }

  void Clear() {
    size_ = 0;
    bytes_only_ = true;  // no characters, so none without a byte
  }
  // Makes room for `capacity` characters, keeping the text. Throws
  // std::bad_alloc when there is no memory for it.
  void Reserve(std::size_t capacity) {
    if (capacity > capacity_) Grow(capacity);
  }

  // Filling a line from bytes: widen them into room(), which holds
  // capacity() + kSlack characters, then set the length, at most capacity():
  // the text is the first `size` characters of room(), every one widened
  // from a byte and none of them an LF.
  char16_t* room() { return chars_.get(); }
  void SetWidenedLength(std::size_t size) {
    size_ = size;
    bytes_only_ = true;
  }

  void Assign(std::u16string_view text);

  friend bool operator==(const Line& a, const Line& b) { return a.view() == b.view(); }
  friend bool operator==(const Line& a, std::u16string_view b) { return a.view() == b; }

 private:
  void Grow(std::size_t capacity);

  std::unique_ptr<char16_t[]> chars_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool bytes_only_ = true;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_LINE_H_
