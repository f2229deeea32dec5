#include "textio/text_line_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace sgsplit {
namespace {

// Appends the bytes from `first` to `last` to `line`, each as the character
// of the same value; false when there is no memory for them.
bool AppendWidened(Line& line, const char* first, const char* last) {
  const std::size_t old_size = line.size();
  try {
    line.resize(old_size + static_cast<std::size_t>(last - first));
  } catch (const std::bad_alloc&) {
    return false;
  }
  char16_t* out = line.data() + old_size;
  for (; first != last; ++first) *out++ = static_cast<unsigned char>(*first);
  return true;
}

bool IsNotEndMark(char byte) { return byte != 0x1A; }

}  // namespace

TextLineReader::TextLineReader(Platform& platform, const FileName& name, std::size_t line_limit)
    : platform_(platform), line_limit_(line_limit) {
  file_ = platform_.OpenForReading(name);
  if (file_ == FileHandle::kInvalid) {
    NoteError();
    conditions_ |= kFail;
  }
}

TextLineReader::~TextLineReader() {
  if (file_ != FileHandle::kInvalid) Close();
}

void TextLineReader::NoteError() {
  if (error_ == 0) error_ = platform_.LastError();
}

void TextLineReader::EndInputBadly() {
  conditions_ |= kBad;
  input_ended_ = true;
}

void TextLineReader::Close() {
  if (file_ == FileHandle::kInvalid) {
    conditions_ |= kFail;
    return;
  }
  if (!platform_.Close(file_)) {
    NoteError();
    conditions_ |= kFail;
  }
  file_ = FileHandle::kInvalid;
  next_ = end_ = nullptr;
  storage_.reset();
  block_ = nullptr;
}

void TextLineReader::ReadLine(Line& line) {
  if (conditions_ != 0) {
    conditions_ |= kFail;
    return;
  }
  line.clear();
  for (;;) {
    if (next_ == end_ && !Refill()) {
      // A line that took no character before the input ended is no line.
      conditions_ |= line.empty() ? kEndOfInput | kFail : kEndOfInput;
      return;
    }
    const auto* lf = static_cast<const char*>(std::memchr(next_, '\n', end_ - next_));
    const char* stop = lf != nullptr ? lf : end_;
    const std::size_t room = line_limit_ - line.size();
    const bool too_long = static_cast<std::size_t>(stop - next_) > room;
    if (too_long) stop = next_ + room;
    if (!AppendWidened(line, next_, stop)) {
      conditions_ |= kBad;
      return;
    }
    next_ = stop;
    if (too_long) {
      conditions_ |= kFail;  // the rest of the line stays unread
      return;
    }
    if (lf != nullptr) {
      ++next_;
      return;
    }
  }
}

bool TextLineReader::Refill() {
  if (input_ended_ || file_ == FileHandle::kInvalid) return false;
  if (block_ == nullptr && !ObtainBlock()) {
    // Not even two bytes: the input cannot be read, and must not pass for read.
    EndInputBadly();
    return false;
  }
  std::uint32_t got = 0;
  if (!platform_.Read(file_, block_, block_size_, &got)) {
    // A read error ends the input like the end of the file, but the input is
    // then known to be incomplete.
    NoteError();
    EndInputBadly();
    return false;
  }
  if (got == 0) {
    input_ended_ = true;
    return false;
  }
  const std::uint32_t count = DropCrBeforeLf(CutAtEndMark(got));
  block_offset_ += got;
  next_ = block_;
  end_ = block_ + count;
  return true;
}

bool TextLineReader::ObtainBlock() {
  for (const std::uint32_t size : {kBlockSize, kFallbackBlockSize}) {
    storage_ = platform_.Allocate(size);
    if (storage_) {
      block_ = reinterpret_cast<char*>(storage_.get());
      block_size_ = size;
      return true;
    }
  }
  return false;
}

std::uint32_t TextLineReader::CutAtEndMark(std::uint32_t count) {
  char* mark = static_cast<char*>(std::memchr(block_, 0x1A, count));
  if (mark == nullptr) return count;
  input_ended_ = true;
  ended_at_mark_ = true;
  const auto cut = static_cast<std::uint32_t>(mark - block_);
  end_mark_offset_ = block_offset_ + cut;
  other_bytes_after_mark_ = std::any_of(mark + 1, block_ + count, IsNotEndMark);
  return cut;
}

bool TextLineReader::OtherBytesAfterEndMark() {
  if (!ended_at_mark_ || file_ == FileHandle::kInvalid) return false;
  while (!other_bytes_after_mark_) {
    std::uint32_t got = 0;
    if (!platform_.Read(file_, block_, block_size_, &got)) {
      NoteError();
      conditions_ |= kBad;
      return false;
    }
    if (got == 0) return false;
    other_bytes_after_mark_ = std::any_of(block_, block_ + got, IsNotEndMark);
  }
  return true;
}

std::uint32_t TextLineReader::DropCrBeforeLf(std::uint32_t count) {
  auto* cr = static_cast<char*>(std::memchr(block_, '\r', count));
  if (cr == nullptr) return count;
  char* out = cr;
  for (const char* in = cr; in != block_ + count; ++in) {
    if (*in == '\r') {
      // A CR that ends the block is decided by the byte after it; one that
      // a 0x1A follows stays.
      const bool lf_follows =
          in + 1 != block_ + count ? in[1] == '\n' : !input_ended_ && LfFollows();
      if (lf_follows) continue;
    }
    *out++ = *in;
  }
  return static_cast<std::uint32_t>(out - block_);
}

bool TextLineReader::LfFollows() {
  char after = 0;
  std::uint32_t looked = 0;
  if (!platform_.Read(file_, &after, 1, &looked) || (looked == 1 && !platform_.Seek(file_, -1))) {
    NoteError();
    EndInputBadly();
    return false;
  }
  return looked == 1 && after == '\n';
}

}  // namespace sgsplit
