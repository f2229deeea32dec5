// File names on POSIX are bytes, conventionally UTF-8. They travel through the
// tool as UTF-16; a byte that is not part of valid UTF-8 rides along as the
// lone surrogate U+DC80..U+DCFF, so every name comes back byte for byte.
#ifndef SGSPLIT_PLATFORM_POSIX_FILE_NAMES_H_
#define SGSPLIT_PLATFORM_POSIX_FILE_NAMES_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace sgsplit {

std::u16string WidenFileName(std::string_view bytes);

// Returns how many bytes `text` narrows to, and writes them to `out` when
// `size` is large enough; -1 when `text` holds a surrogate that no byte
// sequence widens to (the name would not be faithful).
std::ptrdiff_t NarrowFileName(std::u16string_view text, char* out, std::size_t size);

// Convenience for display and system calls: the bytes, or false.
bool NarrowFileName(std::u16string_view text, std::string* bytes);

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_POSIX_FILE_NAMES_H_
