// What the front ends say when a run fails, in one place so that the desktop
// programs and sgsplit-batch use the same words.
#ifndef SGSPLIT_APP_FAILURE_MESSAGE_H_
#define SGSPLIT_APP_FAILURE_MESSAGE_H_

#include <string>

#include "app/separation_pass.h"

namespace sgsplit {

// Turns a UTF-16 path into UTF-8 text for messages (ShowName, or a test's own).
using DisplayPath = std::string (*)(const std::u16string& path);

// The reason a run failed, and the temporary file when one is left, as one
// line to follow the model's name: "cannot replace the file: ...; the
// rewritten model is in /tmp/obj1234.tmp". Empty when there is nothing to say.
std::string FailureText(const PassReport& report, DisplayPath display);

// "PROGRAM: MODEL: FailureText", or "PROGRAM: FailureText" when no model was
// chosen; one line without its line end.
std::string FailureLine(const char* program, const PassReport& report, DisplayPath display);

// The desktop programs' error message: what became of the model, in plain
// words, and the details. Both empty when the run needs no message: the
// model was rewritten and nothing was left behind, or none was chosen.
struct FailureNotice {
  std::string headline;  // e.g. "The model was not changed."
  std::string details;   // the model, the reason, the temporary file
  // The whole text, for a message window with one text.
  std::string Text() const;
};
FailureNotice DesktopFailureNotice(const PassReport& report, DisplayPath display);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_FAILURE_MESSAGE_H_
