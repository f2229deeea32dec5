// Searching a block for a line end.
#ifndef SGSPLIT_TEXTIO_FIND_BYTE_H_
#define SGSPLIT_TEXTIO_FIND_BYTE_H_

#include <bit>
#include <cstring>

#include "textio/widen.h"

namespace sgsplit {

// The first LF in [first, end), or null. Where SSE2 is there, it looks at 16
// bytes at a time and so may read up to 15 bytes past `end`, which must be
// readable. Lines are short: a search inline, with no call and no set-up,
// costs less than the C library's for the few vectors a line takes.
inline const char* FindLineEnd(const char* first, const char* end) {
#ifdef SGSPLIT_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  for (const char* p = first; p < end; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)));
    if (hits != 0) {
      const char* hit = p + std::countr_zero(hits);
      return hit < end ? hit : nullptr;
    }
  }
  return nullptr;
#else
  return static_cast<const char*>(std::memchr(first, '\n', end - first));
#endif
}

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_FIND_BYTE_H_
