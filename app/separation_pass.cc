#include "app/separation_pass.h"

#include <cstdint>
#include <cstdio>

#include "app/conversion_code_page.h"
#include "app/line_rules.h"
#include "app/narrow_path.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

// Removes the temporary file when the pass leaves without handing it on,
// whether by return or by exception.
class TemporaryFileGuard {
 public:
  TemporaryFileGuard(Platform& platform, const std::u16string& path)
      : platform_(platform), path_(path) {}
  ~TemporaryFileGuard() {
    if (armed_) platform_.RemoveFile(path_);
  }
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

  // Removes the file now; false when it could not be removed.
  bool Remove() {
    armed_ = false;
    return platform_.RemoveFile(path_);
  }
  void Keep() { armed_ = false; }

 private:
  Platform& platform_;
  const std::u16string& path_;
  bool armed_ = true;
};

std::string Reason(Platform& platform, const char* what, std::uint32_t error) {
  std::string text = what;
  if (error != 0) {
    text += ": ";
    text += platform.ErrorText(error);
  }
  return text;
}

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace

int ExitCode(PassOutcome outcome) {
  switch (outcome) {
    case PassOutcome::kCompleted:
    case PassOutcome::kCancelled:
      return 0;
    case PassOutcome::kNotStarted:
    case PassOutcome::kIncomplete:
      return 1;
    case PassOutcome::kNotReplaced:
    case PassOutcome::kReplaceFailed:
      return 2;
  }
  return 1;
}

PassReport SeparationPass(Platform& platform, const PassOptions& options) {
  PassReport report;
  auto fail = [&](PassOutcome outcome, std::string failure) {
    report.outcome = outcome;
    report.failure = std::move(failure);
    return report;
  };

  switch (platform.ChooseFile(&report.chosen_path)) {
    case ChooseResult::kCancelled:
      return report;
    case ChooseResult::kFailed:
      return fail(PassOutcome::kNotStarted, "no file dialog could be shown");
    case ChooseResult::kChosen:
      break;
  }
  if (report.chosen_path.empty()) return report;
  if (report.chosen_path.size() > kMaxChosenPathLength)
    return fail(PassOutcome::kNotStarted, "the path is longer than 1023 characters");

  std::u16string temp_folder;
  if (!platform.GetTempFolder(&temp_folder))
    return fail(PassOutcome::kNotStarted,
                Reason(platform, "no temporary folder", platform.LastError()));
  if (!platform.CreateTempFile(temp_folder, &report.temp_path))
    return fail(PassOutcome::kNotStarted,
                Reason(platform, "cannot create a temporary file", platform.LastError()));
  TemporaryFileGuard temp_file(platform, report.temp_path);

  // Each narrowed name lives only until its file is open.
  TextLineReader reader(
      platform, NarrowPath(platform, report.chosen_path.c_str(), ConversionCodePage(platform)),
      options.line_limit);
  if (reader.fail())
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot open for reading", reader.error()));

  TextLineWriter writer(
      platform, NarrowPath(platform, report.temp_path.c_str(), ConversionCodePage(platform)));
  if (writer.fail())
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot open the temporary file", writer.error()));

  std::uint32_t object_number = 1;
  Line line;
  for (;;) {
    reader.ReadLine(line);
    if (reader.fail() || reader.bad()) break;
    ApplyLineRules(line, object_number, writer);
  }
  const bool input_complete = reader.eof() && !reader.bad();
  const bool line_too_long = !reader.eof() && !reader.bad();
  reader.Close();
  writer.Close();

  if (!input_complete) {
    if (line_too_long) return fail(PassOutcome::kIncomplete, "a line is too long");
    if (reader.error() == 0) return fail(PassOutcome::kIncomplete, "out of memory");
    return fail(PassOutcome::kIncomplete, Reason(platform, "read failed", reader.error()));
  }
  if (!writer.good())
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot write the temporary file", writer.error()));

  switch (platform.CopyOver(report.temp_path, report.chosen_path)) {
    case ReplaceResult::kReplaced:
      break;
    case ReplaceResult::kUntouched:
      return fail(PassOutcome::kNotReplaced,
                  Reason(platform, "cannot replace the file", platform.LastError()));
    case ReplaceResult::kMaybeDamaged:
      temp_file.Keep();
      report.temp_left = true;
      return fail(PassOutcome::kReplaceFailed,
                  Reason(platform, "cannot replace the file", platform.LastError()));
  }
  report.outcome = PassOutcome::kCompleted;
  if (!temp_file.Remove()) {
    report.temp_left = true;
    report.failure = Reason(platform, "cannot delete the temporary file", platform.LastError());
  }
  return report;
}

PassReport RunSeparationPass(Platform& platform, const PassOptions& options) {
  try {
    return SeparationPass(platform, options);
  } catch (const CAtlException& e) {
    PassReport report;
    report.outcome = PassOutcome::kIncomplete;
    report.failure = "cannot convert a file name (error " + HresultText(e.hresult()) + ")";
    return report;
  }
}

}  // namespace sgsplit
