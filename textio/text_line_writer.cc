#include "textio/text_line_writer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sgsplit {

TextLineWriter::TextLineWriter(Platform& platform, const FileName& name) : platform_(platform) {
  file_ = platform_.OpenForWriting(name);
  if (file_ == FileHandle::kInvalid) {
    NoteError();
    conditions_ |= kFail;
  }
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
    // The bytes go to the staging buffer, or without one each by itself.
    char alone[2];
    char* out = alone;
    std::size_t room = 1;
    if (Staging() != nullptr) {
      if (staged_ == kStagingSize && !HandOver()) {
        conditions_ |= kBad;
        return;
      }
      out = Staging() + staged_;
      room = kStagingSize - staged_;
    }
    const std::size_t count = std::min(room, text.size());
    std::size_t done = 0;
    // A character above U+00FF has no byte: nothing from it on is written.
    for (; done < count && text[done] <= 0xFF; ++done) out[done] = static_cast<char>(text[done]);
    if (out != alone) {
      staged_ += static_cast<std::uint32_t>(done);
    } else if (done != 0 && !WriteWithCrLf(alone, 1)) {
      conditions_ |= kBad;
      return;
    }
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

char* TextLineWriter::Staging() {
  if (!staging_tried_) {
    staging_tried_ = true;
    staging_ = platform_.Allocate(std::size_t{2} * kStagingSize);
  }
  return reinterpret_cast<char*>(staging_.get());
}

bool TextLineWriter::HandOver() {
  if (staged_ == 0) return true;
  const std::uint32_t count = staged_;
  staged_ = 0;
  return WriteWithCrLf(Staging(), count);
}

bool TextLineWriter::WriteWithCrLf(char* bytes, std::uint32_t count) {
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
  const std::uint32_t total = count + line_ends;
  std::uint32_t written = 0;
  if (!platform_.Write(file_, bytes, total, &written)) {
    NoteError();
    return false;
  }
  return written == total;
}

}  // namespace sgsplit
