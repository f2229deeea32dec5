#include "app/batch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "app/separation_pass.h"

#ifndef SGSPLIT_VERSION
#define SGSPLIT_VERSION "unknown"
#endif

namespace sgsplit {
namespace {

constexpr char kUsage[] =
    "Usage: sgsplit-batch FILE...\n"
    "Rewrites each OBJ file in place so that every smoothing group becomes an\n"
    "object of its own, exactly as the desktop program does.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "  --         treat every later argument as a file name\n"
    "\n"
    "Exit status: 0 when every file was rewritten, 1 when a file was left\n"
    "untouched because it could not be read or rewritten, 2 when a rewritten\n"
    "file could not be put in place, 64 for a usage error.\n";

// Writes the help or the version to `out`. When it does not all get there
// (a full disk, a closed pipe), says so on `err` and answers 1, so that a
// script does not take the run for a success.
int Print(const char* text, std::FILE* out, std::FILE* err) {
  errno = 0;
  if (std::fputs(text, out) >= 0 && std::fflush(out) == 0) return 0;
  const int error = errno;
  std::fprintf(err, "sgsplit-batch: cannot write to standard output%s%s\n", error != 0 ? ": " : "",
               error != 0 ? std::strerror(error) : "");
  return 1;
}

int Rewrite(Platform& platform, const BatchArgument& file, DisplayPath display, std::FILE* err) {
  if (file.path.empty()) {
    std::fprintf(err, "sgsplit-batch: empty file name\n");
    return 1;
  }
  // The argument answers the file choice. The platform is used as it is,
  // with no wrapper, so the pass's file calls reach it directly.
  PassOptions options;
  options.chosen_path = &file.path;
  const PassReport report = SeparationPass(platform, options);
  if (!report.failure.empty()) {
    try {
      std::fprintf(err, "%s\n", FailureLine("sgsplit-batch", report, display).c_str());
    } catch (const std::bad_alloc&) {
      // Memory ran out before the pass could set some aside for the names.
      std::fprintf(err, "sgsplit-batch: %s\n", report.failure.c_str());
    }
  }
  return ExitCode(report.outcome);
}

}  // namespace

int RunBatch(Platform& platform, const std::vector<BatchArgument>& arguments, DisplayPath display,
             std::FILE* out, std::FILE* err) {
  std::vector<const BatchArgument*> files;
  bool options_done = false;
  for (const BatchArgument& argument : arguments) {
    const std::string_view text = argument.text;
    if (!options_done && text.size() > 1 && text[0] == '-') {
      if (text == "--") {
        options_done = true;
      } else if (text == "--help" || text == "-h") {
        return Print(kUsage, out, err);
      } else if (text == "--version") {
        return Print("sgsplit-batch " SGSPLIT_VERSION "\n", out, err);
      } else {
        // A word that needs quoting comes quoted already.
        const std::string shown = display(argument.path);
        if (shown == argument.text)
          std::fprintf(err, "sgsplit-batch: unknown option '%s'\n", shown.c_str());
        else
          std::fprintf(err, "sgsplit-batch: unknown option %s\n", shown.c_str());
        std::fputs("Try 'sgsplit-batch --help' for more information.\n", err);
        return kExitUsage;
      }
      continue;
    }
    files.push_back(&argument);
  }
  if (files.empty()) {
    std::fputs(kUsage, err);
    return kExitUsage;
  }

  int status = 0;
  for (const BatchArgument* file : files) {
    status = std::max(status, Rewrite(platform, *file, display, err));
    std::fflush(err);  // each file's line as it is done, where `err` is buffered
  }
  return status;
}

}  // namespace sgsplit
