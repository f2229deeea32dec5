#include "app/failure_message.h"

namespace sgsplit {
namespace {

// Whether the temporary file was kept as the one whole copy of the result.
bool ResultKept(PassOutcome outcome) {
  return outcome == PassOutcome::kReplaceFailed || outcome == PassOutcome::kReplacedMeanwhile;
}

}  // namespace

std::string FailureText(const PassReport& report, DisplayPath display) {
  std::string text = report.failure;
  // A temporary file left behind is named, and what it holds is said: the
  // rewritten model, or an unfinished result that could not be removed.
  if (ResultKept(report.outcome))
    text += "; the rewritten model is in " + display(report.temp_path);
  else if (report.temp_left)
    text += "; the temporary file " + display(report.temp_path) + " was left behind";
  if (!report.temp_folder.empty())
    text += "; the temporary folder is " + display(report.temp_folder);
  if (!report.old_model_left.empty())
    text += "; the old model is left in " + display(report.old_model_left);
  return text;
}

std::string FailureLine(const char* program, const PassReport& report, DisplayPath display) {
  std::string line = program;
  line += ": ";
  if (!report.chosen_path.empty()) line += display(report.chosen_path) + ": ";
  return line + FailureText(report, display);
}

std::string FailureNotice::Text() const {
  if (headline.empty()) return {};
  return headline + "\n\n" + details;
}

FailureNotice DesktopFailureNotice(const PassReport& report, DisplayPath display) {
  FailureNotice notice;
  const bool chosen = !report.chosen_path.empty();
  switch (report.outcome) {
    case PassOutcome::kCompleted:
      // Rewritten, but the temporary file, a copy of the model, is still on
      // the disk: the user hears of it as of any other failure.
      if (report.failure.empty()) return notice;
      notice.headline =
          report.old_model_left.empty()
              ? "The model was rewritten, but its temporary file could not be deleted."
              : "The model was rewritten, but its old content could not be deleted.";
      break;
    case PassOutcome::kCancelled:
      return notice;
    case PassOutcome::kNotStarted:
      notice.headline = chosen ? "sgsplit could not start. The model was not changed."
                               : "sgsplit could not start. No model was changed.";
      break;
    case PassOutcome::kIncomplete:
      notice.headline = "The model could not be rewritten. It was not changed.";
      break;
    case PassOutcome::kNotReplaced:
      // Speaks for sgsplit alone: the reason may be that another program
      // changed the model meanwhile.
      notice.headline =
          "The rewritten model could not be put in its place. sgsplit did not change the model.";
      break;
    case PassOutcome::kReplaceFailed:
      notice.headline =
          "The rewritten model could not be put in its place. The model may be damaged.";
      break;
    case PassOutcome::kReplacedMeanwhile:
      // What stands under the model's name is the other program's own, or
      // nothing: sgsplit did not damage it.
      notice.headline =
          "Another program replaced or removed the model while sgsplit was rewriting it. "
          "sgsplit did not change what that program left.";
      break;
  }
  if (chosen) notice.details = "Model: " + display(report.chosen_path) + "\n";
  notice.details += "Reason: " + report.failure;
  if (ResultKept(report.outcome))
    notice.details += "\nThe temporary file " + display(report.temp_path) +
                      " holds the complete rewritten model.";
  else if (report.temp_left)
    notice.details += "\nThe temporary file " + display(report.temp_path) + " was left behind.";
  if (!report.temp_folder.empty())
    notice.details += "\nThe temporary folder is " + display(report.temp_folder) + ".";
  if (!report.old_model_left.empty())
    notice.details += "\nThe old model is left in " + display(report.old_model_left) + ".";
  return notice;
}

}  // namespace sgsplit
