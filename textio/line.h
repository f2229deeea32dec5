// A line of 16-bit characters, without its line end.
#ifndef SGSPLIT_TEXTIO_LINE_H_
#define SGSPLIT_TEXTIO_LINE_H_

#include <cstddef>
#include <string>

namespace sgsplit {

using Line = std::u16string;

// The most characters a line read from a file may hold.
inline constexpr std::size_t kMaxLineLength = 2'147'483'646;

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_LINE_H_
