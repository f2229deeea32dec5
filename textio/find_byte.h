// Searching a block for a line end.
//
// The reader keeps an LF just after the last byte it delivers from a block,
// so every search finds one and needs no bound: a search that stops at that
// LF has found no line end in the block.
#ifndef SGSPLIT_TEXTIO_FIND_BYTE_H_
#define SGSPLIT_TEXTIO_FIND_BYTE_H_

#include <bit>
#include <cstring>

#include "textio/widen.h"

namespace sgsplit {

// The first LF at or after `first`; there must be one. Where SSE2 is there,
// it looks at 16 bytes at a time and so may read up to 15 bytes past the LF,
// which must be readable. Lines are short: a search inline, with no call and
// no set-up, costs less than the C library's for the few vectors a line takes.
inline const char* FindLineEnd(const char* first) {
#ifdef SGSPLIT_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  for (;; first += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)));
    if (hits != 0) return first + std::countr_zero(hits);
  }
#else
  while (*first != '\n') ++first;
  return first;
#endif
}

// Widens the bytes from `first` into `out`, each as the character of the
// same value, up to the first LF, which must come, and returns that LF. It
// works by whole vectors: it may read up to 15 bytes past the LF, and write
// as many as 16 characters past the one before the LF.
inline const char* WidenToLineEnd(const char* first, char16_t* out) {
#ifdef SGSPLIT_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  for (;; first += 16, out += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)));
    if (hits != 0) return first + std::countr_zero(hits);
  }
#else
  const char* lf = FindLineEnd(first);
  Widen(first, static_cast<std::size_t>(lf - first), out);
  return lf;
#endif
}

#ifdef SGSPLIT_HAVE_AVX2

// WidenToLineEnd in 32-byte vectors: it may read up to 31 bytes past the LF,
// and write as many as 32 characters past the one before the LF.
[[gnu::target("avx2")]] inline const char* WidenToLineEndAvx2(const char* first, char16_t* out) {
  const __m256i lf = _mm256_set1_epi8('\n');
  for (;; first += 32, out += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
    // Each half is widened as it is loaded: one instruction for 16 bytes.
    const __m128i* halves = reinterpret_cast<const __m128i*>(first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_cvtepu8_epi16(_mm_loadu_si128(halves)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                        _mm256_cvtepu8_epi16(_mm_loadu_si128(halves + 1)));
    const auto hits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, lf)));
    if (hits != 0) return first + std::countr_zero(hits);
  }
}

#endif  // SGSPLIT_HAVE_AVX2

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_FIND_BYTE_H_
