#include "textio/text_line_reader.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "textio/find_byte.h"
#include "textio/widen.h"

namespace sgsplit {

TextLineReader::TextLineReader(Platform& platform, const NarrowPath& path, std::size_t line_limit)
    : platform_(platform), line_limit_(line_limit) {
  file_ = platform_.OpenForReading(path.Name());
  if (file_ == FileHandle::kInvalid) {
    NoteError();
    fail_ = true;
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
    fail_ = true;
    return;
  }
  if (!platform_.Close(file_)) {
    NoteError();
    fail_ = true;
  }
  file_ = FileHandle::kInvalid;
  storage_.reset();
  block_ = nullptr;
  next_ = end_ = nullptr;
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
      bad_ = true;
      input_ended_ = true;
      return false;
    }
    block_ = reinterpret_cast<char*>(storage_.get());
    // The slack is only ever looked at, never delivered; clearing it keeps
    // every byte that a search looks at defined.
    std::memset(block_ + block_size_, 0, kSearchSlack);
  }

  std::uint32_t got = 0;
  if (!platform_.Read(file_, block_, block_size_, &got)) {
    // A read error ends the input like the end of the file, but the input is
    // then known to be incomplete.
    NoteError();
    bad_ = true;
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
      bad_ = true;
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
  return true;
}

void TextLineReader::ReadLine(Line& line) {
  if (eof_ || fail_ || bad_) {
    fail_ = true;
    return;
  }
  // Nearly every line lies whole in the block, its LF included: it takes one
  // search and one conversion.
  if (const char* lf = FindLineEnd(next_, end_)) {
    const std::size_t run = lf - next_;
    if (run <= line_limit_) {
      if (run == 0) {
        line.clear();
      } else {
        try {
          // Sized, not emptied first, so that only growth past the last
          // line's length is filled before it is overwritten.
          line.resize(run);
        } catch (const std::bad_alloc&) {
          line.clear();
          bad_ = true;
          return;
        } catch (const std::length_error&) {
          line.clear();
          bad_ = true;
          return;
        }
        Widen(next_, run, line.data());
      }
      next_ = lf + 1;
      return;
    }
  }
  ReadLineInPieces(line);
}

void TextLineReader::ReadLineInPieces(Line& line) {
  // The line is sized to what it holds so far before each run is widened
  // into it, rather than emptied first, so that it keeps its old characters'
  // room: only growth past the last line's length is filled before it is
  // overwritten.
  std::size_t length = 0;
  for (;;) {
    if (next_ == end_) {
      if (!Refill()) {
        eof_ = true;
        break;
      }
      continue;
    }
    const std::size_t available = end_ - next_;
    const char* lf = FindLineEnd(next_, end_);
    std::size_t run = lf ? static_cast<std::size_t>(lf - next_) : available;
    const std::size_t room = line_limit_ - length;
    const bool over_limit = run > room;
    if (over_limit) run = room;
    if (run != 0) {
      try {
        line.resize(length + run);
      } catch (const std::bad_alloc&) {
        line.resize(length);  // shrinking takes no memory
        bad_ = true;
        return;
      } catch (const std::length_error&) {
        line.resize(length);
        bad_ = true;
        return;
      }
      Widen(next_, run, line.data() + length);
      length += run;
      next_ += run;
    }
    if (over_limit || lf) {
      if (over_limit)
        fail_ = true;
      else
        ++next_;
      if (length == 0) line.clear();
      return;
    }
  }
  // The input has ended; a line that took no character is no line.
  if (length == 0) {
    line.clear();
    fail_ = true;
  }
}

}  // namespace sgsplit
