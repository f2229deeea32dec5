#include "textio/text_line_writer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sgsplit {
namespace {

// Turns the characters of `text` into bytes at `out`, up to the first that
// has no byte. Returns how many were turned.
std::size_t Narrow(std::u16string_view text, char* out) {
  std::size_t done = 0;
  for (; done < text.size() && text[done] <= 0xFF; ++done)
    out[done] = static_cast<char>(text[done]);
  return done;
}

// Makes every LF among the `count` bytes at `bytes` a CR LF, in place, and
// returns how many bytes there are then: there must be room for `count`
// more after them.
std::uint32_t WidenLineEnds(char* bytes, std::uint32_t count) {
  // Nearly always the one LF is the last byte.
  const char* from = bytes + count;
  const auto* first_lf = static_cast<const char*>(std::memchr(bytes, '\n', count));
  const auto line_ends =
      first_lf != nullptr ? static_cast<std::uint32_t>(std::count(first_lf, from, '\n')) : 0;
  // From the back, so that no byte is overwritten before it has moved; the
  // bytes before the first LF stay where they are.
  char* to = bytes + count + line_ends;
  while (to != from) {
    const char byte = *--from;
    *--to = byte;
    if (byte == '\n') *--to = '\r';
  }
  return count + line_ends;
}

}  // namespace

TextLineWriter::TextLineWriter(Platform& platform, const FileName& name) : platform_(platform) {
  file_ = platform_.OpenForWriting(name);
  if (file_ == FileHandle::kInvalid) {
    NoteError();
    conditions_ |= kFail;
    return;
  }
  // Without a staging buffer each byte goes to the system by itself.
  staging_ = platform_.Allocate(std::size_t{2} * kStagingSize);
}

TextLineWriter::~TextLineWriter() {
  if (file_ != FileHandle::kInvalid) Close();
}

void TextLineWriter::NoteError() {
  if (error_ == 0) error_ = platform_.LastError();
}

void TextLineWriter::WriteText(std::u16string_view text) {
  if (conditions_ != 0 || file_ == FileHandle::kInvalid) {
    conditions_ |= kBad;
    return;
  }
  while (!text.empty()) {
    if (staged_ == StagingSize() && !HandOver()) {
      conditions_ |= kBad;
      return;
    }
    const std::size_t count = std::min<std::size_t>(StagingSize() - staged_, text.size());
    const std::size_t done = Narrow({text.data(), count}, Staging() + staged_);
    staged_ += static_cast<std::uint32_t>(done);
    if (done != count) {
      conditions_ |= kBad;
      return;
    }
    text.remove_prefix(count);
  }
}

void TextLineWriter::WriteNumber(std::uint32_t value) {
  char16_t digits[10];
  char16_t* first = std::end(digits);
  do {
    *--first = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  WriteText({first, std::end(digits)});
}

void TextLineWriter::EndLine() {
  WriteText(u"\n");
  Flush();
}

void TextLineWriter::Flush() {
  if (conditions_ != 0 || file_ == FileHandle::kInvalid) return;
  if (!HandOver()) conditions_ |= kBad;
}

void TextLineWriter::Close() {
  if (file_ == FileHandle::kInvalid) {
    conditions_ |= kFail;
    return;
  }
  bool ok = HandOver();
  staging_.reset();
  if (!platform_.Close(file_)) {
    NoteError();
    ok = false;
  }
  file_ = FileHandle::kInvalid;
  if (!ok) conditions_ |= kFail;
}

bool TextLineWriter::HandOver() {
  if (staged_ == 0) return true;
  const std::uint32_t total = WidenLineEnds(Staging(), staged_);
  staged_ = 0;
  std::uint32_t written = 0;
  if (!platform_.Write(file_, Staging(), total, &written)) {
    NoteError();
    return false;
  }
  return written == total;
}

}  // namespace sgsplit
