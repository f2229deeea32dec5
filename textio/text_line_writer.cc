#include "textio/text_line_writer.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace sgsplit {
namespace {

// Turns the characters of `text` into bytes at `out`, each LF into CR LF, up
// to the first character that has no byte. Returns how many characters were
// turned and moves `out` past their bytes.
std::size_t Narrow(std::u16string_view text, char*& out) {
  std::size_t done = 0;
  for (; done < text.size() && text[done] <= 0xFF; ++done) {
    if (text[done] == u'\n') *out++ = '\r';
    *out++ = static_cast<char>(text[done]);
  }
  return done;
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
    char* out = Staging() + staged_bytes_;
    const std::size_t done = Narrow({text.data(), count}, out);
    staged_ += static_cast<std::uint32_t>(done);
    staged_bytes_ = static_cast<std::uint32_t>(out - Staging());
    if (done != count) {
      conditions_ |= kBad;
      return;
    }
    text.remove_prefix(count);
  }
}

void TextLineWriter::WriteNumber(std::uint64_t value) {
  char16_t digits[20];
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
  const std::uint32_t total = std::exchange(staged_bytes_, 0);
  staged_ = 0;
  std::uint32_t written = 0;
  if (!platform_.Write(file_, Staging(), total, &written)) {
    NoteError();
    return false;
  }
  return written == total;
}

}  // namespace sgsplit
