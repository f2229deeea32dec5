// The pass under every failure the platform can report, one at a time.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "app/separation_pass.h"
#include "tests/fault_platform.h"
#include "tests/test_util.h"
#include "textio/text_line_reader.h"
#include "textio/text_line_writer.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::CountFiles;
using testing::Fault;
using testing::FaultPlatform;
using testing::Operation;

// A model of several read blocks that takes every path through the reader
// and the writer: a CR LF split by a block edge, a lone CR ending a block, a
// line longer than the writer's staging buffer, lines that are dropped and
// lines that open a block, and a last line without a line end.
std::string MakeModel() {
  std::string model = "# generated model\n";
  auto pad_to = [&](std::size_t size) {
    const std::string vertex = "v 1.5 2.25 3.125 0.0625 0.03125 0.015625 0.0078125\r\n";
    while (model.size() + vertex.size() + 1 < size) model += vertex;
    model += '#';
    model.append(size - model.size(), 'x');
  };
  pad_to(TextLineReader::kBlockSize - 1);
  model += "\r\n";  // CR is byte 4096, LF byte 4097
  model += "g box\n\no box\nusemtl red\ns 1\nf 1 2 3\n";
  pad_to(std::size_t{2} * TextLineReader::kBlockSize - 1);
  model += "\rs 2\n";  // a CR alone at the end of the second block
  model += "vt " + std::string(TextLineWriter::kStagingSize + 300, '7') + "\n";
  for (int i = 0; model.size() < std::size_t{5} * TextLineReader::kBlockSize; ++i)
    model += i % 7 == 0 ? "s " + std::to_string(i) + "\n"
                        : "f 11/21/31 12/22/32 13/23/33 14/24/34 15/25/35 \xE9\xFF\n";
  model += "f 3 2 1";
  return model;
}

bool MustComplete(Fault fault) { return fault == Fault::kRemoveFile; }
bool MayComplete(Fault fault) {
  return fault == Fault::kRemoveFile || fault == Fault::kClose || fault == Fault::kAllocate;
}

class SeparationPassFaultTest : public ::testing::Test {
 protected:
  SeparationPassFaultTest()
      : system_(NewSystemPlatform()),
        temp_folder_(temp_.path()),
        // Longer than the narrowed path's inline buffer, so that narrowing
        // takes memory that can be refused.
        model_path_(models_ / ("mod\xC3\xA8le-" + std::string(140, 'm') + ".obj")),
        chosen_(*system_, testing::Utf16Path(model_path_)) {}

  std::unique_ptr<Platform> system_;
  testing::ScratchDir models_;
  testing::ScratchDir temp_;
  testing::ScopedTempFolder temp_folder_;
  fs::path model_path_;
  testing::ScriptedChoice chosen_;
};

TEST_F(SeparationPassFaultTest, EveryFailurePointLeavesOldOrNewAndNothingUnexplained) {
  const std::string model = MakeModel();
  ASSERT_GT(model.size(), std::size_t{4} * TextLineReader::kBlockSize);
  testing::WriteBytes(model_path_, model);

  // A clean run counts the calls and gives the new content.
  FaultPlatform clean(chosen_);
  const PassReport clean_report = SeparationPass(clean);
  ASSERT_EQ(clean_report.outcome, PassOutcome::kCompleted) << clean_report.failure;
  const std::string rewritten = testing::ReadBytes(model_path_);
  ASSERT_NE(rewritten, model);
  ASSERT_NE(rewritten.find("\r\ng object3\r\no object3\r\nusemtl object3\r\ns"), std::string::npos);
  ASSERT_EQ(CountFiles(temp_.path()), 0u);
  ASSERT_GT(clean.Calls(Operation::kSeek), 0u);
  ASSERT_GT(clean.Calls(Operation::kAllocate), 2u);

  std::size_t points = 0;
  for (std::size_t f = 0; f < testing::kFaultCount; ++f) {
    const auto fault = static_cast<Fault>(f);
    const std::size_t calls = clean.Calls(testing::OperationOf(fault));
    ASSERT_GT(calls, 0u) << NameOf(fault) << " is never called";
    for (std::size_t call = 1; call <= calls; ++call) {
      // Each point fails once, then from there on, then once with the
      // temporary file impossible to remove as well.
      for (int variant = 0; variant < 3; ++variant) {
        const bool persistent = variant == 1;
        const bool no_removal = variant == 2;
        if (no_removal && fault == Fault::kRemoveFile) continue;
        SCOPED_TRACE(std::string(NameOf(fault)) + ", call " + std::to_string(call) +
                     (persistent ? " and later" : "") +
                     (no_removal ? ", the temporary file not removable" : ""));
        testing::WriteBytes(model_path_, model);
        FaultPlatform platform(chosen_);
        platform.Arm(fault, call, persistent);
        if (no_removal) platform.Arm(Fault::kRemoveFile, 1, true);
        const PassReport report = SeparationPass(platform);
        ++points;

        ASSERT_GT(platform.Injected(), 0u);
        EXPECT_EQ(platform.OpenHandles(), 0u);
        EXPECT_EQ(platform.StrayCloses(), 0u);
        const std::string now = testing::ReadBytes(model_path_);
        const int code = ExitCode(report.outcome);

        switch (report.outcome) {
          case PassOutcome::kCompleted:
            EXPECT_EQ(code, 0);
            EXPECT_TRUE(now == rewritten) << "completed, but the model is not the new one";
            EXPECT_TRUE(MayComplete(fault)) << report.failure;
            break;
          case PassOutcome::kNotStarted:
          case PassOutcome::kIncomplete:
          case PassOutcome::kNotReplaced:
            EXPECT_EQ(code, report.outcome == PassOutcome::kNotReplaced ? 2 : 1);
            EXPECT_TRUE(now == model) << "failed (" << report.failure << "), but the model changed";
            EXPECT_FALSE(report.failure.empty());
            break;
          case PassOutcome::kReplaceFailed:
            EXPECT_EQ(code, 2);
            // The model may be damaged; the new content must survive.
            ASSERT_TRUE(report.temp_left) << report.failure;
            EXPECT_TRUE(testing::ReadBytes(fs::path(report.temp_path)) == rewritten);
            break;
          case PassOutcome::kReplacedMeanwhile:
            EXPECT_EQ(code, 2);
            // The other program's save stands; the new content must survive.
            EXPECT_EQ(now, testing::kOtherProgramsSave);
            ASSERT_TRUE(report.temp_left) << report.failure;
            EXPECT_TRUE(testing::ReadBytes(fs::path(report.temp_path)) == rewritten);
            break;
          case PassOutcome::kCancelled:
            ADD_FAILURE() << "cancelled without a dialog";
            break;
        }
        if (MustComplete(fault)) {
          EXPECT_EQ(report.outcome, PassOutcome::kCompleted);
        }
        if (fault == Fault::kReplaceDamaged) {
          EXPECT_EQ(report.outcome, PassOutcome::kReplaceFailed);
        }
        if (fault == Fault::kReplaceReplaced) {
          EXPECT_EQ(report.outcome, PassOutcome::kReplacedMeanwhile);
        }
        // The reason is the failed replacement's, not that of a later call.
        if (fault == Fault::kReplaceDamaged || fault == Fault::kReplaceUntouched) {
          EXPECT_EQ(report.failure,
                    "cannot replace the file: " + platform.ErrorText(testing::kInjectedError));
        }
        if (fault == Fault::kReplaceUntouched || fault == Fault::kReplaceChanged) {
          EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
        }
        if (fault == Fault::kTempFolder || fault == Fault::kTempFile) {
          EXPECT_EQ(report.outcome, PassOutcome::kNotStarted);
        }
        // A temporary file that cannot be made, opened or written names its
        // folder: the reason (a full disk, a file size limit) does not say
        // which disk, and the file itself is gone.
        const bool temporary_file_failed =
            report.failure.starts_with("cannot create a temporary file") ||
            report.failure.starts_with("cannot open the temporary file") ||
            report.failure.starts_with("cannot write the temporary file");
        EXPECT_EQ(report.temp_folder.empty(), !temporary_file_failed) << report.failure;
        if (temporary_file_failed) {
          EXPECT_EQ(fs::path(report.temp_folder), temp_.path() / "");
        }
        // Closing the input after it was read in full loses nothing; closing
        // the output does.
        if (fault == Fault::kClose && report.outcome == PassOutcome::kCompleted) {
          EXPECT_TRUE(!persistent && platform.FailedCloseWasReader());
        }
        // Without a full read block or a staging buffer the files work by
        // their small fallbacks; memory for a file name cannot be done without.
        if (fault == Fault::kAllocate && !persistent) {
          const std::size_t size = platform.FailedAllocationSize();
          const bool has_fallback = size == TextLineReader::kBlockSize ||
                                    size == std::size_t{2} * TextLineWriter::kStagingSize;
          EXPECT_EQ(report.outcome == PassOutcome::kCompleted, has_fallback) << size;
        }

        if (no_removal && report.outcome != PassOutcome::kNotStarted) {
          EXPECT_TRUE(report.temp_left);
        }
        // The temporary folder holds a file only when the report says so,
        // and the model's folder holds nothing but the model.
        if (report.temp_left) {
          EXPECT_FALSE(report.failure.empty());
          EXPECT_EQ(CountFiles(temp_.path()), 1u);
          EXPECT_TRUE(fs::exists(fs::path(report.temp_path)));
          fs::remove(fs::path(report.temp_path));
        }
        EXPECT_EQ(CountFiles(temp_.path()), 0u);
        EXPECT_EQ(CountFiles(models_.path()), 1u);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
  std::printf("failure points exercised: %zu\n", points);
  RecordProperty("failure_points", static_cast<int>(points));
}

// Looking past the mark that ended the input reads on: a read error there
// is a read failure like any other.
TEST_F(SeparationPassFaultTest, AReadErrorPastAnEndOfFileMarkLeavesTheModel) {
  const std::string model = "v 1 2 3\n" + std::string(5000, '\x1A');
  testing::WriteBytes(model_path_, model);
  FaultPlatform clean(chosen_);
  ASSERT_EQ(SeparationPass(clean).outcome, PassOutcome::kCompleted);
  // The first read finds the mark; the others look past it.
  const std::size_t reads = clean.Calls(Operation::kRead);
  ASSERT_GE(reads, 2u);
  for (std::size_t call = 2; call <= reads; ++call) {
    SCOPED_TRACE("read " + std::to_string(call));
    testing::WriteBytes(model_path_, model);
    FaultPlatform platform(chosen_);
    platform.Arm(Fault::kRead, call);
    const PassReport report = SeparationPass(platform);
    EXPECT_EQ(report.outcome, PassOutcome::kIncomplete);
    EXPECT_EQ(report.failure.rfind("read failed: ", 0), 0u) << report.failure;
    EXPECT_TRUE(testing::ReadBytes(model_path_) == model) << "the model changed";
    EXPECT_EQ(platform.OpenHandles(), 0u);
    EXPECT_EQ(CountFiles(temp_.path()), 0u);
  }
}

// Memory that runs out while the failure of a replacement that broke off
// part way is put into words loses only the words: the run still ends as one
// that may have damaged the model (exit code 2), and keeps the result.
TEST_F(SeparationPassFaultTest, MemoryRunningOutWhileADamageIsToldKeepsItsOutcome) {
  const std::string model = "g box\ns 1\nf 1 2 3\n";
  testing::WriteBytes(model_path_, model);
  FaultPlatform faults(chosen_);
  faults.Arm(Fault::kReplaceDamaged, 1);
  class NoMemoryForReasons final : public PlatformWrapper {
   public:
    using PlatformWrapper::PlatformWrapper;
    std::string ErrorText(std::uint32_t) override { throw std::bad_alloc(); }
  } platform(faults);
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kReplaceFailed);
  EXPECT_EQ(ExitCode(report.outcome), 2);
  EXPECT_EQ(report.failure, "out of memory");
  EXPECT_TRUE(report.temp_left);
  EXPECT_EQ(faults.OpenHandles(), 0u);
  ASSERT_EQ(CountFiles(temp_.path()), 1u) << "the result was not kept";
  EXPECT_EQ(testing::ReadBytes(fs::directory_iterator(temp_.path())->path()).rfind("g object1", 0),
            0u);
}

}  // namespace
}  // namespace sgsplit
