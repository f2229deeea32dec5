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
    if (staging_ != nullptr && !fail_ && !bad_ && length <= kStagingSize - staged_) {
      const std::size_t narrowed = NarrowLatin1(text, length, staging_ + staged_, text_line_end_);
      staged_ += static_cast<std::uint32_t>(narrowed);
      if (narrowed != length) bad_ = true;  // a character with no byte; nothing from it on
      return;
    }
    WriteTextInPieces(text, length);
  }
  void WriteText(std::u16string_view text) { WriteText(text.data(), text.size()); }
  void WriteNumber(std::uint32_t value);
  // Writes the line end and hands the line to the system.
  void EndLine() {
    // The LF goes straight into the staging buffer when there is room for it,
    // and the line is handed over at once, as Flush would.
    if (staging_ != nullptr && staged_ < kStagingSize && !fail_ && !bad_) {
      staging_[staged_++] = '\n';
      if (!HandOverLine()) bad_ = true;
      return;
    }
    EndLineInPieces();
  }
  void Flush();
  void Close();

  bool fail() const { return fail_; }
  bool bad() const { return bad_; }
  bool good() const { return !fail_ && !bad_; }
  // The platform's code for the first open, write or close that failed, or 0.
  std::uint32_t error() const { return error_; }

 private:
  void WriteTextInPieces(const char16_t* text, std::size_t length);
  void EndLineInPieces();
  // Hands over a staged line that EndLine has just ended with its LF.
  bool HandOverLine();
  bool HandOver();
  bool WriteUnstaged(const char16_t* text, std::size_t length);
  bool WriteAll(const char* bytes, std::uint32_t count);
  void NoteError();

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  bool opened_here_ = false;
  bool staging_tried_ = false;
  // kStagingSize bytes of staging, and as many again so that the line ends
  // can be widened to CR LF in place.
  std::unique_ptr<std::byte[]> storage_;
  char* staging_ = nullptr;
  std::uint32_t staged_ = 0;
  // Set when text staged since the last hand-over held an LF, which the
  // hand-over must then look for; EndLine's own LF is always the last byte.
  bool text_line_end_ = false;
  bool fail_ = false;
  bool bad_ = false;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_
