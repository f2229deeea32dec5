// Byte to 16-bit character conversion, one to one, in loops the compiler can
// vectorise.
#ifndef SGSPLIT_TEXTIO_WIDEN_H_
#define SGSPLIT_TEXTIO_WIDEN_H_

#include <cstddef>
#include <string>

namespace sgsplit {

// Appends `count` bytes to `line`, each as the character of the same value.
inline void AppendWidened(std::u16string& line, const char* bytes, std::size_t count) {
  const std::size_t old_size = line.size();
  line.resize(old_size + count);
  char16_t* out = line.data() + old_size;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
}

// Narrows characters to bytes while every character is at most U+00FF.
// Returns how many were narrowed; fewer than `count` means text[result] has
// no byte.
inline std::size_t NarrowLatin1(const char16_t* text, std::size_t count, char* out) {
  // Checking a whole chunk first keeps the copy loop free of branches.
  constexpr std::size_t kChunk = 64;
  std::size_t done = 0;
  while (done < count) {
    const std::size_t n = count - done < kChunk ? count - done : kChunk;
    char16_t high = 0;
    for (std::size_t i = 0; i < n; ++i) high |= text[done + i];
    if (high > 0xFF) {
      while (text[done] <= 0xFF) {
        out[done] = static_cast<char>(text[done]);
        ++done;
      }
      return done;
    }
    for (std::size_t i = 0; i < n; ++i) out[done + i] = static_cast<char>(text[done + i]);
    done += n;
  }
  return done;
}

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_WIDEN_H_
