// GTK's native file chooser and error message, and the line for the
// session's log, for the desktop program on POSIX systems.
#ifndef SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_
#define SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_

#include <string>

#include "platform/platform.h"

namespace sgsplit {

// Answers ChooseFile with GtkFileChooserNative, which goes through the
// desktop portal where one runs. Fails when no display can be opened.
class GtkDialogPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  ChooseResult ChooseFile(std::u16string* path) override;
};

// Shows a modal error message titled "sgsplit", `headline` above `details`
// (both plain UTF-8 text), with one OK button, and returns once it is
// dismissed. False when no display can be opened. Should the X display go
// away meanwhile, the program ends at once with `exit_code_without_display`.
bool ShowErrorMessage(const std::string& headline, const std::string& details,
                      int exit_code_without_display);

// Writes `line` and a line end to standard error, which the desktop session
// keeps in its log, taking only the room there is at once: a log that nobody
// reads any more (a stuck session logger) would otherwise hold the program
// for ever, before its message is shown. What does not fit is dropped.
void WriteLogLine(const std::string& line);

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_
