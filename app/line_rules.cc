#include "app/line_rules.h"

#include <string_view>

namespace sgsplit {
namespace {

void WriteNumberedLine(TextLineWriter& writer, std::u16string_view word, std::uint32_t number) {
  writer.WriteText(word);
  writer.WriteNumber(number);
  writer.EndLine();
}

}  // namespace

void WriteObjectStart(std::uint32_t object_number, TextLineWriter& writer) {
  WriteNumberedLine(writer, u"g object", object_number);
  WriteNumberedLine(writer, u"o object", object_number);
  WriteNumberedLine(writer, u"usemtl object", object_number);
}

}  // namespace sgsplit
