// One run of the tool: choose a model, rewrite it through a temporary file,
// and put the result in the model's place.
#ifndef SGSPLIT_APP_SEPARATION_PASS_H_
#define SGSPLIT_APP_SEPARATION_PASS_H_

#include <cstddef>
#include <string>

#include "platform/platform.h"
#include "textio/line.h"

namespace sgsplit {

// The longest path the file choice may yield, in UTF-16 units.
inline constexpr std::size_t kMaxChosenPathLength = 1023;

enum class PassOutcome {
  kCompleted,      // the model was rewritten
  kCancelled,      // no file was chosen; nothing was touched
  kNotStarted,     // no dialog, temporary folder or temporary file; nothing was touched
  kIncomplete,     // the model could not be read or the result written in full; model untouched
  kNotReplaced,    // the result could not be put in place; model untouched
  kReplaceFailed,  // the replacement failed part way; the result is kept in `temp_path`
  // The result went into the model, but another program then put another
  // file under its name, or removed it; the result is kept in `temp_path`.
  kReplacedMeanwhile,
};

struct PassReport {
  PassOutcome outcome = PassOutcome::kCancelled;
  std::u16string chosen_path;
  std::u16string temp_path;
  std::string failure;     // what went wrong, for a front end that shows it
  bool temp_left = false;  // the temporary file is still on disk
  // The temporary folder, when no temporary file could be made, opened or
  // written in it: the system's reason alone does not say where it looked.
  std::u16string temp_folder;
  // The model's old content, where the result took its place but the old
  // content, moved beside it, could not be removed.
  std::u16string old_model_left;
};

// 0 when the model was rewritten or none was chosen, 1 when the model was
// left untouched by a failure, 2 when putting the result in place failed or
// was undone by another program.
int ExitCode(PassOutcome outcome);

struct PassOptions {
  std::size_t line_limit = kMaxLineLength;
  // The model to rewrite, in place of the platform's file choice; for a front
  // end that is given its files. Not owned; null asks the platform.
  const std::u16string* chosen_path = nullptr;
};

// Runs the pass. A file name that cannot be narrowed, or memory that runs
// out before the result is put in place ("out of memory"), ends it as an
// incomplete run; the temporary file is removed on the way out. Memory that
// runs out after that leaves the replacement's outcome as it was.
PassReport SeparationPass(Platform& platform, const PassOptions& options = {});

}  // namespace sgsplit

#endif  // SGSPLIT_APP_SEPARATION_PASS_H_
