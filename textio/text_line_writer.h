// Writes lines of 16-bit characters to a file.
//
// Each character up to U+00FF becomes the byte of the same value; every LF
// reaches the disk as CR LF. Bytes are staged and handed to the system at the
// end of every line, so a finished line is in the file at once. Outcomes are
// told only by the conditions.
#ifndef SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_
#define SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace sgsplit {

class TextLineWriter {
 public:
  static constexpr std::uint32_t kStagingSize = 4096;

  TextLineWriter(Platform& platform, const FileName& name);
  ~TextLineWriter();
  TextLineWriter(const TextLineWriter&) = delete;
  TextLineWriter& operator=(const TextLineWriter&) = delete;

  // Writes every character of `text`, up to the first that has no byte.
  void WriteText(std::u16string_view text);
  // Writes the decimal text of `value`.
  void WriteNumber(std::uint64_t value);
  // Writes the line end and hands the line to the system.
  void EndLine();
  void Flush();
  void Close();

  bool fail() const { return (conditions_ & kFail) != 0; }
  bool bad() const { return (conditions_ & kBad) != 0; }
  bool good() const { return conditions_ == 0; }
  // The platform's code for the first open, write or close that failed, or 0.
  std::uint32_t error() const { return error_; }
  FileHandle handle() const { return file_; }

 private:
  enum Condition : std::uint8_t { kFail = 1, kBad = 2 };

  // Where bytes are staged and how many fit: the buffer, or without one a
  // byte of spare (and room for its CR), so that each byte goes out by itself.
  char* Staging() { return staging_ ? reinterpret_cast<char*>(staging_.get()) : spare_; }
  std::uint32_t StagingSize() const { return staging_ ? kStagingSize : 1; }
  bool HandOver();
  void NoteError();

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  // kStagingSize bytes of staging and as many again for the CRs.
  std::unique_ptr<std::byte[]> staging_;
  char spare_[2] = {};
  std::uint32_t staged_ = 0;        // characters, which decide when the staging is full
  std::uint32_t staged_bytes_ = 0;  // their bytes, with a CR before each LF
  std::uint8_t conditions_ = 0;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_WRITER_H_
