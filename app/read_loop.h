// The pass's read loop: every line through the rules, with the vector loops
// of one set throughout.
#ifndef SGSPLIT_APP_READ_LOOP_H_
#define SGSPLIT_APP_READ_LOOP_H_

#include <cstdint>

#include "app/line_rules.h"
#include "textio/line.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {

// Reads every line and writes what the rules make of it, until the reader's
// fail or bad condition is set. Always inlined, so that code built for a
// wider vector set takes it in whole.
template <class Vectors>
[[gnu::always_inline]] inline void CopyLinesWith(TextLineReader& reader, TextLineWriter& writer) {
  std::uint32_t object_number = 1;
  Line line;
  for (;;) {
    reader.ReadLine<Vectors>(line);
    if (reader.fail() || reader.bad()) break;
    ApplyLineRules<Vectors>(line, object_number, writer);
  }
}

}  // namespace sgsplit

#endif  // SGSPLIT_APP_READ_LOOP_H_
