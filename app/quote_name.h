// File names as messages show them. A name is shown as it is unless it holds
// something that would break the message's line, reach the terminal as a
// command or turn round how the message reads: a control character, a mark
// that sets the text's direction, or a byte that is not valid UTF-8. Such a name
// is shown quoted as a shell would take it back, and the result is always one
// line of valid UTF-8.
#ifndef SGSPLIT_APP_QUOTE_NAME_H_
#define SGSPLIT_APP_QUOTE_NAME_H_

#include <string>
#include <string_view>

namespace sgsplit {

// What a name is made of, which decides how an escaped character is written
// and what a UTF-16 unit without its partner surrogate stands for.
enum class NameUnits {
  kBytes,  // POSIX: U+DC80..U+DCFF carry a byte that is not valid UTF-8
  kUtf16,  // Windows: a name may hold any 16-bit unit
};

// The name, as UTF-8 text for a message. See quote_name.cc for the quoting.
std::string QuoteName(std::u16string_view name, NameUnits units);

// The name as this system's own file names are quoted.
std::string ShowName(const std::u16string& name);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_QUOTE_NAME_H_
