// File names as arbitrary bytes: widened to UTF-16 and narrowed again they
// must come back byte for byte. And arbitrary UTF-16 narrows unless, and only
// unless, it holds a surrogate that no byte sequence widens to.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/posix_file_names.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// True when `text` holds a surrogate that is neither half of a pair nor one
// of the escapes U+DC80..U+DCFF that stand for a single byte.
bool HasUnnarrowableSurrogate(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    const bool escape = c >= 0xDC80 && c <= 0xDCFF;
    if (c >= 0xD800 && c <= 0xDFFF && !escape) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Bytes, there and back.
  const std::u16string wide = sgsplit::WidenFileName(bytes);
  Check(wide.size() <= bytes.size(), "widening never takes more units than bytes");
  std::string back;
  Check(sgsplit::NarrowFileName(wide, &back), "a widened name narrows");
  Check(back == bytes, "a widened name narrows to its own bytes");

  // The same data as UTF-16 units.
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  const std::ptrdiff_t needed = sgsplit::NarrowFileName(units, nullptr, 0);
  Check((needed < 0) == HasUnnarrowableSurrogate(units), "-1 exactly for unnarrowable surrogates");
  if (needed < 0) return 0;

  // Into a buffer of exactly the size asked for, and one byte short of it:
  // the count stays the same and nothing is written past the end.
  const auto n = static_cast<std::size_t>(needed);
  const auto exact = std::make_unique<char[]>(n + 1);
  Check(sgsplit::NarrowFileName(units, exact.get(), n) == needed, "the size asked for fits");
  if (n > 0) {
    const auto shorter = std::make_unique<char[]>(n - 1);
    Check(sgsplit::NarrowFileName(units, shorter.get(), n - 1) == needed, "a short buffer");
  }
  // What valid text narrows to widens back to the same text, unless the text
  // held escapes (their bytes may join into a valid sequence again).
  bool escapes = false;
  for (const char16_t c : units) escapes = escapes || (c >= 0xDC80 && c <= 0xDCFF);
  if (!escapes) {
    Check(sgsplit::WidenFileName(std::string_view(exact.get(), n)) == units,
          "narrowed text widens back");
  }
  return 0;
}
