// Writes a seeded OBJ model shaped like an exporter's output (see model.h).
//
//   make_model SIZE SEED OUTPUT [crlf]
//
// SIZE is in bytes; the model ends with the first whole line at or past it.
// With "crlf" every line ends in CR LF instead of LF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/model.h"

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && std::strcmp(argv[4], "crlf") == 0)) {
    std::fprintf(stderr, "usage: make_model SIZE SEED OUTPUT [crlf]\n");
    return 64;
  }
  char* end = nullptr;
  const std::uint64_t size = std::strtoull(argv[1], &end, 10);
  if (*end != '\0') {
    std::fprintf(stderr, "make_model: bad size '%s'\n", argv[1]);
    return 64;
  }
  const auto seed = static_cast<std::uint32_t>(std::strtoul(argv[2], &end, 10));
  if (*end != '\0') {
    std::fprintf(stderr, "make_model: bad seed '%s'\n", argv[2]);
    return 64;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  const bool written = sgsplit::bench::WriteModel(out, size, seed, argc == 5);
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
