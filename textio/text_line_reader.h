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

#include "app/narrow_path.h"
#include "platform/platform.h"
#include "textio/line.h"
#include "textio/vectors.h"

namespace sgsplit {

inline constexpr std::size_t kMaxLineLength = 2'147'483'646;

class TextLineReader {
 public:
  static constexpr std::uint32_t kBlockSize = 4096;
  // Used when no full block can be had; the results are the same.
  static constexpr std::uint32_t kFallbackBlockSize = 2;
  // Bytes after the block: the LF that ends every search, and the rest of
  // the widest vector read from it. Never read into, never delivered.
  static constexpr std::uint32_t kSearchSlack = 32;
  // The memory asked for a full block.
  static constexpr std::uint32_t kBlockAllocation = kBlockSize + kSearchSlack;

  TextLineReader(Platform& platform, const NarrowPath& path,
                 std::size_t line_limit = kMaxLineLength);
  ~TextLineReader();
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  // Replaces `line` with the next line, or leaves it untouched when a
  // condition was already set. `Vectors` (textio/vectors.h) are the loops
  // that the usual line takes; every set gives the same lines.
  template <class Vectors = BaselineVectors>
  void ReadLine(Line& line) {
    // Nearly every line lies whole in the block, its LF included: it takes
    // one pass that widens the bytes while it looks for the LF. A line that
    // has room for a whole block cannot be overrun by it, and a line inside a
    // block is within the limit.
    static_assert(Line::kSlack >= Vectors::kReach && kSearchSlack >= Vectors::kReach,
                  "a vector must fit past the text");
    if (conditions_ == 0 && line.capacity() >= one_pass_capacity_) {
      const char* lf = Vectors::WidenToLineEnd(next_, line.room());
      if (lf != end_) {
        const auto run = static_cast<std::size_t>(lf - next_);
        line.SetWidenedLength(run);
        next_ = lf + 1;
        return;
      }
    }
    ReadLineInPieces(line);
  }
  void Close();

  bool eof() const { return (conditions_ & kEndOfInput) != 0; }
  // The open file, for the caller that must know which file it is.
  FileHandle handle() const { return file_; }
  bool fail() const { return (conditions_ & kFail) != 0; }
  bool bad() const { return (conditions_ & kBad) != 0; }
  bool good() const { return conditions_ == 0; }
  // The platform's code for the first open, read or close that failed, or 0.
  std::uint32_t error() const { return error_; }

 private:
  enum Condition : std::uint8_t { kEndOfInput = 1, kFail = 2, kBad = 4 };

  // Fills the block with the next bytes to deliver; false at the end of input.
  bool Refill();
  void ReadLineInPieces(Line& line);
  void NoteError();
  // Delivers nothing until the next refill; the LF ends every search.
  void EmptyBlock() { next_ = end_ = no_block_; }

  Platform& platform_;
  FileHandle file_ = FileHandle::kInvalid;
  std::unique_ptr<std::byte[]> storage_;
  char* block_ = nullptr;
  std::uint32_t block_size_ = 0;
  // Where the searches run while there is no block: an LF and the rest of
  // a vector.
  char no_block_[kSearchSlack] = {'\n'};
  const char* next_ = no_block_;  // the look-ahead: the next byte to deliver
  const char* end_ = no_block_;   // with an LF just after the last byte
  std::size_t line_limit_;
  // The least capacity at which a Line takes the one pass: room for a block,
  // or none at all when a line could outgrow the limit inside a block.
  std::size_t one_pass_capacity_;
  bool input_ended_ = false;  // at a byte 0x1A, a read error, or the end of file
  std::uint8_t conditions_ = 0;
  std::uint32_t error_ = 0;
};

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_TEXT_LINE_READER_H_
