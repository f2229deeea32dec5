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
#include <string>

#include "app/narrow_path.h"
#include "platform/platform.h"

namespace sgsplit {

using Line = std::u16string;

inline constexpr std::size_t kMaxLineLength = 2'147'483'646;

class TextLineReader {
 public:
  static constexpr std::uint32_t kBlockSize = 4096;
  // Used when no full block can be had; the results are the same.
  static constexpr std::uint32_t kFallbackBlockSize = 2;
  // Readable bytes after the block, so that a search may look at a whole
  // vector past the last byte to deliver; never read into, never delivered.
  static constexpr std::uint32_t kSearchSlack = 16;
  // The memory asked for a full block.
  static constexpr std::uint32_t kBlockAllocation = kBlockSize + kSearchSlack;

  TextLineReader(Platform& platform, const NarrowPath& path,
                 std::size_t line_limit = kMaxLineLength);
  ~TextLineReader();
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  // Replaces `line` with the next line, or leaves it untouched when a
  // condition was already set.
  void ReadLine(Line& line);
  void Close();

  bool eof() const { return eof_; }
  bool fail() const { return fail_; }
  bool bad() const { return bad_; }
  bool good() const { return !eof_ && !fail_ && !bad_; }
  // The platform's code for the first open, read or close that failed, or 0.
  std::uint32_t error() const { return error_; }

 private:
  // Fills the block with the next bytes to deliver; false at the end of input.
  bool Refill();
  void ReadLineInPieces(Line& line);
  void NoteError();

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  std::unique_ptr<std::byte[]> storage_;
  char* block_ = nullptr;
  std::uint32_t block_size_ = 0;
  const char* next_ = nullptr;  // the look-ahead: the next byte to deliver
  const char* end_ = nullptr;
  std::size_t line_limit_;
  bool input_ended_ = false;  // at a byte 0x1A, a read error, or the end of file
  bool eof_ = false;
  bool fail_ = false;
  bool bad_ = false;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_READER_H_
