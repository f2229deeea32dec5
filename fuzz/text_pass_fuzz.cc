// Arbitrary bytes as a model file, through the reader, the line rules and the
// writer on real files, compared with a whole-buffer rewrite made here from
// the byte and line rules alone.
//
// The first input byte steers the run, the rest is the file:
//   bit 7 clear: the line limit is bits 0..4 (0 to 31 characters);
//   bit 5: the reader gets no full read block and falls back to its small one;
//   bit 6: the writer gets no staging buffer and writes unstaged.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/line_rules.h"
#include "app/narrow_path.h"
#include "platform/platform.h"
#include "platform/posix_file_names.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

// No byte but 0x1A follows the mark that ended the input, or there is none.
inline constexpr std::uint64_t kNoOtherBytes = UINT64_MAX;

// What the separation of `file` must write, whether it reads in full, and
// where the mark that ends the input stands when other bytes follow it, so
// that the model must not be rewritten.
struct Expected {
  std::string output;
  bool complete = true;
  std::uint64_t other_bytes_after_mark_at = kNoOtherBytes;
};

Expected Reference(std::string_view file, std::size_t limit) {
  Expected expected;
  // Input ends at the first 0x1A; the model may be rewritten only when
  // nothing but more of them follow it.
  const std::size_t stop = file.find('\x1A');
  if (stop != std::string_view::npos) {
    if (file.find_first_not_of('\x1A', stop) != std::string_view::npos)
      expected.other_bytes_after_mark_at = stop;
    file = file.substr(0, stop);
  }
  // A CR that an LF follows is dropped; every other byte stays.
  std::string text;
  for (std::size_t i = 0; i < file.size(); ++i)
    if (!(file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n')) text += file[i];

  std::uint32_t number = 1;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.size() > limit) {
      expected.complete = false;
      break;
    }
    if (line.empty() || line[0] == 'g' || line[0] == 'o') continue;
    if (line[0] == 's') {
      const std::string n = std::to_string(number++);
      for (const char* word : {"g object", "o object", "usemtl object"})
        expected.output.append(word).append(n).append("\r\n");
    }
    expected.output.append(line).append("\r\n");
  }
  return expected;
}

// Refuses the buffers that the steering byte takes away.
class Refusing final : public PlatformWrapper {
 public:
  Refusing(Platform& target, bool no_block, bool no_staging)
      : PlatformWrapper(target), no_block_(no_block), no_staging_(no_staging) {}
  std::unique_ptr<std::byte[]> Allocate(std::size_t size) override {
    if (no_block_ && size == TextLineReader::kBlockSize) return nullptr;
    if (no_staging_ && size == std::size_t{2} * TextLineWriter::kStagingSize) return nullptr;
    return PlatformWrapper::Allocate(size);
  }

 private:
  bool no_block_;
  bool no_staging_;
};

// A private folder for the two files, made once per process.
const std::string& Folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string name =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/sgsplit-fuzz-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) std::abort();
    return name;
  }();
  return folder;
}

void WriteFile(const std::string& name, std::string_view bytes) {
  std::FILE* out = std::fopen(name.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
    std::abort();
  if (std::fclose(out) != 0) std::abort();
}

std::string ReadFile(const std::string& name) {
  std::FILE* in = std::fopen(name.c_str(), "rb");
  if (in == nullptr) std::abort();
  std::string bytes;
  char buffer[8192];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) != 0;) bytes.append(buffer, n);
  std::fclose(in);
  return bytes;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// Runs the read loop and looks past the mark as the pass does.
Expected Rewrite(Platform& platform, const std::u16string& input_path,
                 const std::u16string& output_path, std::size_t limit) {
  TextLineReader reader(platform, NarrowPath(platform, input_path.c_str(), kUtf8CodePage).Name(),
                        limit);
  TextLineWriter writer(platform, NarrowPath(platform, output_path.c_str(), kUtf8CodePage).Name());
  Check(reader.good() && writer.good(), "opening");
  CopyLines(reader, writer);
  Expected outcome;
  if (reader.eof() && reader.OtherBytesAfterEndMark())
    outcome.other_bytes_after_mark_at = reader.end_mark_offset();
  outcome.complete = reader.eof() && !reader.bad();
  reader.Close();
  writer.Close();
  Check(!reader.bad() && !writer.bad() && !writer.fail(), "conditions after closing");
  return outcome;
}

}  // namespace
}  // namespace sgsplit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sgsplit;
  if (size == 0) return 0;
  const std::uint8_t steer = data[0];
  const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t limit = (steer & 0x80) != 0 ? kMaxLineLength : steer & 0x1F;

  static const std::unique_ptr<Platform> system = NewSystemPlatform();
  Refusing platform(*system, (steer & 0x20) != 0, (steer & 0x40) != 0);
  const std::string input_name = Folder() + "/in.obj";
  const std::string output_name = Folder() + "/out.obj";
  WriteFile(input_name, file);

  const std::u16string input_path = WidenFileName(input_name);
  const std::u16string output_path = WidenFileName(output_name);
  const Expected expected = Reference(file, limit);
  const Expected outcome = Rewrite(platform, input_path, output_path, limit);
  Check(outcome.complete == expected.complete, "whether the input was read in full");
  if (outcome.complete) {
    Check(outcome.other_bytes_after_mark_at == expected.other_bytes_after_mark_at,
          "other bytes after the mark that ended the input");
  }
  Check(ReadFile(output_name) == expected.output, "output bytes");
  return 0;
}
