#include "app/failure_message.h"

#include <gtest/gtest.h>

#include <string>

#include "app/quote_name.h"

namespace sgsplit {
namespace {

struct Case {
  const char* what;
  PassReport report;
  std::string text;      // after "sgsplit-batch: MODEL: "
  std::string headline;  // of the desktop's message; empty for none
  std::string details;
};

PassReport Report(PassOutcome outcome, std::u16string chosen, std::string failure,
                  bool temp_left = false) {
  return {outcome, std::move(chosen), u"/tmp/obj1a2b.tmp", std::move(failure), temp_left, u"", u""};
}

// Every outcome, with and without a temporary file left, and names that need
// quoting in each place a name goes.
TEST(FailureMessageTest, SaysTheSameInBothFrontEnds) {
  const Case cases[] = {
      {"completed", Report(PassOutcome::kCompleted, u"/m/box.obj", ""), "", "", ""},
      {"completed, temporary file left",
       Report(PassOutcome::kCompleted, u"/m/box.obj",
              "cannot delete the temporary file: Permission denied", true),
       "cannot delete the temporary file: Permission denied; the temporary file "
       "/tmp/obj1a2b.tmp was left behind",
       "The model was rewritten, but its temporary file could not be deleted.",
       "Model: /m/box.obj\nReason: cannot delete the temporary file: Permission denied\n"
       "The temporary file /tmp/obj1a2b.tmp was left behind."},
      {"completed, old model left beside it",
       {PassOutcome::kCompleted, u"/m/box.obj", u"/tmp/obj1a2b.tmp",
        "cannot delete the old model: Input/output error", false, u"", u"/m/.sgsplit-Ab1"},
       "cannot delete the old model: Input/output error; the old model is left in "
       "/m/.sgsplit-Ab1",
       "The model was rewritten, but its old content could not be deleted.",
       "Model: /m/box.obj\nReason: cannot delete the old model: Input/output error\n"
       "The old model is left in /m/.sgsplit-Ab1."},
      {"cancelled", Report(PassOutcome::kCancelled, u"", ""), "", "", ""},
      {"no dialog", Report(PassOutcome::kNotStarted, u"", "no file dialog could be shown"),
       "no file dialog could be shown", "sgsplit could not start. No model was changed.",
       "Reason: no file dialog could be shown"},
      {"no temporary file",
       {PassOutcome::kNotStarted, u"/m/box.obj", u"",
        "cannot create a temporary file: No space left on device", false, u"/t/a\x1B b/", u""},
       "cannot create a temporary file: No space left on device; the temporary folder is "
       "'/t/a'$'\\033'' b/'",
       "sgsplit could not start. The model was not changed.",
       "Model: /m/box.obj\nReason: cannot create a temporary file: No space left on device\n"
       "The temporary folder is '/t/a'$'\\033'' b/'."},
      {"not read",
       Report(PassOutcome::kIncomplete, u"/m/box.obj",
              "cannot open for reading: Permission denied"),
       "cannot open for reading: Permission denied",
       "The model could not be rewritten. It was not changed.",
       "Model: /m/box.obj\nReason: cannot open for reading: Permission denied"},
      {"not read, temporary file left",
       Report(PassOutcome::kIncomplete, u"/m/box.obj", "read failed: Input/output error", true),
       "read failed: Input/output error; the temporary file /tmp/obj1a2b.tmp was left behind",
       "The model could not be rewritten. It was not changed.",
       "Model: /m/box.obj\nReason: read failed: Input/output error\n"
       "The temporary file /tmp/obj1a2b.tmp was left behind."},
      {"not replaced",
       Report(PassOutcome::kNotReplaced, u"/m/box.obj",
              "cannot replace the file: Operation not permitted"),
       "cannot replace the file: Operation not permitted",
       "The rewritten model could not be put in its place. sgsplit did not change the model.",
       "Model: /m/box.obj\nReason: cannot replace the file: Operation not permitted"},
      {"replace failed, result kept",
       Report(PassOutcome::kReplaceFailed, u"/m/box.obj",
              "cannot replace the file: Access is denied.", true),
       "cannot replace the file: Access is denied.; the rewritten model is in /tmp/obj1a2b.tmp",
       "The rewritten model could not be put in its place. The model may be damaged.",
       "Model: /m/box.obj\nReason: cannot replace the file: Access is denied.\n"
       "The temporary file /tmp/obj1a2b.tmp holds the complete rewritten model."},
      {"replaced meanwhile, result kept",
       Report(PassOutcome::kReplacedMeanwhile, u"/m/box.obj",
              "another program replaced or removed the model while the result was copied into it",
              true),
       "another program replaced or removed the model while the result was copied into it; "
       "the rewritten model is in /tmp/obj1a2b.tmp",
       "Another program replaced or removed the model while sgsplit was rewriting it. "
       "sgsplit did not change what that program left.",
       "Model: /m/box.obj\nReason: another program replaced or removed the model while the "
       "result was copied into it\n"
       "The temporary file /tmp/obj1a2b.tmp holds the complete rewritten model."},
      {"names quoted",
       {PassOutcome::kReplaceFailed, u"/m/a\nb\x1B[2J.obj", u"/t/obj\x1B.tmp",
        "cannot replace the file: Input/output error", true, u"", u""},
       "cannot replace the file: Input/output error; the rewritten model is in "
       "'/t/obj'$'\\033''.tmp'",
       "The rewritten model could not be put in its place. The model may be damaged.",
       "Model: '/m/a'$'\\n''b'$'\\033''[2J.obj'\n"
       "Reason: cannot replace the file: Input/output error\n"
       "The temporary file '/t/obj'$'\\033''.tmp' holds the complete rewritten model."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FailureText(c.report, ShowName), c.text);
    const FailureNotice notice = DesktopFailureNotice(c.report, ShowName);
    EXPECT_EQ(notice.headline, c.headline);
    EXPECT_EQ(notice.details, c.details);
    EXPECT_EQ(notice.Text(), c.headline.empty() ? "" : c.headline + "\n\n" + c.details);
    // A message window exactly when there is something to tell: a failure,
    // or a file left behind by a run that went through (exit code 0).
    EXPECT_EQ(notice.headline.empty(), c.report.failure.empty());
  }
}

TEST(FailureMessageTest, OneLineNamesTheModelWhenThereIsOne) {
  const struct {
    PassReport report;
    const char* line;
  } cases[] = {
      {Report(PassOutcome::kIncomplete, u"/m/box.obj", "a line is too long"),
       "sgsplit-batch: /m/box.obj: a line is too long"},
      {Report(PassOutcome::kNotStarted, u"", "no file dialog could be shown"),
       "sgsplit-batch: no file dialog could be shown"},
      {Report(PassOutcome::kIncomplete, u"/m/\n\x1B]0;x\a.obj", "out of memory", true),
       "sgsplit-batch: '/m/'$'\\n\\033'']0;x'$'\\a''.obj': out of memory; the temporary file "
       "/tmp/obj1a2b.tmp was left behind"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(FailureLine("sgsplit-batch", c.report, ShowName), c.line);
  }
}

}  // namespace
}  // namespace sgsplit
