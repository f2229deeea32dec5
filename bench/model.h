// Seeded OBJ models shaped like an exporter's output, for the benchmarks.
#ifndef SGSPLIT_BENCH_MODEL_H_
#define SGSPLIT_BENCH_MODEL_H_

#include <cstdint>
#include <cstdio>

namespace sgsplit::bench {

// Writes a header, then parts, each with its own group, object and material
// lines, blocks of vertices, texture coordinates and normals, and faces in
// smoothing groups, with blank lines between the blocks. The model ends with
// the first whole line at or past `size` bytes; with `crlf` every line ends
// in CR LF, otherwise in LF. The same arguments always give the same bytes.
// False when writing failed.
bool WriteModel(std::FILE* out, std::uint64_t size, std::uint32_t seed, bool crlf);

}  // namespace sgsplit::bench

#endif  // SGSPLIT_BENCH_MODEL_H_
