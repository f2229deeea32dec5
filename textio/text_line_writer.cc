#include "textio/text_line_writer.h"

#include <cstring>

#include "textio/widen.h"

namespace sgsplit {

TextLineWriter::TextLineWriter(Platform& platform, const NarrowPath& path) : platform_(platform) {
  file_ = platform_.OpenForWriting(path.Name());
  if (file_ == FileHandle::kInvalid) {
    NoteError();
    state_ |= kFail;
  } else {
    opened_here_ = true;
  }
}

TextLineWriter::~TextLineWriter() {
  if (opened_here_) Close();
}

void TextLineWriter::NoteError() {
  if (error_ == 0) error_ = platform_.LastError();
}

void TextLineWriter::WriteTextInPieces(const char16_t* text, std::size_t length) {
  if ((state_ & (kFail | kBad)) != 0 || file_ == FileHandle::kInvalid) {
    state_ |= kBad;
    return;
  }
  if (length == 0) return;
  if (!staging_tried_) {
    staging_tried_ = true;
    storage_ = platform_.Allocate(std::size_t{2} * kStagingSize);
    if (storage_) {
      staging_ = reinterpret_cast<char*>(storage_.get());
      state_ &= ~kUnstaged;
    }
  }
  if (!staging_) {
    if (!WriteUnstaged(text, length)) state_ |= kBad;
    return;
  }
  while (length != 0) {
    if (staged_ == kStagingSize && !HandOver()) {
      state_ |= kBad;
      return;
    }
    const std::size_t room = kStagingSize - staged_;
    const std::size_t n = length < room ? length : room;
    bool line_end = false;
    const std::size_t narrowed = NarrowLatin1(text, n, staging_ + staged_, line_end);
    staged_ += static_cast<std::uint32_t>(narrowed);
    if (line_end) state_ |= kTextLineEnd;
    if (narrowed != n) {
      state_ |= kBad;  // a character with no byte; nothing from it on is written
      return;
    }
    text += n;
    length -= n;
  }
}

void TextLineWriter::WriteNumber(std::uint32_t value) {
  char16_t digits[10];
  char16_t* first = digits + 10;
  do {
    *--first = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  WriteText(first, static_cast<std::size_t>(digits + 10 - first));
}

void TextLineWriter::EndLineInPieces() {
  WriteText(u"\n", 1);
  Flush();
}

void TextLineWriter::WriteLineInPieces(const Line& line) {
  WriteText(line);
  EndLine();
}

void TextLineWriter::Flush() {
  if ((state_ & (kFail | kBad)) != 0 || file_ == FileHandle::kInvalid) return;
  if (!HandOver()) state_ |= kBad;
}

bool TextLineWriter::WriteUnstaged(const char16_t* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] > 0xFF) return false;
    const char byte = static_cast<char>(text[i]);
    const bool ok = byte == '\n' ? WriteAll("\r\n", 2) : WriteAll(&byte, 1);
    if (!ok) return false;
  }
  return true;
}

bool TextLineWriter::HandOver() {
  if (staged_ == 0) return true;
  const std::uint32_t count = staged_;
  staged_ = 0;
  const bool text_line_end = (state_ & kTextLineEnd) != 0;
  state_ &= ~kTextLineEnd;

  if (!text_line_end) {
    // No text brought an LF, so the only one is EndLine's, as the last byte.
    if (staging_[count - 1] != '\n') return WriteAll(staging_, count);
    staging_[count - 1] = '\r';
    staging_[count] = '\n';
    return WriteAll(staging_, count + 1);
  }

  std::uint32_t line_ends = 0;
  for (const char* p = staging_;
       (p = static_cast<const char*>(std::memchr(p, '\n', staging_ + count - p))) != nullptr; ++p)
    ++line_ends;

  // Widen each LF to CR LF, from the back so that nothing is overwritten
  // before it has moved; the text before the first LF stays where it is.
  const char* from = staging_ + count;
  char* to = staging_ + count + line_ends;
  while (to != from) {
    const char byte = *--from;
    *--to = byte;
    if (byte == '\n') *--to = '\r';
  }
  return WriteAll(staging_, count + line_ends);
}

void TextLineWriter::Close() {
  if (file_ == FileHandle::kInvalid) {
    state_ |= kFail;
    return;
  }
  bool ok = HandOver();
  storage_.reset();
  staging_ = nullptr;
  state_ |= kUnstaged;
  if (!platform_.Close(file_)) {
    NoteError();
    ok = false;
  }
  file_ = FileHandle::kInvalid;
  opened_here_ = false;
  if (!ok) state_ |= kFail;
}

}  // namespace sgsplit
