#include "app/separation_pass.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "app/conversion_code_page.h"
#include "app/line_rules.h"
#include "app/narrow_path.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

// More than a failure line and message with the longest paths take.
constexpr std::size_t kMessageRoom = std::size_t{16} * 1024;

// Holds the temporary file from its creation to the end of the pass and
// removes it when the pass leaves without handing it on, whether by return or
// by exception. A file that cannot be removed is noted in the report, which
// outlives the pass, so that nothing is left behind unexplained.
class TemporaryFileGuard {
 public:
  TemporaryFileGuard(Platform& platform, PassReport& report, FileHandle file)
      : platform_(platform), report_(report), file_(file) {}
  ~TemporaryFileGuard() {
    if (file_ != FileHandle::kInvalid) Remove();
  }
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

  // Removes the file now; false when it could not be removed.
  bool Remove() {
    const FileHandle file = std::exchange(file_, FileHandle::kInvalid);
    if (platform_.RemoveTempFile(report_.temp_path, file)) return true;
    report_.temp_left = true;
    return false;
  }
  void Keep() {
    platform_.Close(std::exchange(file_, FileHandle::kInvalid));
    report_.temp_left = true;
  }

 private:
  Platform& platform_;
  PassReport& report_;
  FileHandle file_;
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
    case PassOutcome::kReplacedMeanwhile:
      return 2;
  }
  return 1;
}

namespace {

// The pass proper. It fills `report` as it goes, so that what it has found
// out survives a CAtlException or memory running out.
// `for_the_message` takes memory set aside for putting the outcome into
// words. It goes when the pass returns, so that a front end can still tell
// a failure where the pass used up the rest.
void Pass(Platform& platform, const PassOptions& options, PassReport& report,
          std::unique_ptr<std::byte[]>& for_the_message) {
  auto fail = [&](PassOutcome outcome, std::string failure) {
    report.outcome = outcome;
    report.failure = std::move(failure);
  };
  std::u16string temp_folder;
  // For a failure of the temporary file: the system's reason (a full disk,
  // a file size limit, a missing folder) does not say where it was, and the
  // file itself is gone by the time the user reads the message.
  auto temp_file_failed = [&](PassOutcome outcome, std::string failure) {
    report.temp_folder = std::move(temp_folder);
    fail(outcome, std::move(failure));
  };

  constexpr const char* kPathTooLong = "the path is longer than 1023 characters";
  if (options.chosen_path != nullptr) {
    report.chosen_path = *options.chosen_path;
  } else {
    switch (platform.ChooseFile(&report.chosen_path)) {
      case ChooseResult::kCancelled:
        return;
      case ChooseResult::kFailed:
        return fail(PassOutcome::kNotStarted, "no file dialog could be shown");
      case ChooseResult::kPathTooLong:
        return fail(PassOutcome::kNotStarted, kPathTooLong);
      case ChooseResult::kChosen:
        break;
    }
  }
  if (report.chosen_path.empty()) return;
  for_the_message = std::make_unique_for_overwrite<std::byte[]>(kMessageRoom);
  if (report.chosen_path.size() > kMaxChosenPathLength)
    return fail(PassOutcome::kNotStarted, kPathTooLong);

  if (!platform.GetTempFolder(&temp_folder))
    return fail(PassOutcome::kNotStarted,
                Reason(platform, "no temporary folder", platform.LastError()));
  const FileHandle temp_handle = platform.CreateTempFile(temp_folder, &report.temp_path);
  if (temp_handle == FileHandle::kInvalid)
    return temp_file_failed(
        PassOutcome::kNotStarted,
        Reason(platform, "cannot create a temporary file", platform.LastError()));
  TemporaryFileGuard temp_file(platform, report, temp_handle);

  // The model's name is narrowed once, for its opening and for finding its
  // place; the temporary file's lives only until that file is open.
  const NarrowPath model_name(platform, report.chosen_path.c_str(), ConversionCodePage(platform));
  TextLineReader reader(platform, model_name.Name(), options.line_limit);
  if (reader.fail())
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot open for reading", reader.error()));
  // What was opened is what gets replaced: its place and its state now.
  FileIdentity model;
  if (!platform.Identify(reader.handle(), &model))
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot open for reading", platform.LastError()));
  const std::unique_ptr<ModelPlace> place =
      platform.LocateModel(reader.handle(), model_name.Name());
  if (place == nullptr)
    return fail(PassOutcome::kIncomplete,
                Reason(platform, "cannot find the model's folder", platform.LastError()));

  TextLineWriter writer(
      platform,
      NarrowPath(platform, report.temp_path.c_str(), ConversionCodePage(platform)).Name());
  if (writer.fail())
    return temp_file_failed(PassOutcome::kIncomplete,
                            Reason(platform, "cannot open the temporary file", writer.error()));
  // The name must still lead to the file made above; another user who can
  // write the temporary folder may have put a file of their own there.
  FileIdentity made, opened;
  if (!platform.Identify(temp_handle, &made) || !platform.Identify(writer.handle(), &opened))
    return temp_file_failed(
        PassOutcome::kIncomplete,
        Reason(platform, "cannot open the temporary file", platform.LastError()));
  if (!made.SameFile(opened))
    return fail(PassOutcome::kIncomplete, "the temporary file was replaced by another file");

  CopyLines(reader, writer);

  // The first 0x1A ends the input. More of them after it are old padding;
  // any other byte after it would be lost by the rewrite.
  if (reader.eof() && reader.OtherBytesAfterEndMark())
    return fail(PassOutcome::kIncomplete,
                "the model holds other bytes after an end-of-file mark (0x1A) at byte " +
                    std::to_string(reader.end_mark_offset()) + "; rewriting would drop them");

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
    return temp_file_failed(PassOutcome::kIncomplete,
                            Reason(platform, "cannot write the temporary file", writer.error()));

  // From here on the outcome is noted before its reason is put into words,
  // so that it stands should memory run out meanwhile. Another program's
  // save that stayed beside the model is named.
  switch (platform.ReplaceModel(temp_handle, *place, model)) {
    case ReplaceResult::kReplaced:
      break;
    case ReplaceResult::kUntouched:
      report.outcome = PassOutcome::kNotReplaced;
      report.failure = Reason(platform, "cannot replace the file", platform.LastError());
      platform.OldModelLeft(*place, &report.old_model_left);
      return;
    case ReplaceResult::kModelChanged:
      report.outcome = PassOutcome::kNotReplaced;
      report.failure = "the model changed while it was being rewritten";
      platform.OldModelLeft(*place, &report.old_model_left);
      return;
    case ReplaceResult::kMaybeDamaged: {
      // Read the reason before closing the kept file can overwrite it.
      const std::uint32_t error = platform.LastError();
      temp_file.Keep();
      report.outcome = PassOutcome::kReplaceFailed;
      report.failure = Reason(platform, "cannot replace the file", error);
      platform.OldModelLeft(*place, &report.old_model_left);
      return;
    }
    case ReplaceResult::kWrittenMeanwhile:
      temp_file.Keep();
      report.outcome = PassOutcome::kReplaceFailed;
      report.failure = "another program wrote to the model while the result was copied into it";
      return;
    case ReplaceResult::kReplacedMeanwhile:
      temp_file.Keep();
      report.outcome = PassOutcome::kReplacedMeanwhile;
      report.failure =
          "another program replaced or removed the model while the result was copied into it";
      return;
  }
  report.outcome = PassOutcome::kCompleted;
  // Rewritten either way; what is left on the disk is named.
  if (platform.OldModelLeft(*place, &report.old_model_left))
    report.failure = Reason(platform, "cannot delete the old model", platform.LastError());
  if (!temp_file.Remove() && report.failure.empty())
    report.failure = Reason(platform, "cannot delete the temporary file", platform.LastError());
}

}  // namespace

PassReport SeparationPass(Platform& platform, const PassOptions& options) {
  PassReport report;
  std::unique_ptr<std::byte[]> for_the_message;
  try {
    Pass(platform, options, report, for_the_message);
  } catch (const CAtlException& e) {
    // The temporary file is gone by now, or noted in the report as left.
    // The room set aside goes first, for the text below.
    for_the_message.reset();
    report.outcome = PassOutcome::kIncomplete;
    report.failure = "cannot convert a file name (error " + HresultText(e.hresult()) + ")";
  } catch (const std::bad_alloc&) {
    // Nothing asks for memory while the model is being changed, so until
    // the replacement's outcome is noted (the outcome is still kCancelled
    // then) the model is as it was; after it, that outcome stands and only
    // its reason is lost. The temporary file is gone by now, or noted as
    // left, or kept as the rewritten model. The text fits in the string's
    // own room: saying it asks for no memory.
    if (report.outcome == PassOutcome::kCancelled) report.outcome = PassOutcome::kIncomplete;
    report.failure = "out of memory";
  }
  return report;
}

}  // namespace sgsplit
