// What the separation writes for each line of a model.
#ifndef SGSPLIT_APP_LINE_RULES_H_
#define SGSPLIT_APP_LINE_RULES_H_

#include <cstdint>

#include "textio/line.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {

// Counts the objects; wide enough that no model can make it start again.
using ObjectNumber = std::uint64_t;

// Drops empty lines and the model's own group ("g") and object ("o") lines;
// writes a numbered group, object and material line before every smoothing
// group ("s") line and raises `object_number`; passes every other line
// through. Only the first character is looked at, exactly as it stands.
void ApplyLineRules(const Line& line, ObjectNumber& object_number, TextLineWriter& writer);

// Reads every line and writes what the rules make of it, numbering the
// objects from 1, until the reader's fail or bad condition is set.
void CopyLines(TextLineReader& reader, TextLineWriter& writer);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_LINE_RULES_H_
