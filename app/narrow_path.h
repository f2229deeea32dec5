// A UTF-16 path narrowed to 8-bit text for opening a file by name.
#ifndef SGSPLIT_APP_NARROW_PATH_H_
#define SGSPLIT_APP_NARROW_PATH_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace sgsplit {

using HRESULT = std::int32_t;

inline constexpr HRESULT kEOutOfMemory = static_cast<HRESULT>(0x8007000E);

// An error result of the narrowing, carrying its HRESULT.
class CAtlException {
 public:
  explicit CAtlException(HRESULT hr) : hr_(hr) {}
  HRESULT hresult() const { return hr_; }

 private:
  HRESULT hr_;
};

// The HRESULT for a system error code: codes above 0 become 0x8007xxxx with
// their low 16 bits, anything else stands unchanged.
HRESULT HresultFromError(std::uint32_t code);

// The narrowed, NUL-terminated text of a path. Short texts live inside the
// object; longer ones take exactly the heap block the conversion asks for.
// Throws CAtlException when the path cannot be narrowed.
class NarrowPath {
 public:
  static constexpr std::size_t kInlineSize = 128;

  // `path` must stay alive while the NarrowPath is used.
  NarrowPath(Platform& platform, const char16_t* path, std::uint32_t code_page);
  NarrowPath(const NarrowPath&) = delete;
  NarrowPath& operator=(const NarrowPath&) = delete;

  const char* c_str() const { return text_; }
  FileName Name() const { return FileName{text_, wide_, code_page_}; }
  bool OnHeap() const { return heap_ != nullptr; }

 private:
  char inline_[kInlineSize];
  std::unique_ptr<std::byte[]> heap_;
  const char* text_ = inline_;
  const char16_t* wide_;
  std::uint32_t code_page_;
};

}  // namespace sgsplit

#endif  // SGSPLIT_APP_NARROW_PATH_H_
