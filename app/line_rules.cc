#include "app/line_rules.h"

namespace sgsplit {

void ApplyLineRules(const Line& line, ObjectNumber& object_number, TextLineWriter& writer) {
  if (line.empty() || line[0] == u'g' || line[0] == u'o') return;
  if (line[0] == u's') {
    for (const char16_t* word : {u"g object", u"o object", u"usemtl object"}) {
      writer.WriteText(word);
      writer.WriteNumber(object_number);
      writer.EndLine();
    }
    ++object_number;
  }
  writer.WriteText(line);
  writer.EndLine();
}

void CopyLines(TextLineReader& reader, TextLineWriter& writer) {
  ObjectNumber object_number = 1;
  Line line;
  for (;;) {
    reader.ReadLine(line);
    if (reader.fail() || reader.bad()) break;
    ApplyLineRules(line, object_number, writer);
  }
}

}  // namespace sgsplit
