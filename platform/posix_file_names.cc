#include "platform/posix_file_names.h"

#include <cstdint>

namespace sgsplit {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;

// The length of the well-formed UTF-8 sequence at `s`, or 0.
std::size_t SequenceLength(const unsigned char* s, std::size_t available) {
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (available < length || s[1] < low || s[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return length;
}

}  // namespace

std::u16string WidenFileName(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t length = SequenceLength(s + i, bytes.size() - i);
    switch (length) {
      case 0:
        text.push_back(static_cast<char16_t>(kEscapeBase + s[i]));
        i += 1;
        continue;
      case 1:
        text.push_back(s[i]);
        break;
      case 2:
        text.push_back(static_cast<char16_t>((s[i] & 0x1F) << 6 | (s[i + 1] & 0x3F)));
        break;
      case 3:
        text.push_back(static_cast<char16_t>((s[i] & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 |
                                             (s[i + 2] & 0x3F)));
        break;
      default: {
        const std::uint32_t c = (s[i] & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 |
                                (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
        text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        break;
      }
    }
    i += length;
  }
  return text;
}

std::ptrdiff_t NarrowFileName(std::u16string_view text, char* out, std::size_t size) {
  std::size_t n = 0;
  auto put = [&](std::uint32_t byte) {
    if (n < size) out[n] = static_cast<char>(byte);
    ++n;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t c = text[i];
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | c >> 6);
      put(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      const std::uint32_t full = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
      put(0xF0 | full >> 18);
      put(0x80 | (full >> 12 & 0x3F));
      put(0x80 | (full >> 6 & 0x3F));
      put(0x80 | (full & 0x3F));
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      put(c - kEscapeBase);  // an escaped byte goes back as itself
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return -1;
    } else {
      put(0xE0 | c >> 12);
      put(0x80 | (c >> 6 & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::ptrdiff_t>(n);
}

bool NarrowFileName(std::u16string_view text, std::string* bytes) {
  const std::ptrdiff_t n = NarrowFileName(text, nullptr, 0);
  if (n < 0) return false;
  bytes->resize(static_cast<std::size_t>(n));
  NarrowFileName(text, bytes->data(), bytes->size());
  return true;
}

}  // namespace sgsplit
