#include "app/narrow_path.h"

#include <climits>

namespace sgsplit {

HRESULT HresultFromError(std::uint32_t code) {
  if (static_cast<std::int32_t>(code) > 0)
    return static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
  return static_cast<HRESULT>(code);
}

NarrowPath::NarrowPath(Platform& platform, const char16_t* path, std::uint32_t code_page)
    : wide_(path), code_page_(code_page) {
  std::size_t length = 0;
  while (path[length] != u'\0') ++length;
  if (length >= INT_MAX) throw CAtlException(HresultFromError(8));  // not enough memory
  const int units = static_cast<int>(length) + 1;  // the terminator is converted too

  // A UTF-16 unit can take up to three bytes in UTF-8 (and four per pair), so
  // the size is asked for rather than guessed from the length.
  const int needed = platform.WideToNarrow(code_page, path, units, nullptr, 0);
  if (needed == 0) throw CAtlException(HresultFromError(platform.LastError()));

  char* out = inline_;
  if (static_cast<std::size_t>(needed) > kInlineSize) {
    heap_ = platform.Allocate(static_cast<std::size_t>(needed));
    if (!heap_) throw CAtlException(kEOutOfMemory);
    out = reinterpret_cast<char*>(heap_.get());
  }
  if (platform.WideToNarrow(code_page, path, units, out, needed) == 0)
    throw CAtlException(HresultFromError(platform.LastError()));
  text_ = out;
}

}  // namespace sgsplit
