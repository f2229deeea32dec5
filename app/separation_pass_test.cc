#include "app/separation_pass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/fault_platform.h"
#include "tests/test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include "platform/posix_file_names.h"
#endif

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::CountFiles;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::ScriptedChoice;
using testing::WriteBytes;

const char kModel[] = "# box\r\nv 0 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1";
const char kRewritten[] =
    "# box\r\nv 0 0 0\r\nusemtl red\r\ng object1\r\no object1\r\nusemtl object1\r\n"
    "s 1\r\nf 1 2 3\r\ng object2\r\no object2\r\nusemtl object2\r\ns off\r\nf 3 2 1\r\n";

// Each test gets a model folder and a temporary folder of its own, so that a
// file left behind is seen.
class SeparationPassTest : public ::testing::Test {
 protected:
  SeparationPassTest() : system_(NewSystemPlatform()), temp_folder_(temp_.path()) {}

  PassReport Run(ChooseResult result, const fs::path& file, const PassOptions& options = {}) {
    ScriptedChoice platform(*system_, testing::Utf16Path(file), result);
    return SeparationPass(platform, options);
  }

  std::unique_ptr<Platform> system_;
  ScratchDir models_;
  ScratchDir temp_;
  testing::ScopedTempFolder temp_folder_;
};

TEST_F(SeparationPassTest, RewritesTheChosenFileInPlace) {
  WriteBytes(models_ / "box.obj", kModel);
  const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
  EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
  EXPECT_EQ(ExitCode(report.outcome), 0);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
}

TEST_F(SeparationPassTest, EndsWithoutTouchingAnything) {
  WriteBytes(models_ / "box.obj", kModel);
  fs::create_directory(models_ / "folder.obj");
  const std::string long_name = "/" + std::string(1100, 'n');
  const struct {
    const char* name;
    ChooseResult choice;
    fs::path file;
    PassOutcome outcome;
    const char* failure;
  } cases[] = {
      {"cancel", ChooseResult::kCancelled, models_ / "box.obj", PassOutcome::kCancelled, ""},
      {"empty choice", ChooseResult::kChosen, "", PassOutcome::kCancelled, ""},
      {"dialog error", ChooseResult::kFailed, models_ / "box.obj", PassOutcome::kNotStarted,
       "no file dialog could be shown"},
      {"path too long", ChooseResult::kChosen, long_name, PassOutcome::kNotStarted,
       "the path is longer than 1023 characters"},
      {"path too long for the dialog", ChooseResult::kPathTooLong, models_ / "box.obj",
       PassOutcome::kNotStarted, "the path is longer than 1023 characters"},
      {"a folder", ChooseResult::kChosen, models_ / "folder.obj", PassOutcome::kIncomplete,
       "cannot open for reading: "},
      {"no such file", ChooseResult::kChosen, models_ / "gone.obj", PassOutcome::kIncomplete,
       "cannot open for reading: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PassReport report = Run(c.choice, c.file);
    EXPECT_EQ(report.outcome, c.outcome);
    EXPECT_EQ(report.failure.substr(0, std::strlen(c.failure)), c.failure) << report.failure;
    EXPECT_EQ(ExitCode(report.outcome), c.outcome == PassOutcome::kCancelled ? 0 : 1);
    EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
    EXPECT_TRUE(fs::is_directory(models_ / "folder.obj"));
    EXPECT_EQ(CountFiles(temp_.path()), 0u);
  }
}

// A front end that is given its file skips the choice; the given path is
// held to the same bound as a chosen one.
TEST_F(SeparationPassTest, GivenPathTakesThePlaceOfTheChoice) {
  WriteBytes(models_ / "box.obj", kModel);
  const std::u16string given = testing::Utf16Path(models_ / "box.obj");
  const std::u16string too_long = u"/" + std::u16string(1100, u'n');
  const struct {
    const char* name;
    const std::u16string* path;
    PassOutcome outcome;
    const char* failure;
    const char* model_after;
  } cases[] = {
      {"too long", &too_long, PassOutcome::kNotStarted, "the path is longer than 1023 characters",
       kModel},
      {"given", &given, PassOutcome::kCompleted, "", kRewritten},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PassOptions options;
    options.chosen_path = c.path;
    // A dialog that fails: were it asked, the pass would not start.
    const PassReport report = Run(ChooseResult::kFailed, models_ / "gone.obj", options);
    EXPECT_EQ(report.outcome, c.outcome);
    EXPECT_EQ(report.failure, c.failure);
    EXPECT_EQ(report.chosen_path, *c.path);
    EXPECT_EQ(ReadBytes(models_ / "box.obj"), c.model_after);
    EXPECT_EQ(CountFiles(temp_.path()), 0u);
  }
}

TEST_F(SeparationPassTest, NoTemporaryFolderLeavesTheModel) {
  WriteBytes(models_ / "box.obj", kModel);
  const fs::path missing = temp_ / "missing";
  const testing::ScopedTempFolder temp_folder(missing);
  const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
  EXPECT_EQ(report.outcome, PassOutcome::kNotStarted);
  EXPECT_EQ(ExitCode(report.outcome), 1);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(SeparationPassTest, TooLongALineLeavesTheModel) {
  WriteBytes(models_ / "box.obj", "v 1 2 3\nvn 0 0 1\n");
  const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj", {.line_limit = 7});
  EXPECT_EQ(report.outcome, PassOutcome::kIncomplete);
  EXPECT_EQ(report.failure, "a line is too long");
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), "v 1 2 3\nvn 0 0 1\n");
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// The first 0x1A ends the input. A model that holds nothing but more of them
// after it is rewritten; one that holds any other byte after it is left as
// it was, and the run says where the mark stands.
TEST_F(SeparationPassTest, BytesAfterAnEndOfFileMark) {
  const std::string line = "v 1 2 3\n";                           // the mark after it is byte 8
  const std::string block = "#" + std::string(4093, 'x') + "\n";  // the mark after it is byte 4095
  const std::string crlf_block = "#" + std::string(4092, 'x') + "\r\n";
  const struct {
    const char* name;
    std::string model;
    const char* rewritten;  // null: the model must stay as it is
    const char* mark_at;
  } cases[] = {
      {"0x1A as the last byte", line + "\x1A", "v 1 2 3\r\n", ""},
      {"a run of 0x1A to the end, over a block edge", line + std::string(5000, '\x1A'),
       "v 1 2 3\r\n", ""},
      {"0x1A then a byte", line + "\x1A" + "f 1 2 3\n", nullptr, "8"},
      {"0x1A ending a block, a byte in the next", block + "\x1A" + "f 1 2 3\n", nullptr, "4095"},
      {"0x1A in a later block, then a byte", block + line + "\x1A" + "x", nullptr, "4103"},
      // The CR dropped from the first block's line end still counts.
      {"0x1A in a later block after CR LF, then a byte", crlf_block + line + "\x1A" + "x", nullptr,
       "4103"},
      {"0x1A, 0x1A, then a byte", line + "\x1A\x1A" + "x", nullptr, "8"},
      {"a run of 0x1A, then a byte in a later block", line + std::string(5000, '\x1A') + "x",
       nullptr, "8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(models_ / "model.obj", c.model);
    const PassReport report = Run(ChooseResult::kChosen, models_ / "model.obj");
    if (c.rewritten != nullptr) {
      EXPECT_EQ(ExitCode(report.outcome), 0) << report.failure;
      EXPECT_EQ(ReadBytes(models_ / "model.obj"), c.rewritten);
    } else {
      EXPECT_EQ(ExitCode(report.outcome), 1);
      EXPECT_EQ(report.failure, std::string("the model holds other bytes after an end-of-file ") +
                                    "mark (0x1A) at byte " + c.mark_at +
                                    "; rewriting would drop them");
      EXPECT_TRUE(ReadBytes(models_ / "model.obj") == c.model) << "the model changed";
    }
    EXPECT_EQ(CountFiles(temp_.path()), 0u);
  }
}

TEST_F(SeparationPassTest, EmptyModelStaysEmpty) {
  WriteBytes(models_ / "empty.obj", "");
  EXPECT_EQ(Run(ChooseResult::kChosen, models_ / "empty.obj").outcome, PassOutcome::kCompleted);
  EXPECT_EQ(ReadBytes(models_ / "empty.obj"), "");
}

#ifndef _WIN32

// The bound on the path is its length: 1023 characters are taken, one more is
// not.
TEST_F(SeparationPassTest, APathOf1023CharactersIsTaken) {
  fs::path folder = models_.path();
  while (1023 - folder.string().size() - 1 > 150) folder /= std::string(100, 'f');
  fs::create_directories(folder);
  const std::size_t name_length = 1023 - folder.string().size() - 1;
  const fs::path model = folder / (std::string(name_length - 4, 'b') + ".obj");
  const fs::path longer = folder / (std::string(name_length - 3, 'b') + ".obj");
  ASSERT_EQ(model.string().size(), 1023u);
  WriteBytes(model, kModel);
  WriteBytes(longer, kModel);
  const PassReport taken = Run(ChooseResult::kChosen, model);
  EXPECT_EQ(taken.outcome, PassOutcome::kCompleted) << taken.failure;
  EXPECT_EQ(ReadBytes(model), kRewritten);
  const PassReport refused = Run(ChooseResult::kChosen, longer);
  EXPECT_EQ(refused.outcome, PassOutcome::kNotStarted);
  EXPECT_EQ(refused.failure, "the path is longer than 1023 characters");
  EXPECT_EQ(ReadBytes(longer), kModel);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

TEST_F(SeparationPassTest, NameThatIsNotUtf8) {
  const std::string name = models_.path().string() + "/mod\xE8le.obj";
  WriteBytes(name, kModel);
  ScriptedChoice platform(*system_, WidenFileName(name));
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
  EXPECT_EQ(ReadBytes(name), kRewritten);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
}

TEST_F(SeparationPassTest, NameThatCannotBeNarrowedLeavesNothingBehind) {
  WriteBytes(models_ / "box.obj", kModel);
  ScriptedChoice platform(*system_, testing::Utf16Path(models_.path()) + u"/\xD800.obj");
  const PassReport report = SeparationPass(platform);
  EXPECT_EQ(report.outcome, PassOutcome::kIncomplete);
  EXPECT_EQ(report.failure, "cannot convert a file name (error 0x80070054)");  // EILSEQ
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
}

TEST_F(SeparationPassTest, SymbolicLinkStaysALinkAndModeIsKept) {
  WriteBytes(models_ / "box.obj", kModel);
  fs::permissions(models_ / "box.obj", fs::perms(0604));
  fs::create_symlink(models_ / "box.obj", models_ / "link.obj");
  const PassReport report = Run(ChooseResult::kChosen, models_ / "link.obj");
  EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
  EXPECT_TRUE(fs::is_symlink(models_ / "link.obj"));
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(fs::status(models_ / "box.obj").permissions(), fs::perms(0604));
}

// Runs `body` in a child process as an unprivileged user, since permissions
// bind nobody when the tests run as root. Returns the child's exit status.
int AsUnprivileged(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(SeparationPassTest, UnreadableModelIsLeftAlone) {
  WriteBytes(models_ / "box.obj", kModel);
  fs::permissions(models_ / "box.obj", fs::perms::none);
  fs::permissions(temp_.path(), fs::perms::all);
  fs::permissions(models_.path(), fs::perms::all);
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    const bool as_expected = report.failure == "cannot open for reading: Permission denied";
    return as_expected ? ExitCode(report.outcome) : 10;
  });
  EXPECT_EQ(code, 1);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

TEST_F(SeparationPassTest, ModelInAFolderThatCannotBeWrittenIsNotReplaced) {
  WriteBytes(models_ / "box.obj", kModel);
  fs::permissions(models_ / "box.obj", fs::perms(0666));
  fs::permissions(temp_.path(), fs::perms::all);
  fs::permissions(models_.path(), fs::perms(0555));
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    const bool as_expected =
        report.failure == "cannot replace the file: Permission denied" && !report.temp_left;
    return as_expected ? ExitCode(report.outcome) : 10;
  });
  fs::permissions(models_.path(), fs::perms::owner_all);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
}

// A model that its owner made read-only for themselves (chmod u-w) is not
// replaced when they run sgsplit, though its group may still write it.
TEST_F(SeparationPassTest, AModelItsOwnerCannotWriteIsNotReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the model another owner";
  WriteBytes(models_ / "box.obj", kModel);
  ASSERT_EQ(::chown((models_ / "box.obj").c_str(), 65534, 65534), 0);
  fs::permissions(models_ / "box.obj", fs::perms(0464));
  fs::permissions(temp_.path(), fs::perms::all);
  fs::permissions(models_.path(), fs::perms::all);
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    const bool as_expected = report.failure == "cannot replace the file: Permission denied";
    return as_expected ? ExitCode(report.outcome) : 10;
  });
  EXPECT_EQ(code, 2);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kModel);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// A user whose umask takes away their own write permission (222, so that
// every new file is read-only) rewrites their model all the same: the
// temporary file is the tool's own, and its mode is not the umask's to say.
TEST_F(SeparationPassTest, AUmaskThatMakesNewFilesReadOnlyDoesNotStopTheRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the model another owner";
  WriteBytes(models_ / "box.obj", kModel);
  ASSERT_EQ(::chown((models_ / "box.obj").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(models_.path().c_str(), 65534, 65534), 0);
  fs::permissions(temp_.path(), fs::perms::all);
  const int code = AsUnprivileged([&] {
    ::umask(0222);
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    return report.failure.empty() ? ExitCode(report.outcome) : 10;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// A temporary folder that its users may write and search but not list
// (1733), so that none of them sees the others' files: the run makes its
// temporary file there, and removes it, all the same.
TEST_F(SeparationPassTest, ATemporaryFolderThatCannotBeListedServes) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the model another owner";
  WriteBytes(models_ / "box.obj", kModel);
  ASSERT_EQ(::chown((models_ / "box.obj").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(models_.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(temp_.path().c_str(), 01733), 0);
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    return report.failure.empty() ? ExitCode(report.outcome) : 10;
  });
  fs::permissions(temp_.path(), fs::perms::owner_all);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// A folder that its users may write and search but not list, as a drop box:
// the model there is rewritten all the same.
TEST_F(SeparationPassTest, ModelInAFolderThatCannotBeListedIsRewritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the model another owner";
  WriteBytes(models_ / "box.obj", kModel);
  ASSERT_EQ(::chown((models_ / "box.obj").c_str(), 65534, 65534), 0);
  fs::permissions(temp_.path(), fs::perms::all);
  fs::permissions(models_.path(), fs::perms(0733));
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    return report.failure.empty() ? ExitCode(report.outcome) : 10;
  });
  fs::permissions(models_.path(), fs::perms::owner_all);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// A member of the model's group rewrites a model that another user owns: it
// stays theirs, with its mode, set-group-id bit included.
TEST_F(SeparationPassTest, AnotherUsersModelStaysTheirs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the model another owner";
  WriteBytes(models_ / "box.obj", kModel);
  ASSERT_EQ(::chown((models_ / "box.obj").c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod((models_ / "box.obj").c_str(), 02664), 0);
  ASSERT_EQ(::chown(models_.path().c_str(), 0, 65534), 0);
  fs::permissions(models_.path(), fs::perms(0775));
  fs::permissions(temp_.path(), fs::perms::all);
  const int code = AsUnprivileged([&] {
    const PassReport report = Run(ChooseResult::kChosen, models_ / "box.obj");
    return report.failure.empty() ? ExitCode(report.outcome) : 10;
  });
  struct stat st {};
  ::stat((models_ / "box.obj").c_str(), &st);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), kRewritten);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 02664u);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
}

// Another program at a known point of the run, played by a hook of the
// fault platform.
class SeparationPassRaceTest : public SeparationPassTest {
 protected:
  PassReport RunWith(const std::function<void(testing::FaultPlatform&)>& arrange) {
    ScriptedChoice chosen(*system_, testing::Utf16Path(models_ / "box.obj"));
    testing::FaultPlatform platform(chosen);
    arrange(platform);
    return SeparationPass(platform);
  }
};

TEST_F(SeparationPassRaceTest, AnEditorsSaveIsNeverOverwritten) {
  WriteBytes(models_ / "box.obj", kModel);
  const PassReport report = RunWith([&](testing::FaultPlatform& platform) {
    platform.Before(testing::Operation::kReplaceModel, 1, [&] {
      WriteBytes(models_ / "saved", "v 1 1 1\n");
      fs::rename(models_ / "saved", models_ / "box.obj");
    });
  });
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
  EXPECT_EQ(ExitCode(report.outcome), 2);
  EXPECT_EQ(report.failure, "the model changed while it was being rewritten");
  EXPECT_EQ(ReadBytes(models_ / "box.obj"), "v 1 1 1\n");
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
  EXPECT_EQ(CountFiles(models_.path()), 1u);
}

TEST_F(SeparationPassRaceTest, AModelSwappedForALinkLeadsNowhere) {
  WriteBytes(models_ / "box.obj", kModel);
  WriteBytes(temp_ / "secret", "root only\n");
  fs::permissions(temp_ / "secret", fs::perms(0600));
  const PassReport report = RunWith([&](testing::FaultPlatform& platform) {
    platform.Before(testing::Operation::kReplaceModel, 1, [&] {
      fs::remove(models_ / "box.obj");
      fs::create_symlink(temp_ / "secret", models_ / "box.obj");
    });
  });
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced);
  EXPECT_EQ(report.failure, "the model changed while it was being rewritten");
  EXPECT_EQ(ReadBytes(temp_ / "secret"), "root only\n");
  EXPECT_TRUE(fs::is_symlink(models_ / "box.obj"));
  fs::remove(temp_ / "secret");
  EXPECT_EQ(CountFiles(temp_.path()), 0u);
}

// Whoever owns the temporary folder puts a file of their own under the
// temporary file's name: before the writer opens it, or while it writes.
TEST_F(SeparationPassRaceTest, AStrangersTemporaryFileIsNeverPutInPlace) {
  const struct {
    testing::Operation when;
    std::size_t call;
    PassOutcome outcome;
  } cases[] = {
      {testing::Operation::kOpenForWriting, 1, PassOutcome::kIncomplete},
      {testing::Operation::kWrite, 2, PassOutcome::kCompleted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.when));
    WriteBytes(models_ / "box.obj", kModel);
    std::u16string temp_path;
    const PassReport report = RunWith([&](testing::FaultPlatform& platform) {
      platform.Before(c.when, c.call, [&] {
        const fs::path temp = fs::directory_iterator(temp_.path())->path();
        fs::rename(temp, temp_ / "moved");
        WriteBytes(temp, "o theirs\n");
      });
    });
    EXPECT_EQ(report.outcome, c.outcome) << report.failure;
    EXPECT_EQ(ReadBytes(models_ / "box.obj"),
              c.outcome == PassOutcome::kCompleted ? kRewritten : kModel);
    // Their file is theirs to remove. (Opened for writing, it was emptied:
    // a file that a stranger made writable for us and put under our name.)
    EXPECT_TRUE(fs::exists(fs::path(report.temp_path)));
    if (c.outcome == PassOutcome::kCompleted) {
      EXPECT_EQ(ReadBytes(fs::path(report.temp_path)), "o theirs\n");
    } else {
      EXPECT_EQ(report.failure, "the temporary file was replaced by another file");
    }
    fs::remove(fs::path(report.temp_path));
    fs::remove(temp_ / "moved");
  }
}

// A signal ends the run with 128 plus its number, and takes the temporary
// file with it; the model is wholly old, or wholly new once it was replaced.
TEST_F(SeparationPassRaceTest, ASignalLeavesNothingBehind) {
  const struct {
    int signal_number;
    testing::Operation when;
    const char* model;
  } cases[] = {
      {SIGINT, testing::Operation::kWrite, kModel},
      {SIGTERM, testing::Operation::kReplaceModel, kModel},
      {SIGHUP, testing::Operation::kRemoveFile, kRewritten},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    WriteBytes(models_ / "box.obj", kModel);
    EXPECT_EXIT(RunWith([&](testing::FaultPlatform& platform) {
                  platform.Before(c.when, 1, [&] { ::raise(c.signal_number); });
                }),
                ::testing::ExitedWithCode(128 + c.signal_number), "");
    EXPECT_EQ(ReadBytes(models_ / "box.obj"), c.model);
    EXPECT_EQ(CountFiles(temp_.path()), 0u);
    EXPECT_EQ(CountFiles(models_.path()), 1u);
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace sgsplit
