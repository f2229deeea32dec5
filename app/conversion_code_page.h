// The code page that file names are narrowed to.
#ifndef SGSPLIT_APP_CONVERSION_CODE_PAGE_H_
#define SGSPLIT_APP_CONVERSION_CODE_PAGE_H_

#include <cstdint>

#include "platform/platform.h"

namespace sgsplit {

// How the code page is found; decided once per process.
enum class CodePageMode : std::uint32_t { kUndecided = 0, kThreadCodePage = 1, kLookedUp = 2 };

// The mode the system calls for: the thread's code page on NT 5 and later,
// the locale's looked-up code page elsewhere.
CodePageMode DecideCodePageMode(Platform& platform);

// The code page a request answers in `mode`.
std::uint32_t AnswerCodePage(Platform& platform, CodePageMode mode);

// The process-wide selector: decides the mode on first use, by one atomic
// exchange, and answers by it from then on.
std::uint32_t ConversionCodePage(Platform& platform);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_CONVERSION_CODE_PAGE_H_
