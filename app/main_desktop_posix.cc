// sgsplit on POSIX desktops: GTK's file dialog, then the pass. A failure is
// written to standard error, which the desktop session keeps in its log, and
// when the model was left alone or may be damaged it is also shown in an
// error message, since someone who started the program from a menu sees no
// exit code. Without a display, standard error is all there is.
#include <string>

#include "app/failure_message.h"
#include "app/quote_name.h"
#include "app/separation_pass.h"
#include "platform/file_dialog_gtk.h"

int main() {
  const auto system = sgsplit::NewSystemPlatform();
  sgsplit::GtkDialogPlatform platform(*system);
  const sgsplit::PassReport report = sgsplit::SeparationPass(platform);
  if (!report.failure.empty())
    sgsplit::WriteLogLine(sgsplit::FailureLine("sgsplit", report, sgsplit::ShowName));
  const sgsplit::FailureNotice notice = sgsplit::DesktopFailureNotice(report, sgsplit::ShowName);
  const int exit_code = sgsplit::ExitCode(report.outcome);
  if (!notice.headline.empty())
    sgsplit::ShowErrorMessage(notice.headline, notice.details, exit_code);
  return exit_code;
}
