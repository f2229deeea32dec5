// GTK's native file chooser, for the desktop program on POSIX systems.
#ifndef SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_
#define SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_

#include "platform/platform.h"

namespace sgsplit {

// Answers ChooseFile with GtkFileChooserNative, which goes through the
// desktop portal where one runs. Fails when no display can be opened.
class GtkDialogPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  ChooseResult ChooseFile(std::u16string* path) override;
};

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_FILE_DIALOG_GTK_H_
