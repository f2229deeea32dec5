// Writes lines of 16-bit characters to a file.
//
// Each character up to U+00FF becomes the byte of the same value; every LF
// reaches the disk as CR LF. Bytes are staged and handed to the system at the
// end of every line, so a finished line is in the file at once. Outcomes are
// told only by the conditions.
#ifndef SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_
#define SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "app/narrow_path.h"
#include "platform/platform.h"
#include "textio/line.h"
#include "textio/vectors.h"
#include "textio/widen.h"

namespace sgsplit {

class TextLineWriter {
 public:
  static constexpr std::uint32_t kStagingSize = 4096;

  TextLineWriter(Platform& platform, const NarrowPath& path);
  ~TextLineWriter();
  TextLineWriter(const TextLineWriter&) = delete;
  TextLineWriter& operator=(const TextLineWriter&) = delete;

  void WriteText(const char16_t* text, std::size_t length) {
    // Nearly every call finds the writer good and the text fitting in the
    // staging buffer; that takes one conversion and nothing else.
    if ((state_ & (kFail | kBad | kUnstaged)) == 0 && length <= kStagingSize - staged_) {
      bool line_end = false;
      const std::size_t narrowed = NarrowLatin1(text, length, staging_ + staged_, line_end);
      staged_ += static_cast<std::uint32_t>(narrowed);
      if (line_end) state_ |= kTextLineEnd;
      if (narrowed != length) state_ |= kBad;  // a character with no byte; nothing from it on
      return;
    }
    WriteTextInPieces(text, length);
  }
  void WriteText(std::u16string_view text) { WriteText(text.data(), text.size()); }
  void WriteText(const Line& line) {
    // A line as the reader yields it holds only characters with a byte and no
    // LF, so it goes into the staging buffer by whole vectors, unlooked at:
    // the Line's slack and the staging buffer's second half take what the
    // last vector runs over.
    static_assert(Line::kSlack >= 15);
    if (line.bytes_only() && (state_ & (kFail | kBad | kUnstaged)) == 0 &&
        line.size() <= kStagingSize - staged_) {
      PackBytes(line.data(), line.size(), staging_ + staged_);
      staged_ += static_cast<std::uint32_t>(line.size());
      return;
    }
    WriteText(line.data(), line.size());
  }
  // A whole line: WriteText(line), then EndLine(), in one step. A line as
  // the reader yields it that fits the staging buffer with its line end is
  // packed by `Vectors` (textio/vectors.h), given its CR LF and handed over,
  // with the writer's state looked at once.
  template <class Vectors = BaselineVectors>
  void WriteLine(const Line& line) {
    static_assert(Line::kSlack >= Vectors::kReach && kStagingSize >= Vectors::kReach);
    // Read once into locals: the bytes stored below could alias the members.
    const std::uint32_t staged = staged_;
    const std::size_t size = line.size();
    if (line.bytes_only() && state_ == 0 && size < kStagingSize - staged) {
      char* const staging = staging_;
      Vectors::PackBytes(line.data(), size, staging + staged);
      HandOverLine(staging, staged + static_cast<std::uint32_t>(size));
      return;
    }
    WriteLineInPieces(line);
  }
  void WriteNumber(std::uint32_t value);
  // Writes the line end and hands the line to the system.
  void EndLine() {
    // When no text brought an LF of its own and there is room for this one,
    // the line is handed over at once, its LF already widened to CR LF.
    if (state_ == 0 && staged_ < kStagingSize) {
      HandOverLine(staging_, staged_);
      return;
    }
    EndLineInPieces();
  }
  void Flush();
  void Close();

  // The open file, for the caller that must know which file it is.
  FileHandle handle() const { return file_; }
  bool fail() const { return (state_ & kFail) != 0; }
  bool bad() const { return (state_ & kBad) != 0; }
  bool good() const { return (state_ & (kFail | kBad)) == 0; }
  // The platform's code for the first open, write or close that failed, or 0.
  std::uint32_t error() const { return error_; }

 private:
  enum State : std::uint8_t {
    kFail = 1,
    kBad = 2,
    kUnstaged = 4,     // no staging buffer: none tried yet, none to be had, or closed
    kTextLineEnd = 8,  // text staged since the last hand-over held an LF
  };

  // Ends the `text` bytes at `line`, the start of the staging buffer, which
  // hold no LF, with CR LF in place and hands them over in one write. The
  // caller passes the buffer it has at hand: bytes stored through it may
  // alias the members, which would otherwise be read again.
  void HandOverLine(char* line, std::uint32_t text) {
    const std::uint32_t count = text + 2;
    line[count - 2] = '\r';
    line[count - 1] = '\n';
    staged_ = 0;
    if (!WriteAll(line, count)) state_ |= kBad;
  }
  void WriteTextInPieces(const char16_t* text, std::size_t length);
  void EndLineInPieces();
  void WriteLineInPieces(const Line& line);
  bool HandOver();
  bool WriteUnstaged(const char16_t* text, std::size_t length);
  bool WriteAll(const char* bytes, std::uint32_t count) {
    std::uint32_t written = 0;
    if (platform_.Write(file_, bytes, count, &written)) return written == count;
    NoteError();
    return false;
  }
  void NoteError();

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  bool opened_here_ = false;
  bool staging_tried_ = false;
  // kStagingSize bytes of staging, and as many again so that the line ends
  // can be widened to CR LF in place and a vector may run over.
  std::unique_ptr<std::byte[]> storage_;
  char* staging_ = nullptr;
  std::uint32_t staged_ = 0;
  // The conditions, and what decides whether a write may take the quick way.
  std::uint8_t state_ = kUnstaged;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_
