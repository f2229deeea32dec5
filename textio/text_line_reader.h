// Reads a file as lines of 16-bit characters.
//
// Each byte becomes the character of the same value. CR LF reads as LF, any
// other CR stays, LF ends a line and is not kept, and the first byte 0x1A
// ends the input. Outcomes are told only by the conditions.
#ifndef SGSPLIT_TEXTIO_TEXT_LINE_READER_H_
#define SGSPLIT_TEXTIO_TEXT_LINE_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "textio/line.h"

namespace sgsplit {

class TextLineReader {
 public:
  static constexpr std::uint32_t kBlockSize = 4096;
  // Used when no full block can be had; the results are the same.
  static constexpr std::uint32_t kFallbackBlockSize = 2;

  TextLineReader(Platform& platform, const FileName& name, std::size_t line_limit = kMaxLineLength);
  ~TextLineReader();
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  // Replaces `line` with the next line, or leaves it untouched when a
  // condition was already set.
  void ReadLine(Line& line);
  void Close();

  bool eof() const { return (conditions_ & kEndOfInput) != 0; }
  bool fail() const { return (conditions_ & kFail) != 0; }
  bool bad() const { return (conditions_ & kBad) != 0; }
  bool good() const { return conditions_ == 0; }
  // The platform's code for the first open, read or close that failed, or 0.
  std::uint32_t error() const { return error_; }
  FileHandle handle() const { return file_; }

  // After the input has ended at a byte 0x1A: reads the rest of the file and
  // tells whether any byte but 0x1A follows that mark. False when the input
  // did not end at a mark; a read error sets bad. Only before Close.
  bool OtherBytesAfterEndMark();
  // Where the mark that ended the input stands in the file, counted from 0.
  std::uint64_t end_mark_offset() const { return end_mark_offset_; }

 private:
  enum Condition : std::uint8_t { kEndOfInput = 1, kFail = 2, kBad = 4 };

  // Makes the next bytes to deliver; false at the end of the input. A block
  // may deliver no byte (a CR whose LF comes with the next block).
  bool Refill();
  bool ObtainBlock();
  // Ends the block's bytes at the first 0x1A, if there is one, and the
  // input with it, noting where it stands and whether other bytes follow it
  // in the block. Returns how many bytes are left.
  std::uint32_t CutAtEndMark(std::uint32_t count);
  // Drops every CR that an LF follows, in place. Returns how many bytes are
  // left.
  std::uint32_t DropCrBeforeLf(std::uint32_t count);
  // Whether an LF follows a CR that ends the block, by a look at the next
  // byte of the file, which is then read again with the next block.
  bool LfFollows();
  // Ends the input because it cannot be read in full.
  void EndInputBadly();
  void NoteError();

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  std::unique_ptr<std::byte[]> storage_;
  char* block_ = nullptr;
  std::uint32_t block_size_ = 0;
  const char* next_ = nullptr;  // the next byte to deliver
  const char* end_ = nullptr;   // just after the last byte to deliver
  std::size_t line_limit_;
  bool input_ended_ = false;  // at a byte 0x1A, a read error, or the end of the file
  // Where the block being filled starts in the file; moved on once it is made.
  std::uint64_t block_offset_ = 0;
  bool ended_at_mark_ = false;
  std::uint64_t end_mark_offset_ = 0;
  bool other_bytes_after_mark_ = false;  // found so far
  std::uint8_t conditions_ = 0;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_READER_H_
