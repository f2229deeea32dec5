#include "app/batch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/quote_name.h"
#include "tests/test_util.h"

namespace sgsplit {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;

// What a missing file is reported as: ENOENT, or ERROR_FILE_NOT_FOUND.
constexpr std::uint32_t kNoSuchFile = 2;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string Contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

struct Outcome {
  int status;
  std::string out, err;
};

class BatchTest : public ::testing::Test {
 protected:
  Outcome Run(const std::vector<std::string>& words) {
    std::vector<BatchArgument> arguments;
    arguments.reserve(words.size());
    for (const std::string& word : words)
      arguments.push_back({std::filesystem::path(word).u16string(), word});
    const std::unique_ptr<std::FILE, FileCloser> out(std::tmpfile()), err(std::tmpfile());
    const int status = RunBatch(*platform_, arguments, ShowName, out.get(), err.get());
    return {status, Contents(out.get()), Contents(err.get())};
  }
  std::string File(const char* name) { return (dir_ / name).string(); }

  std::unique_ptr<Platform> platform_ = NewSystemPlatform();
  testing::ScratchDir dir_;
};

// Whether `text` starts with `start`; an empty `start` asks for no text at all.
bool StartsOrIsEmpty(const std::string& text, const std::string& start) {
  return start.empty() ? text.empty() : text.starts_with(start);
}

TEST_F(BatchTest, UsageAndOptions) {
  const struct {
    std::vector<std::string> words;
    int status;
    const char* out_start;  // "" for nothing at all
    const char* err_start;
  } cases[] = {
      {{}, kExitUsage, "", "Usage: sgsplit-batch FILE..."},
      {{"--help"}, 0, "Usage: sgsplit-batch FILE...", ""},
      {{"-h"}, 0, "Usage: sgsplit-batch FILE...", ""},
      {{"--version"}, 0, "sgsplit-batch ", ""},
      {{"--frobnicate", "a.obj"}, kExitUsage, "", "sgsplit-batch: unknown option '--frobnicate'"},
      // A word that could drive the terminal comes quoted, on one line.
      {{"--\x1B[2J\n"},
       kExitUsage,
       "",
       "sgsplit-batch: unknown option '--'$'\\033''[2J'$'\\n'\nTry 'sgsplit-batch --help'"},
      {{"--"}, kExitUsage, "", "Usage: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "(none)" : c.words[0]);
    const Outcome outcome = Run(c.words);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_TRUE(StartsOrIsEmpty(outcome.out, c.out_start)) << outcome.out;
    EXPECT_TRUE(StartsOrIsEmpty(outcome.err, c.err_start)) << outcome.err;
  }
}

// The help or the version that cannot be written (a full disk, a closed
// pipe; here a stream open only for reading) is no success.
TEST_F(BatchTest, HelpOrVersionThatCannotBeWrittenFails) {
  WriteBytes(File("read-only.txt"), "");
  for (const char* word : {"--help", "--version"}) {
    SCOPED_TRACE(word);
    const std::unique_ptr<std::FILE, FileCloser> out(
        std::fopen(File("read-only.txt").c_str(), "r")),
        err(std::tmpfile());
    ASSERT_TRUE(out && err);
    const std::vector<BatchArgument> arguments = {{u"", word}};
    EXPECT_EQ(RunBatch(*platform_, arguments, ShowName, out.get(), err.get()), 1);
    EXPECT_TRUE(Contents(err.get()).starts_with("sgsplit-batch: cannot write to standard output"))
        << Contents(err.get());
  }
}

#ifndef _WIN32
// Text that the stream takes into its buffer and that fails only when it is
// flushed, as on a full disk, is no success either.
TEST_F(BatchTest, HelpOrVersionThatCannotBeFlushedFails) {
  for (const char* word : {"--help", "--version"}) {
    SCOPED_TRACE(word);
    const std::unique_ptr<std::FILE, FileCloser> out(std::fopen("/dev/full", "w")),
        err(std::tmpfile());
    ASSERT_TRUE(out && err);
    const std::vector<BatchArgument> arguments = {{u"", word}};
    EXPECT_EQ(RunBatch(*platform_, arguments, ShowName, out.get(), err.get()), 1);
    EXPECT_EQ(Contents(err.get()),
              "sgsplit-batch: cannot write to standard output: No space left on device\n");
  }
}
#endif

TEST_F(BatchTest, RewritesEachFileAndReportsEachFailure) {
  WriteBytes(File("a.obj"), "s 1\nf 1 2 3\n");
  WriteBytes(File("-b.obj"), "g x\nv 1 2 3\n");
  const Outcome outcome = Run({File("a.obj"), File("missing.obj"), "--", File("-b.obj"), ""});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "sgsplit-batch: " + File("missing.obj") +
                             ": cannot open for reading: " + platform_->ErrorText(kNoSuchFile) +
                             "\n"
                             "sgsplit-batch: empty file name\n");
  EXPECT_EQ(ReadBytes(File("a.obj")),
            "g object1\r\no object1\r\nusemtl object1\r\ns 1\r\nf 1 2 3\r\n");
  EXPECT_EQ(ReadBytes(File("-b.obj")), "v 1 2 3\r\n");
}

// An empty name alone fails the run; a lone dash is a file name.
TEST_F(BatchTest, AnEmptyNameOrADashAloneIsAFileName) {
  const Outcome empty = Run({""});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "sgsplit-batch: empty file name\n");
  const Outcome dash = Run({"-"});
  EXPECT_EQ(dash.status, 1);
  EXPECT_TRUE(dash.err.starts_with("sgsplit-batch: -: cannot open for reading: ")) << dash.err;
}

}  // namespace
}  // namespace sgsplit
