// sgsplit on POSIX desktops: GTK's file dialog, then the pass. A failure is
// written to standard error, which the desktop session keeps in its log.
#include <cstdio>
#include <string>

#include "app/separation_pass.h"
#include "platform/file_dialog_gtk.h"
#include "platform/posix_file_names.h"

int main() {
  const auto system = sgsplit::NewSystemPlatform();
  sgsplit::GtkDialogPlatform platform(*system);
  const sgsplit::PassReport report = sgsplit::SeparationPass(platform);
  if (!report.failure.empty()) {
    std::string name;
    sgsplit::NarrowFileName(report.chosen_path, &name);
    std::fprintf(stderr, "sgsplit: %s%s%s\n", name.c_str(), name.empty() ? "" : ": ",
                 report.failure.c_str());
  }
  return sgsplit::ExitCode(report.outcome);
}
