// What the separation writes for each line of a model.
#ifndef SGSPLIT_APP_LINE_RULES_H_
#define SGSPLIT_APP_LINE_RULES_H_

#include <cstdint>

#include "textio/line.h"
#include "textio/text_line_writer.h"
#include "textio/vectors.h"

namespace sgsplit {

// Writes the numbered group, object and material lines that open object
// `object_number`.
void WriteObjectStart(std::uint32_t object_number, TextLineWriter& writer);

// Drops empty lines and the model's own group ("g") and object ("o") lines;
// writes a numbered group, object and material line before every smoothing
// group ("s") line and raises `object_number`; passes every other line
// through. Only the first character is looked at, exactly as it stands.
//
// It runs for every line of the model, so it lives here and is always
// inlined into the loop that reads the lines: left to itself, the compiler
// keeps one copy and calls it, which costs a tenth of the pass. `Vectors`
// are the loops that line takes to the writer (textio/vectors.h).
template <class Vectors = BaselineVectors>
[[gnu::always_inline]] inline void ApplyLineRules(const Line& line, std::uint32_t& object_number,
                                                  TextLineWriter& writer) {
  if (line.empty()) return;
  // Every letter the rules act on lies between "g" and "s", and most lines
  // (vertices, faces) start outside that span: one comparison passes them.
  if (const char16_t first = line.front(); static_cast<char16_t>(first - u'g') <= u's' - u'g') {
    switch (first) {
      case u'g':
      case u'o':
        return;
      case u's':
        WriteObjectStart(object_number, writer);
        ++object_number;
        break;
      default:
        break;
    }
  }
  writer.WriteLine<Vectors>(line);
}

}  // namespace sgsplit

#endif  // SGSPLIT_APP_LINE_RULES_H_
