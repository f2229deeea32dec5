// Byte to 16-bit character conversion, one to one, in tight loops.
//
// Runs are converted in chunks of a fixed number of lanes. A run that is not
// a whole number of chunks ends with one chunk that overlaps the one before
// it, so that no byte outside the run is touched and no slow tail loop runs.
// Where SSE2 is there (every x86-64), the chunks are written with its
// intrinsics; elsewhere as fixed-length loops, which compilers vectorise.
#ifndef SGSPLIT_TEXTIO_WIDEN_H_
#define SGSPLIT_TEXTIO_WIDEN_H_

#include <cstddef>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define SGSPLIT_HAVE_SSE2 1
#endif

// AVX2 loops are built beside the SSE2 ones, in functions of their own, and
// chosen at run time where the processor has AVX2 (textio/vectors.h). Not on
// Windows, where GCC cannot align the stack for 32-byte vectors it spills.
#if defined(SGSPLIT_HAVE_SSE2) && defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#include <immintrin.h>
#define SGSPLIT_HAVE_AVX2 1
#endif

namespace sgsplit {
namespace widen_detail {

inline constexpr std::size_t kLanes = 16;

inline void WidenChunk(const char* in, char16_t* out) {
  // Copies through locals so that the compiler needs no check for overlap.
  unsigned char bytes[kLanes];
  std::memcpy(bytes, in, kLanes);
  char16_t wide[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) wide[i] = bytes[i];
  std::memcpy(out, wide, sizeof wide);
}

// Narrows one chunk without looking at the values; ORs them into `seen`,
// which tells afterwards whether any of them had no byte, and marks LFs in
// `line_ends`.
inline void NarrowChunk(const char16_t* in, char* out, char16_t* seen, char16_t* line_ends) {
  char16_t wide[kLanes];
  std::memcpy(wide, in, sizeof wide);
  char bytes[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) {
    seen[i] |= wide[i];
    line_ends[i] |= static_cast<char16_t>(wide[i] == u'\n' ? 1 : 0);
    bytes[i] = static_cast<char>(wide[i]);
  }
  std::memcpy(out, bytes, kLanes);
}

// One character at a time, up to the first without a byte.
inline std::size_t NarrowEach(const char16_t* text, std::size_t count, char* out, bool& line_end) {
  std::size_t done = 0;
  for (; done < count && text[done] <= 0xFF; ++done) {
    line_end |= text[done] == u'\n';
    out[done] = static_cast<char>(text[done]);
  }
  return done;
}

inline void WidenPortable(const char* bytes, std::size_t count, char16_t* out) {
  if (count < kLanes) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
    return;
  }
  for (std::size_t i = 0; i + kLanes < count; i += kLanes) WidenChunk(bytes + i, out + i);
  WidenChunk(bytes + count - kLanes, out + count - kLanes);
}

inline std::size_t NarrowPortable(const char16_t* text, std::size_t count, char* out,
                                  bool& line_end) {
  if (count >= kLanes) {
    // Text nearly always narrows: convert first and look at the values once,
    // at the end, rather than once a chunk.
    char16_t seen[kLanes] = {};
    char16_t line_ends[kLanes] = {};
    for (std::size_t i = 0; i + kLanes < count; i += kLanes)
      NarrowChunk(text + i, out + i, seen, line_ends);
    NarrowChunk(text + count - kLanes, out + count - kLanes, seen, line_ends);
    char16_t high = 0;
    char16_t any_line_end = 0;
    for (std::size_t i = 0; i < kLanes; ++i) {
      high |= seen[i];
      any_line_end |= line_ends[i];
    }
    if (high <= 0xFF) {
      line_end |= any_line_end != 0;
      return count;
    }
  }
  return NarrowEach(text, count, out, line_end);
}

#ifdef SGSPLIT_HAVE_SSE2

inline void WidenSse2(const char* bytes, std::size_t count, char16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  if (count >= 16) {
    auto chunk = [&](std::size_t i) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(b, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(b, zero));
    };
    for (std::size_t i = 0; i + 16 < count; i += 16) chunk(i);
    chunk(count - 16);
  } else if (count >= 8) {
    auto chunk = [&](std::size_t i) {
      const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(b, zero));
    };
    chunk(0);
    chunk(count - 8);
  } else {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
  }
}

inline std::size_t NarrowSse2(const char16_t* text, std::size_t count, char* out, bool& line_end) {
  if (count >= 8) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lf = _mm_set1_epi8('\n');
    __m128i seen = zero;
    __m128i line_ends = zero;
    // Packing saturates, so a character without a byte never packs to an LF
    // byte: the LFs are looked for in the packed bytes, one compare for 16
    // characters. The characters without a byte are found from `seen`.
    if (count >= 16) {
      auto chunk = [&](std::size_t i) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 8));
        seen = _mm_or_si128(seen, _mm_or_si128(low, high));
        const __m128i bytes = _mm_packus_epi16(low, high);
        line_ends = _mm_or_si128(line_ends, _mm_cmpeq_epi8(bytes, lf));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
      };
      for (std::size_t i = 0; i + 16 < count; i += 16) chunk(i);
      chunk(count - 16);
    } else {
      auto chunk = [&](std::size_t i) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        seen = _mm_or_si128(seen, c);
        const __m128i bytes = _mm_packus_epi16(c, c);
        line_ends = _mm_or_si128(line_ends, _mm_cmpeq_epi8(bytes, lf));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), bytes);
      };
      chunk(0);
      chunk(count - 8);
    }
    const __m128i wide = _mm_srli_epi16(seen, 8);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(wide, zero)) == 0xFFFF) {
      line_end |= _mm_movemask_epi8(line_ends) != 0;
      return count;
    }
  }
  return NarrowEach(text, count, out, line_end);
}

inline void PackBytesSse2(const char16_t* chars, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
}

#endif  // SGSPLIT_HAVE_SSE2

#ifdef SGSPLIT_HAVE_AVX2

// PackBytes in 32-character vectors: it may read up to 31 characters past
// `count` and write up to 31 bytes past.
[[gnu::target("avx2")]] inline void PackBytesAvx2(const char16_t* chars, std::size_t count,
                                                  char* out) {
  for (std::size_t i = 0; i < count; i += 32) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chars + i));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chars + i + 16));
    // Packing works within each 128-bit half; the permutation puts the
    // halves' bytes back in order.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(low, high), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
  }
}

#endif  // SGSPLIT_HAVE_AVX2

inline void PackBytesPortable(const char16_t* chars, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(chars[i]);
}

}  // namespace widen_detail

// Writes `count` bytes to `out`, each as the character of the same value.
inline void Widen(const char* bytes, std::size_t count, char16_t* out) {
#ifdef SGSPLIT_HAVE_SSE2
  widen_detail::WidenSse2(bytes, count, out);
#else
  widen_detail::WidenPortable(bytes, count, out);
#endif
}

// Narrows characters to bytes while every character is at most U+00FF.
// Returns how many were narrowed; fewer than `count` means text[result] has
// no byte. Sets `line_end` when an LF was among those narrowed, and leaves
// it alone otherwise. Bytes of `out` past the result, up to `count`, may be
// overwritten.
inline std::size_t NarrowLatin1(const char16_t* text, std::size_t count, char* out,
                                bool& line_end) {
#ifdef SGSPLIT_HAVE_SSE2
  return widen_detail::NarrowSse2(text, count, out, line_end);
#else
  return widen_detail::NarrowPortable(text, count, out, line_end);
#endif
}

// Turns characters that are all known to have a byte into their bytes,
// looking at none of them. It works by whole vectors of 16: it may read up to
// 15 characters past `count` and write up to 15 bytes past, all of which
// must be there.
inline void PackBytes(const char16_t* chars, std::size_t count, char* out) {
#ifdef SGSPLIT_HAVE_SSE2
  widen_detail::PackBytesSse2(chars, count, out);
#else
  widen_detail::PackBytesPortable(chars, count, out);
#endif
}

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_WIDEN_H_
