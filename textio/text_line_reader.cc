#include "textio/text_line_reader.h"

#include <cstring>
#include <new>

#include "textio/widen.h"

namespace sgsplit {

TextLineReader::TextLineReader(Platform& platform, const NarrowPath& path, std::size_t line_limit)
    : platform_(platform),
      line_limit_(line_limit),
      one_pass_capacity_(line_limit >= kBlockSize ? kBlockSize : SIZE_MAX) {
  file_ = platform_.OpenForReading(path.Name());
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
  EmptyBlock();
  storage_.reset();
  block_ = nullptr;
}

bool TextLineReader::Refill() {
  if (input_ended_ || file_ == FileHandle::kInvalid) return false;
  if (!block_) {
    block_size_ = kBlockSize;
    storage_ = platform_.Allocate(block_size_ + kSearchSlack);
    if (!storage_) {
      block_size_ = kFallbackBlockSize;
      storage_ = platform_.Allocate(block_size_ + kSearchSlack);
    }
    if (!storage_) {
      // Not even two bytes: the input cannot be read, and must not pass for read.
      conditions_ |= kBad;
      input_ended_ = true;
      return false;
    }
    block_ = reinterpret_cast<char*>(storage_.get());
    // The slack is only ever looked at, never delivered; clearing it keeps
    // every byte that a search looks at defined.
    std::memset(block_ + block_size_, 0, kSearchSlack);
  }
  EmptyBlock();

  std::uint32_t got = 0;
  if (!platform_.Read(file_, block_, block_size_, &got)) {
    // A read error ends the input like the end of the file, but the input is
    // then known to be incomplete.
    NoteError();
    conditions_ |= kBad;
    input_ended_ = true;
    return false;
  }
  if (got == 0) {
    input_ended_ = true;
    return false;
  }

  char* end = block_ + got;
  if (char* stop = static_cast<char*>(std::memchr(block_, 0x1A, got))) {
    end = stop;
    input_ended_ = true;
  }

  // Drop every CR that an LF follows, compacting the block in place.
  char* out = block_;
  const char* in = block_;
  while (const char* cr = static_cast<const char*>(std::memchr(in, '\r', end - in))) {
    const std::size_t run = cr - in;
    std::memmove(out, in, run);
    out += run;
    in = cr + 1;
    if (in < end) {
      if (*in != '\n') *out++ = '\r';
      continue;
    }
    if (end != block_ + got) {
      *out++ = '\r';  // a 0x1A follows it, not an LF
      break;
    }
    // The CR ends the block: look at the byte after it, then step back so
    // that the byte is read again with the next block.
    char after = 0;
    std::uint32_t looked = 0;
    if (!platform_.Read(file_, &after, 1, &looked) || (looked == 1 && !platform_.Seek(file_, -1))) {
      NoteError();
      conditions_ |= kBad;
      input_ended_ = true;
    }
    if (looked == 0 || after != '\n') *out++ = '\r';
    break;
  }
  if (in < end && out != in) {
    std::memmove(out, in, end - in);
    out += end - in;
  } else if (in < end) {
    out = end;
  }

  // The block may deliver nothing (a lone CR before an LF); the caller reads on.
  next_ = block_;
  end_ = out;
  *out = '\n';
  return true;
}

void TextLineReader::ReadLineInPieces(Line& line) {
  if (conditions_ != 0) {
    conditions_ |= kFail;
    return;
  }
  line.Clear();
  try {
    // Room for a whole block lets every later line take the quick way.
    line.Reserve(kBlockSize);
  } catch (const std::bad_alloc&) {
    // Lines then grow as they need; only a line with no room for its text
    // is a failure.
  }
  for (;;) {
    if (next_ == end_) {
      if (!Refill()) {
        conditions_ |= kEndOfInput;
        break;
      }
      continue;
    }
    const char* lf = FindLineEnd(next_);
    const bool found = lf != end_;
    std::size_t run = static_cast<std::size_t>(lf - next_);
    const std::size_t length = line.size();
    const std::size_t room = line_limit_ - length;
    const bool over_limit = run > room;
    if (over_limit) run = room;
    if (run != 0) {
      try {
        line.Reserve(length + run);
      } catch (const std::bad_alloc&) {
        conditions_ |= kBad;
        return;
      }
      Widen(next_, run, line.room() + length);
      line.SetWidenedLength(length + run);
      next_ += run;
    }
    if (over_limit) {
      conditions_ |= kFail;
      return;
    }
    if (found) {
      ++next_;
      return;
    }
  }
  // The input has ended; a line that took no character is no line.
  if (line.empty()) conditions_ |= kFail;
}

}  // namespace sgsplit
