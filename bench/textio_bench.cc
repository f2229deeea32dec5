// Micro-benchmarks of the byte path: TextLineReader in lines per second,
// TextLineWriter in bytes per second, and the line rules over a writer, all
// on real files in a scratch folder and on a generated model.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/line_rules.h"
#include "app/narrow_path.h"
#include "bench/model.h"
#include "platform/platform.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit::bench {
namespace {

constexpr std::uint64_t kModelSize = 8'000'000;

// A scratch folder with one generated model in it, made once for the run.
class Scratch {
 public:
  Scratch() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sgsplit-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
    folder_ = pattern;
    model_ = folder_ / "model.obj";
    output_ = folder_ / "out.obj";
    std::FILE* out = std::fopen(model_.c_str(), "wb");
    if (out == nullptr || !WriteModel(out, kModelSize, 1, false) || std::fclose(out) != 0)
      throw std::runtime_error("cannot write the model");
    model_path_ = Wide(model_);
    output_path_ = Wide(output_);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::u16string& model() const { return model_path_; }
  const std::u16string& output() const { return output_path_; }
  std::uint64_t model_bytes() const { return std::filesystem::file_size(model_); }

 private:
  static std::u16string Wide(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::u16string(text.begin(), text.end());  // the scratch path is ASCII
  }

  std::filesystem::path folder_;
  std::filesystem::path model_;
  std::filesystem::path output_;
  std::u16string model_path_;
  std::u16string output_path_;
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

Platform& ThePlatform() {
  static const std::unique_ptr<Platform> platform = NewSystemPlatform();
  return *platform;
}

std::vector<Line> ModelLines() {
  Platform& platform = ThePlatform();
  TextLineReader reader(platform,
                        NarrowPath(platform, TheScratch().model().c_str(), kUtf8CodePage).Name());
  std::vector<Line> lines;
  Line line;
  for (;;) {
    reader.ReadLine(line);
    if (reader.fail() || reader.bad()) break;
    lines.push_back(line);
  }
  return lines;
}

void BM_TextLineReader(benchmark::State& state) {
  Platform& platform = ThePlatform();
  const Scratch& scratch = TheScratch();
  std::int64_t lines = 0;
  for (auto _ : state) {
    TextLineReader reader(platform,
                          NarrowPath(platform, scratch.model().c_str(), kUtf8CodePage).Name());
    Line line;
    for (;;) {
      reader.ReadLine(line);
      if (reader.fail() || reader.bad()) break;
      benchmark::DoNotOptimize(line.data());
      ++lines;
    }
  }
  state.counters["lines"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(scratch.model_bytes()));
}
BENCHMARK(BM_TextLineReader)->Unit(benchmark::kMillisecond);

void BM_TextLineWriter(benchmark::State& state) {
  Platform& platform = ThePlatform();
  const Scratch& scratch = TheScratch();
  const std::vector<Line> lines = ModelLines();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    TextLineWriter writer(platform,
                          NarrowPath(platform, scratch.output().c_str(), kUtf8CodePage).Name());
    for (const Line& line : lines) {
      writer.WriteText(line);
      writer.EndLine();
      bytes += static_cast<std::int64_t>(line.size()) + 2;
    }
    writer.Close();
  }
  state.SetBytesProcessed(bytes);
  state.counters["lines"] = benchmark::Counter(
      static_cast<double>(state.iterations() * lines.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TextLineWriter)->Unit(benchmark::kMillisecond);

void BM_ApplyLineRules(benchmark::State& state) {
  Platform& platform = ThePlatform();
  const Scratch& scratch = TheScratch();
  const std::vector<Line> lines = ModelLines();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    TextLineWriter writer(platform,
                          NarrowPath(platform, scratch.output().c_str(), kUtf8CodePage).Name());
    ObjectNumber object_number = 1;
    for (const Line& line : lines) {
      ApplyLineRules(line, object_number, writer);
      bytes += static_cast<std::int64_t>(line.size()) + 1;
    }
    writer.Close();
  }
  state.SetBytesProcessed(bytes);
  state.counters["lines"] = benchmark::Counter(
      static_cast<double>(state.iterations() * lines.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ApplyLineRules)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sgsplit::bench
