// The quoting is the one a POSIX shell reads back as the same name: runs of
// ordinary characters stand in single quotes, everything else in $'...' with
// C escapes, and the pieces are simply put side by side:
//
//   a line feed in "abc<LF>def"     'abc'$'\n''def'
//   an escape character             $'\033''[31m'
//   the invalid byte 0xFF (POSIX)   'mod'$'\377''le.obj'
//   a lone surrogate (Windows)      'a'$'\uD800''.obj'
//   a quote in a quoted name        'it'\''s'$'\t'
//
// \a \b \t \n \v \f \r name those characters, and \ooo (three octal digits)
// the other ASCII control characters and DEL. Anything else that needs it is
// escaped in the name's own units: a POSIX name is bytes, so each of its bytes
// is \ooo, which is also how a byte that is not valid UTF-8 is shown; a
// Windows name is UTF-16, so each unit is \uHHHH (four hex digits), a lone
// surrogate included. What needs escaping: the ASCII control characters and
// DEL, the C1 control characters U+0080..U+009F, the line and paragraph
// separators U+2028 and U+2029, the marks and overrides that set the
// direction of the text after them (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069: "x<U+202E>jbo.exe" would show as "xexe.obj", and turn
// the rest of the line round), and whatever is not a character (an invalid
// byte, a lone surrogate). A name with none of these is shown unquoted, as
// the user knows it, whatever else it holds.
#include "app/quote_name.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace sgsplit {
namespace {

// One character of the name: shown as it is (UTF-8), or as an escape.
struct Piece {
  std::string text;
  bool escaped = false;
};

void AppendUtf8(std::uint32_t c, std::string* out) {
  auto put = [out](std::uint32_t byte) { out->push_back(static_cast<char>(byte)); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | c >> 6);
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | c >> 12);
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | c >> 18);
    put(0x80 | (c >> 12 & 0x3F));
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

std::string Octal(std::uint32_t byte) {
  return {'\\', static_cast<char>('0' + (byte >> 6 & 7)), static_cast<char>('0' + (byte >> 3 & 7)),
          static_cast<char>('0' + (byte & 7))};
}

std::string Unit(std::uint32_t unit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {'\\',
          'u',
          kHex[unit >> 12 & 0xF],
          kHex[unit >> 8 & 0xF],
          kHex[unit >> 4 & 0xF],
          kHex[unit & 0xF]};
}

// The escape for an ASCII control character.
std::string Control(std::uint32_t c) {
  switch (c) {
    case '\a':
      return "\\a";
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\v':
      return "\\v";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      return Octal(c);
  }
}

// The characters that set the direction of the text around them (Unicode's
// Bidi_Control): shown as they are, they reorder what the message shows.
bool IsDirectionControl(std::uint32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

bool IsHighSurrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::vector<Piece> Split(std::u16string_view name, NameUnits units) {
  std::vector<Piece> pieces;
  pieces.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const std::uint32_t c = name[i];
    Piece piece;
    if (c < 0x20 || c == 0x7F) {
      piece = {Control(c), true};
    } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || IsDirectionControl(c)) {
      if (units == NameUnits::kUtf16) {
        piece = {Unit(c), true};
      } else {
        std::string bytes;
        AppendUtf8(c, &bytes);
        piece.escaped = true;
        for (const char byte : bytes) piece.text += Octal(static_cast<unsigned char>(byte));
      }
    } else if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      AppendUtf8(0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00u), &piece.text);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      const bool byte = units == NameUnits::kBytes && c >= 0xDC80 && c <= 0xDCFF;
      piece = {byte ? Octal(c - 0xDC00) : Unit(c), true};
    } else {
      AppendUtf8(c, &piece.text);
    }
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

}  // namespace

std::string QuoteName(std::u16string_view name, NameUnits units) {
  const std::vector<Piece> pieces = Split(name, units);
  std::string text;
  bool any_escaped = false;
  for (const Piece& piece : pieces) any_escaped = any_escaped || piece.escaped;
  if (!any_escaped) {
    for (const Piece& piece : pieces) text += piece.text;
    return text;
  }

  enum class Open { kNone, kPlain, kEscapes } open = Open::kNone;
  auto close = [&] {
    if (open != Open::kNone) text += '\'';
    open = Open::kNone;
  };
  for (const Piece& piece : pieces) {
    if (piece.escaped) {
      if (open != Open::kEscapes) {
        close();
        text += "$'";
        open = Open::kEscapes;
      }
    } else if (piece.text == "'") {
      close();
      text += "\\'";
      continue;
    } else if (open != Open::kPlain) {
      close();
      text += '\'';
      open = Open::kPlain;
    }
    text += piece.text;
  }
  close();
  return text;
}

std::string ShowName(const std::u16string& name) {
#ifdef _WIN32
  return QuoteName(name, NameUnits::kUtf16);
#else
  return QuoteName(name, NameUnits::kBytes);
#endif
}

}  // namespace sgsplit
