// The vector loops that every line of a pass goes through, as sets to build
// the read loop with.
//
// Each set names its loops and how far past its text a loop may read or
// write. The read loop is built once for each set the build has, and the
// widest set the processor can run is chosen when the pass starts, so that
// no line pays for the choice.
#ifndef SGSPLIT_TEXTIO_VECTORS_H_
#define SGSPLIT_TEXTIO_VECTORS_H_

#include <cstddef>

#include "textio/find_byte.h"
#include "textio/widen.h"

namespace sgsplit {

// What every processor the build targets has: SSE2 on x86-64, plain loops
// elsewhere.
struct BaselineVectors {
  static constexpr std::size_t kReach = 16;
  static const char* WidenToLineEnd(const char* first, char16_t* out) {
    return sgsplit::WidenToLineEnd(first, out);
  }
  static void PackBytes(const char16_t* chars, std::size_t count, char* out) {
    sgsplit::PackBytes(chars, count, out);
  }
};

#ifdef SGSPLIT_HAVE_AVX2

// Only to be run where HaveAvx2() holds. Its loops are inlined only into
// code built for AVX2; anywhere else they are calls.
struct Avx2Vectors {
  static constexpr std::size_t kReach = 32;
  [[gnu::target("avx2")]] static const char* WidenToLineEnd(const char* first, char16_t* out) {
    return WidenToLineEndAvx2(first, out);
  }
  [[gnu::target("avx2")]] static void PackBytes(const char16_t* chars, std::size_t count,
                                                char* out) {
    widen_detail::PackBytesAvx2(chars, count, out);
  }
};

// True when the processor, and the system's saving of its registers, allow
// AVX2.
inline bool HaveAvx2() { return __builtin_cpu_supports("avx2"); }

#endif  // SGSPLIT_HAVE_AVX2

}  // namespace sgsplit

#endif  // SGSPLIT_TEXTIO_VECTORS_H_
