// Huge and hostile inputs on the real system: a model past 4 GiB, a line
// over the limit, a file of NUL bytes, a model another program writes to
// meanwhile, read-only models and a full disk. These take minutes, not
// seconds, and carry the ctest label "large".
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "app/separation_pass.h"
#include "platform/posix_file_names.h"
#include "tests/fault_platform.h"
#include "tests/test_util.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kBlock = 4096;
constexpr uid_t kNobody = 65534;

// Why a test that needs `bytes` of free disk in `folder` cannot run there, or
// empty when it can. CI has the room; a smaller machine skips the test rather
// than failing it.
std::string LackOfRoom(const fs::path& folder, std::uint64_t bytes) {
  std::error_code error;
  const fs::space_info space = fs::space(folder, error);
  if (!error && space.available >= bytes) return {};
  std::ostringstream why;
  why << std::fixed << std::setprecision(1) << "needs " << static_cast<double>(bytes) / 1e9
      << " GB free in " << folder.string() << ", has ";
  if (error)
    why << "unknown (" << error.message() << ")";
  else
    why << static_cast<double>(space.available) / 1e9 << " GB";
  return why.str();
}

struct BatchResult {
  int status = -1;
  std::string errors;  // what it wrote to standard error
};

// Runs sgsplit-batch on `model` as a process of its own, with `temp` as its
// temporary folder, as `uid` when that is not the current user.
BatchResult RunBatch(const fs::path& model, const fs::path& temp, uid_t uid = ::geteuid()) {
  const ScratchDir out;
  const fs::path errors = out / "stderr";
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(120);
    if (uid != ::geteuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(121);
    ::setenv("TMPDIR", (temp.string() + "/").c_str(), 1);
    ::execl(SGSPLIT_BATCH, "sgsplit-batch", model.c_str(), static_cast<char*>(nullptr));
    ::_exit(122);
  }
  BatchResult result;
  int status = 0;
  if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  result.errors = ReadBytes(errors);
  return result;
}

// Compares a file with expected content handed over piece by piece, without
// holding the file in memory.
class StreamCompare {
 public:
  explicit StreamCompare(const fs::path& file) : in_(file, std::ios::binary) {}
  // False at the first difference; later pieces are then not compared.
  bool Next(const std::string& expected) {
    if (!same_) return false;
    buffer_.resize(expected.size());
    in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    same_ = in_.gcount() == static_cast<std::streamsize>(expected.size()) && buffer_ == expected;
    if (!same_) std::fprintf(stderr, "first difference at or after byte %llu\n", offset());
    offset_ += expected.size();
    return same_;
  }
  // True when everything matched and the file has nothing more.
  bool AtEnd() { return same_ && in_.peek() == std::char_traits<char>::eof(); }

 private:
  unsigned long long offset() const { return static_cast<unsigned long long>(offset_); }
  std::ifstream in_;
  std::string buffer_;
  std::uint64_t offset_ = 0;
  bool same_ = true;
};

// Mounts for a test, when the system lets this process; unmounted on the way out.
class ScopedMount {
 public:
  ScopedMount(const char* source, const fs::path& target, const char* type, unsigned long flags,
              const char* options) {
    mounted_ = ::mount(source, target.c_str(), type, flags, options) == 0;
    if (mounted_) target_ = target;
  }
  ~ScopedMount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path target_;
  bool mounted_ = false;
};

// Marks a file immutable, which binds even the superuser; cleared on the way out.
class ScopedImmutable {
 public:
  explicit ScopedImmutable(const fs::path& file) : fd_(::open(file.c_str(), O_RDONLY)) {
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~ScopedImmutable() {
    int flags = 0;
    if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedImmutable(const ScopedImmutable&) = delete;
  ScopedImmutable& operator=(const ScopedImmutable&) = delete;
  bool set() const { return set_; }

 private:
  int fd_;
  bool set_ = false;
};

// --- A model past 4 GiB ----------------------------------------------------

// One MiB of ordinary model text: a group line, a smoothing group, a material
// and long vertex lines ending in CR LF, some of which straddle block edges.
std::string InputChunk() {
  std::string chunk = "g part\ns 1\nusemtl m\n";
  std::string vertex = "v";
  while (vertex.size() < 1900) vertex += " 0.123456789";
  vertex += "\r\n";
  while (kMiB - chunk.size() >= vertex.size() + 8) chunk += vertex;
  chunk += "v " + std::string(kMiB - chunk.size() - 4, '7') + "\r\n";
  return chunk;
}

// What chunk number `n` (from 1) becomes: its body is the same in every chunk.
std::string ExpectedChunkHead(std::uint64_t n) {
  const std::string number = std::to_string(n);
  return "g object" + number + "\r\no object" + number + "\r\nusemtl object" + number +
         "\r\ns 1\r\nusemtl m\r\n";
}

TEST(HostileInputTest, ModelPast4GiBIsRewrittenExactly) {
  const std::uint64_t chunks = 4 * 1024 + 1;  // ends 1 MiB past 4 GiB, at a block edge
  // The model, the temporary file and the result beside the model, each a
  // little over the model's size, at the same time.
  if (const std::string why = LackOfRoom(fs::temp_directory_path(), 3 * chunks * kMiB + 64 * kMiB);
      !why.empty())
    GTEST_SKIP() << why;
  const ScratchDir models;
  const ScratchDir temp;
  const fs::path model = models / "huge.obj";
  const std::string chunk = InputChunk();
  ASSERT_EQ(chunk.size(), kMiB);
  const std::string body = chunk.substr(std::string("g part\ns 1\nusemtl m\n").size());

  // Past 4 GiB: a CR LF whose CR ends a block, a lone CR that ends a block,
  // a last smoothing group, then the end of the input at 0x1A, with more
  // lines after it.
  std::string tail = "#" + std::string(kBlock - 2, 'a') + "\r\n";
  tail += "f" + std::string(2 * kBlock - 1 - tail.size() - 1, 'b') + "\rv 1 2 3\n";
  tail += "s last\n\x1Ag junk\ns 9\n";
  const std::uint64_t base = chunks * kMiB;
  ASSERT_GT(base, std::uint64_t{1} << 32);
  ASSERT_EQ(base % kBlock, 0u);
  ASSERT_EQ(tail[kBlock - 1], '\r');
  ASSERT_EQ(tail[2 * kBlock - 1], '\r');

  {
    std::string run;
    for (int i = 0; i < 16; ++i) run += chunk;
    std::ofstream out(model, std::ios::binary);
    for (std::uint64_t i = 0; i < chunks / 16; ++i)
      out.write(run.data(), static_cast<std::streamsize>(run.size()));
    for (std::uint64_t i = 0; i < chunks % 16; ++i)
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good());
  }
  ASSERT_EQ(fs::file_size(model), base + tail.size());

  // What follows the mark would be lost: the model stays, and the mark's
  // place is told in full, past 4 GiB.
  const std::uint64_t mark = base + tail.find('\x1A');
  const BatchResult refused = RunBatch(model, temp.path());
  EXPECT_EQ(refused.status, 1) << refused.errors;
  EXPECT_NE(
      refused.errors.find("the model holds other bytes after an end-of-file mark (0x1A) at byte " +
                          std::to_string(mark) + "; rewriting would drop them"),
      std::string::npos)
      << refused.errors;
  ASSERT_EQ(fs::file_size(model), base + tail.size());
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);

  // Marks alone after the first are padding, and the model is rewritten.
  fs::resize_file(model, mark);
  {
    std::ofstream out(model, std::ios::binary | std::ios::app);
    out << "\x1A\x1A\x1A";
  }
  const BatchResult result = RunBatch(model, temp.path());
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  EXPECT_EQ(testing::CountFiles(models.path()), 1u);

  StreamCompare compare(model);
  for (std::uint64_t n = 1; n <= chunks; ++n)
    ASSERT_TRUE(compare.Next(ExpectedChunkHead(n)) && compare.Next(body)) << "chunk " << n;
  const std::string last = std::to_string(chunks + 1);
  EXPECT_TRUE(compare.Next("#" + std::string(kBlock - 2, 'a') + "\r\n"));
  EXPECT_TRUE(compare.Next("f" + std::string(kBlock - 3, 'b') + "\rv 1 2 3\r\n"));
  EXPECT_TRUE(compare.Next("g object" + last + "\r\no object" + last + "\r\nusemtl object" + last +
                           "\r\ns last\r\n"));
  EXPECT_TRUE(compare.AtEnd());
}

// --- Long lines and NUL bytes -----------------------------------------------

class HostilePassTest : public ::testing::Test {
 protected:
  HostilePassTest() : system_(NewSystemPlatform()), temp_folder_(temp_.path()) {}

  PassReport Run(const fs::path& file, const PassOptions& options = {}) {
    testing::ScriptedChoice platform(*system_, WidenFileName(file.string()));
    return SeparationPass(platform, options);
  }

  std::unique_ptr<Platform> system_;
  ScratchDir models_;
  ScratchDir temp_;
  testing::ScopedTempFolder temp_folder_;
};

TEST_F(HostilePassTest, LineOverTheLimitLeavesTheModel) {
  const std::size_t limit = 16 * kMiB + 5;  // many read blocks and staging buffers long
  std::string at_limit(limit, '1');
  at_limit.front() = 'f';
  const fs::path model = models_ / "long.obj";

  // A line of exactly the limit passes.
  WriteBytes(model, "s 1\n" + at_limit + "\n" + at_limit);
  PassReport report = Run(model, {.line_limit = limit});
  EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
  EXPECT_TRUE(ReadBytes(model) == "g object1\r\no object1\r\nusemtl object1\r\ns 1\r\n" + at_limit +
                                      "\r\n" + at_limit + "\r\n");

  // One character more and nothing is replaced.
  const std::string over = "s 1\n" + at_limit + "\n" + at_limit + "2\nf 1 2 3\n";
  WriteBytes(model, over);
  report = Run(model, {.line_limit = limit});
  EXPECT_EQ(report.outcome, PassOutcome::kIncomplete);
  EXPECT_EQ(ExitCode(report.outcome), 1);
  EXPECT_EQ(report.failure, "a line is too long");
  EXPECT_TRUE(ReadBytes(model) == over);
  EXPECT_EQ(testing::CountFiles(temp_.path()), 0u);
}

TEST_F(HostilePassTest, FileOfOnlyNulBytesIsOneLine) {
  const fs::path model = models_ / "zeros.obj";
  const std::uint64_t size = 64 * kMiB;
  if (const std::string why = LackOfRoom(models_.path().parent_path(), 3 * size + 16 * kMiB);
      !why.empty())
    GTEST_SKIP() << why;
  {
    std::ofstream out(model, std::ios::binary);
    const std::string zeros(kMiB, '\0');
    for (std::uint64_t i = 0; i < size / kMiB; ++i)
      out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  const PassReport report = Run(model);
  EXPECT_EQ(report.outcome, PassOutcome::kCompleted) << report.failure;
  // U+0000 is an ordinary first character: the line passes through.
  ASSERT_EQ(fs::file_size(model), size + 2);
  StreamCompare compare(model);
  for (std::uint64_t i = 0; i < size / kMiB; ++i)
    ASSERT_TRUE(compare.Next(std::string(kMiB, '\0')));
  EXPECT_TRUE(compare.Next("\r\n"));
  EXPECT_TRUE(compare.AtEnd());
  EXPECT_EQ(testing::CountFiles(temp_.path()), 0u);
}

// --- Another program writes meanwhile ---------------------------------------

TEST_F(HostilePassTest, ModelThatAnotherProgramAppendsToMeanwhile) {
  const fs::path model = models_ / "busy.obj";
  constexpr int kOwnLines = 200000;
  constexpr int kAppended = 50000;
  std::string own = "s 1\n";
  for (int i = 0; i < kOwnLines; ++i) own += "f 1 2 3\n";
  WriteBytes(model, own);

  // The other program holds the model open and appends a numbered line at a
  // time; it has written its first line before the pass starts.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t writer = ::fork();
  if (writer == 0) {
    const int fd = ::open(model.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) ::_exit(1);
    for (int i = 0; i < kAppended; ++i) {
      const std::string line = "v " + std::to_string(i) + " 0 0\n";
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(2);
      if (i == 0 && ::write(ready[1], "x", 1) != 1) ::_exit(3);
    }
    ::_exit(0);
  }
  ASSERT_GT(writer, 0);
  ::close(ready[1]);
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  ::close(ready[0]);

  const PassReport report = Run(model);
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // What was read is no longer the model: the result is not put in place,
  // and the model holds all that the other program wrote, untouched.
  EXPECT_EQ(report.outcome, PassOutcome::kNotReplaced) << report.failure;
  EXPECT_EQ(report.failure, "the model changed while it was being rewritten");
  EXPECT_EQ(testing::CountFiles(temp_.path()), 0u);
  EXPECT_EQ(testing::CountFiles(models_.path()), 1u);
  std::string expected = own;
  for (int i = 0; i < kAppended; ++i) expected += "v " + std::to_string(i) + " 0 0\n";
  EXPECT_TRUE(ReadBytes(model) == expected);
}

// --- Read-only models -------------------------------------------------------

const char kModel[] = "v 0 0 0\ng box\ns 1\nf 1 2 3\n";

TEST(HostileReadOnlyTest, ImmutableModelIsNotReplaced) {
  const ScratchDir models;
  const ScratchDir temp;
  const fs::path model = models / "box.obj";
  WriteBytes(model, kModel);
  const ScopedImmutable immutable(model);
  if (!immutable.set()) GTEST_SKIP() << "this file system or user cannot mark files immutable";
  const BatchResult result = RunBatch(model, temp.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.errors.find("box.obj: cannot replace the file: Operation not permitted"),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(ReadBytes(model), kModel);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  EXPECT_EQ(testing::CountFiles(models.path()), 1u);
}

TEST(HostileReadOnlyTest, ModelWithoutWritePermissionIsNotReplaced) {
  // Permission bits do not bind the superuser, so the program runs as nobody.
  const uid_t user = ::geteuid() == 0 ? kNobody : ::geteuid();
  const ScratchDir models;
  const ScratchDir temp;
  const fs::path model = models / "box.obj";
  WriteBytes(model, kModel);
  fs::permissions(model, fs::perms(0444));
  // The folders are open to all: only the file itself says no.
  fs::permissions(models.path(), fs::perms::all);
  fs::permissions(temp.path(), fs::perms::all);
  const BatchResult result = RunBatch(model, temp.path(), user);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.errors.find("box.obj: cannot replace the file: Permission denied"),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(ReadBytes(model), kModel);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  EXPECT_EQ(testing::CountFiles(models.path()), 1u);
}

TEST(HostileReadOnlyTest, ModelOnAReadOnlyMountIsNotReplaced) {
  const ScratchDir models;
  const ScratchDir temp;
  const fs::path model = models / "box.obj";
  WriteBytes(model, kModel);
  const ScopedMount bind(models.path().c_str(), models.path(), nullptr, MS_BIND, nullptr);
  if (!bind.mounted()) GTEST_SKIP() << "mounting is not allowed here: " << std::strerror(errno);
  const ScopedMount read_only(nullptr, models.path(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                              nullptr);
  ASSERT_TRUE(read_only.mounted()) << std::strerror(errno);
  const BatchResult result = RunBatch(model, temp.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.errors.find("box.obj: cannot replace the file: Read-only file system"),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(ReadBytes(model), kModel);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
}

// --- A full disk ------------------------------------------------------------

std::string ModelOfSize(std::size_t size) {
  std::string model = "s 1\n";
  while (model.size() < size) model += "f 1/1/1 2/2/2 3/3/3\n";
  return model;
}

TEST(HostileFullDiskTest, TemporaryFileOnAFullDiskLeavesTheModel) {
  const ScratchDir models;
  const ScratchDir temp;
  const fs::path model = models / "box.obj";
  const std::string content = ModelOfSize(2 * kMiB);
  WriteBytes(model, content);
  const ScopedMount small(  // room for half the rewritten model
      "tmpfs", temp.path(), "tmpfs", 0, "size=1m,mode=0777");
  if (small.mounted()) {
    const BatchResult result = RunBatch(model, temp.path());
    EXPECT_EQ(result.status, 1);
    // The file is gone, and the reason does not say which disk is full.
    const std::string told =
        "cannot write the temporary file: No space left on device; "
        "the temporary folder is " +
        temp.path().string() + "/";
    EXPECT_NE(result.errors.find(told), std::string::npos) << result.errors;
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  } else {
    // Where mounting is not allowed, a platform whose writes fall short once
    // the first megabyte is on disk stands in for the full disk.
    const auto system = NewSystemPlatform();
    testing::ScriptedChoice chosen(*system, WidenFileName(model.string()));
    testing::FaultPlatform full(chosen);
    full.Arm(testing::Fault::kWriteShort, 1000, true);
    const testing::ScopedTempFolder temp_folder(temp.path());
    const PassReport report = SeparationPass(full);
    EXPECT_EQ(report.outcome, PassOutcome::kIncomplete);
    EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  }
  EXPECT_TRUE(ReadBytes(model) == content);
  EXPECT_EQ(testing::CountFiles(models.path()), 1u);
}

TEST(HostileFullDiskTest, ModelOnAFullDiskIsNotReplaced) {
  const ScratchDir models;
  const ScratchDir temp;
  const ScopedMount small("tmpfs", models.path(), "tmpfs", 0, "size=3m,mode=0777");
  if (!small.mounted()) GTEST_SKIP() << "mounting is not allowed here: " << std::strerror(errno);
  // The model fits, its rewritten copy beside it does not.
  const fs::path model = models / "box.obj";
  const std::string content = ModelOfSize(2 * kMiB);
  WriteBytes(model, content);
  const BatchResult result = RunBatch(model, temp.path());
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.errors.find("cannot replace the file: No space left on device"),
            std::string::npos)
      << result.errors;
  EXPECT_TRUE(ReadBytes(model) == content);
  EXPECT_EQ(testing::CountFiles(temp.path()), 0u);
  EXPECT_EQ(testing::CountFiles(models.path()), 1u);
}

}  // namespace
}  // namespace sgsplit
