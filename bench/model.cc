#include "bench/model.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <random>

namespace sgsplit::bench {
namespace {

class ModelWriter {
 public:
  ModelWriter(std::FILE* out, std::uint64_t size, std::uint32_t seed, bool crlf)
      : out_(out), size_(size), random_(seed), eol_(crlf ? "\r\n" : "\n") {}

  bool Full() const { return written_ >= size_; }

  // Past the size every line is left out, so the model ends where it should.
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (Full()) return;
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fwrite(text, 1, static_cast<std::size_t>(n), out_);
    std::fputs(eol_, out_);
    written_ += static_cast<std::uint64_t>(n) + std::strlen(eol_);
  }

  void Header() {
    Line("# Exported model, %" PRIu64 " bytes", size_);
    Line("mtllib model.mtl");
    Line("%s", "");
  }

  void Part() {
    ++part_;
    const std::uint32_t vertices = Uniform(24, 400);
    Line("o Part.%03u", part_);
    Line("g Part.%03u", part_);
    for (std::uint32_t i = 0; i < vertices; ++i)
      Line("v %.6f %.6f %.6f", Coordinate(), Coordinate(), Coordinate());
    for (std::uint32_t i = 0; i < vertices; ++i) Line("vt %.6f %.6f", Unit(), Unit());
    for (std::uint32_t i = 0; i < vertices; ++i)
      Line("vn %.4f %.4f %.4f", Unit() * 2 - 1, Unit() * 2 - 1, Unit() * 2 - 1);
    Line("%s", "");
    Line("usemtl Material.%03u", Uniform(1, 12));
    const std::uint32_t groups = Uniform(1, 4);
    for (std::uint32_t g = 0; g < groups && !Full(); ++g) {
      if (Uniform(0, 3) == 0)
        Line("s off");
      else
        Line("s %u", ++smoothing_);
      const std::uint32_t faces = Uniform(vertices / 2, vertices * 2) / groups;
      for (std::uint32_t f = 0; f < faces; ++f) {
        const bool quad = Uniform(0, 2) == 0;
        const std::uint64_t a = Index(vertices), b = Index(vertices), c = Index(vertices);
        if (quad) {
          const std::uint64_t d = Index(vertices);
          Line("f %" PRIu64 "/%" PRIu64 "/%" PRIu64 " %" PRIu64 "/%" PRIu64 "/%" PRIu64 " %" PRIu64
               "/%" PRIu64 "/%" PRIu64 " %" PRIu64 "/%" PRIu64 "/%" PRIu64,
               a, a, a, b, b, b, c, c, c, d, d, d);
        } else {
          Line("f %" PRIu64 "/%" PRIu64 "/%" PRIu64 " %" PRIu64 "/%" PRIu64 "/%" PRIu64 " %" PRIu64
               "/%" PRIu64 "/%" PRIu64,
               a, a, a, b, b, b, c, c, c);
        }
      }
    }
    Line("%s", "");
    base_ += vertices;
  }

 private:
  // Drawn straight from the engine's output, whose sequence the standard
  // fixes, so that every standard library makes the same model.
  std::uint32_t Uniform(std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(random_() % (std::uint64_t{high} - low + 1));
  }
  double Unit() { return static_cast<double>(random_()) / 4294967296.0; }
  double Coordinate() { return Unit() * 100 - 50; }
  // A 1-based index into this part's vertices.
  std::uint64_t Index(std::uint32_t vertices) { return base_ + Uniform(1, vertices); }

  std::FILE* out_;
  std::uint64_t size_;
  std::mt19937 random_;
  const char* eol_;
  std::uint64_t written_ = 0;
  std::uint64_t base_ = 0;
  std::uint32_t part_ = 0;
  std::uint32_t smoothing_ = 0;
};

}  // namespace

bool WriteModel(std::FILE* out, std::uint64_t size, std::uint32_t seed, bool crlf) {
  ModelWriter model(out, size, seed, crlf);
  model.Header();
  while (!model.Full()) model.Part();
  return std::ferror(out) == 0;
}

}  // namespace sgsplit::bench
