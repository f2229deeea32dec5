#include <fcntl.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <initializer_list>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/batch.h"
#include "app/quote_name.h"
#include "app/separation_pass.h"
#include "platform/platform.h"
#include "platform/posix_fd.h"
#include "platform/posix_file_names.h"
#include "tests/held_up_write.h"
#include "tests/test_util.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchDir;
using testing::WriteBytes;

// Runs `body` in a child process and answers its exit code: 0 when the body
// returned true, 1 when it returned false, or what ended the process
// otherwise; -1 when it did not exit, as when it still ran after ten seconds.
int ExitCodeInChild(const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  if (child <= 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs `body` in a child process; true when the body returned true.
bool InChild(const std::function<bool()>& body) { return ExitCodeInChild(body) == 0; }

// AddressSanitizer's own allocator ends a process that runs out of memory,
// so the tests of running out skip themselves under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Takes all the memory the process may still have, as a limit on its size
// does once it is reached: from then on every request for a kilobyte or more
// fails. For a child process, which ends without giving it back; each block
// holds the address of the one before. Answers the last block, null when
// the limit could not be set.
void* UseUpMemory() {
  long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const auto size = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{size, size};
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) return nullptr;
  void* last = nullptr;
  while (void* block = std::malloc(1024)) {
    *static_cast<void**>(block) = last;
    last = block;
  }
  return last;
}

// Runs `body` in a child process in which the system call `number` on the
// descriptor `fd` (on any descriptor when `fd` is negative) does nothing
// and fails with `error`, or returns 0 for error 0, as a file system may
// answer a write that it takes nothing of. True when the body returned
// true, as for InChild.
bool WhileCallsAnswer(long number, int fd, int error, const std::function<bool()>& body) {
  return InChild([&] {
    // The low half of the first argument: this runs on little-endian machines.
    const auto fd_test = fd < 0 ? BPF_JGE : BPF_JEQ;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | fd_test | BPF_K, static_cast<__u32>(fd < 0 ? 0 : fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<__u32>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 && body();
  });
}

// Runs `body` in a child process in which each of the system calls `calls`
// waits until `meddle(n)` has run, n counting them from 0: another program
// acting in an instant, such as the one between the last look at the model
// and the rename, that no real program can be timed to hit. The call then
// goes ahead when `meddle` returns 0, or fails with what it returns.
// Answers the exit code, as ExitCodeInChild.
int WithMeddlingAt(std::initializer_list<long> calls, const std::function<int(int n)>& meddle,
                   const std::function<bool()>& body) {
  return ExitCodeInChild([&] {
    std::promise<int> listener;
    // Started before the filter, so that its own calls go unfiltered.
    std::thread([&meddle, fd = listener.get_future()]() mutable {
      const int heard = fd.get();
      for (int n = 0;; ++n) {
        seccomp_notif call{};
        if (::ioctl(heard, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0) return;
        seccomp_notif_resp answer{};
        answer.id = call.id;
        answer.error = -meddle(n);
        if (answer.error == 0) answer.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ::ioctl(heard, SECCOMP_IOCTL_NOTIF_SEND, &answer);
      }
    }).detach();
    // Each of the calls jumps to the last statement; any other call falls
    // through to the one before it.
    std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (const long number : calls) {
      const auto to_last = static_cast<std::uint8_t>(calls.size() - (filter.size() - 1));
      filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(number), to_last, 0));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    const int fd = static_cast<int>(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                              SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
    if (fd < 0) return false;
    listener.set_value(fd);
    return body();
  });
}

// Runs `body` in a child process that is the superuser of a user namespace
// of its own, as in a rootless container: IDs 0 to 65535 in it are 100000 to
// 165535 outside, and every other ID outside shows in it as the overflow ID
// (nobody's). Answers the exit code, as ExitCodeInChild, and 2 where no such
// namespace can be made.
int ExitCodeInUserNamespace(const std::function<bool()>& body) {
  int ends[4];
  if (::pipe(ends) != 0) return -1;
  if (::pipe(ends + 2) != 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return -1;
  }
  const UniqueFd ready_in(ends[0]), ready_out(ends[1]), go_in(ends[2]), go_out(ends[3]);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    char byte = ::unshare(CLONE_NEWUSER) == 0 ? 1 : 0;
    if (::write(ready_out.get(), &byte, 1) != 1 || byte == 0) ::_exit(2);
    if (::read(go_in.get(), &byte, 1) != 1 || byte == 0) ::_exit(2);
    if (::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) ::_exit(2);
    ::_exit(body() ? 0 : 1);
  }
  if (child < 0) return -1;
  char byte = 0;
  if (::read(ready_in.get(), &byte, 1) == 1 && byte == 1) {
    const std::string proc = "/proc/" + std::to_string(child) + "/";
    for (const char* map : {"uid_map", "gid_map"}) {
      std::FILE* file = std::fopen((proc + map).c_str(), "w");
      const bool written = file != nullptr && std::fputs("0 100000 65536\n", file) >= 0;
      if (file == nullptr || std::fclose(file) != 0 || !written) byte = 0;
    }
  }
  if (::write(go_out.get(), &byte, 1) != 1) byte = 0;
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = NewSystemPlatform();
  ScratchDir dir_;
};

TEST_F(PosixPlatformTest, TempFolderFollowsTmpdir) {
  const struct {
    const char* tmpdir;  // null: unset
    std::u16string folder;
  } cases[] = {{nullptr, u"/tmp/"}, {"", u"/tmp/"}, {"/var/tmp", u"/var/tmp/"}, {"/x/", u"/x/"}};
  for (const auto& c : cases) {
    const testing::ScopedEnv env("TMPDIR", c.tmpdir);
    std::u16string folder;
    ASSERT_TRUE(platform_->GetTempFolder(&folder));
    EXPECT_EQ(folder, c.folder);
  }
  // A folder too long for a temporary name in it is still the folder: making
  // the file there is what fails, as a name too long.
  const std::string long_folder = dir_.path().string() + "/" + std::string(255, 'd');
  fs::create_directory(long_folder);
  const testing::ScopedEnv env("TMPDIR", long_folder.c_str());
  std::u16string folder, path;
  ASSERT_TRUE(platform_->GetTempFolder(&folder));
  EXPECT_EQ(folder, testing::Utf16Path(long_folder) + u"/");
  EXPECT_EQ(platform_->CreateTempFile(folder, &path), FileHandle::kInvalid);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ENAMETOOLONG));
  EXPECT_TRUE(fs::is_empty(long_folder));
}

TEST_F(PosixPlatformTest, TempFilesAreNewPrivateUnguessableAndHeld) {
  const std::u16string folder = testing::Utf16Path(dir_.path()) + u"/";
  std::u16string first, second;
  const FileHandle held = platform_->CreateTempFile(folder, &first);
  const FileHandle other = platform_->CreateTempFile(folder, &second);
  ASSERT_NE(held, FileHandle::kInvalid);
  ASSERT_NE(other, FileHandle::kInvalid);
  EXPECT_NE(first, second);
  for (const auto& path : {first, second}) {
    const fs::path file(path);
    EXPECT_EQ(file.parent_path(), dir_.path());
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex("obj[0-9A-Za-z]{10}\\.tmp")))
        << file;
    EXPECT_EQ(fs::file_size(file), 0u);
    struct stat st;
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }

  // Whoever can write the folder swaps the name for a file of their own: the
  // handle still reads the file made, and removing leaves theirs alone.
  WriteBytes(fs::path(first), "made");
  fs::rename(fs::path(first), dir_ / "moved");
  WriteBytes(fs::path(first), "theirs");
  char bytes[8] = {};
  std::uint32_t got = 0;
  ASSERT_TRUE(platform_->Read(held, bytes, sizeof bytes, &got));
  EXPECT_EQ(std::string(bytes, got), "made");
  EXPECT_FALSE(platform_->RemoveTempFile(first, held));
  EXPECT_EQ(ReadBytes(fs::path(first)), "theirs");
  EXPECT_TRUE(platform_->RemoveTempFile(second, other));
  EXPECT_FALSE(fs::exists(fs::path(second)));

  // Whoever can write the folder removes the file first: nothing is left
  // behind, so there is nothing to report.
  std::u16string third;
  const FileHandle removed = platform_->CreateTempFile(folder, &third);
  ASSERT_NE(removed, FileHandle::kInvalid);
  fs::remove(fs::path(third));
  EXPECT_TRUE(platform_->RemoveTempFile(third, removed));

  EXPECT_EQ(platform_->CreateTempFile(u"/no/such/folder/", &first), FileHandle::kInvalid);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(ENOENT));
}

// Where the system's random source is refused (a sandbox that does not know
// the call), no name can be made that nobody could guess: the run says so
// rather than asking again for ever.
TEST_F(PosixPlatformTest, NoRandomSourceIsAFailureNotAHang) {
  const std::u16string folder = testing::Utf16Path(dir_.path()) + u"/";
  EXPECT_TRUE(WhileCallsAnswer(SYS_getrandom, -1, ENOSYS, [&] {
    std::u16string path;
    return platform_->CreateTempFile(folder, &path) == FileHandle::kInvalid &&
           platform_->LastError() == static_cast<std::uint32_t>(ENOSYS);
  }));
  EXPECT_EQ(testing::CountFiles(dir_.path()), 0u);
}

// A temporary file that cannot be made writable for its owner (made under a
// umask of 222, on a file system that refuses the change) is removed again,
// and the failure gives the system's reason.
TEST_F(PosixPlatformTest, ATemporaryFileThatCannotBeMadeWritableIsRemoved) {
  const std::u16string folder = testing::Utf16Path(dir_.path()) + u"/";
  EXPECT_TRUE(WhileCallsAnswer(SYS_fchmod, -1, EPERM, [&] {
    ::umask(0222);
    std::u16string path;
    return platform_->CreateTempFile(folder, &path) == FileHandle::kInvalid &&
           platform_->LastError() == static_cast<std::uint32_t>(EPERM);
  }));
  EXPECT_EQ(testing::CountFiles(dir_.path()), 0u);
}

// Whoever can write the folder may put a link, or a second name of another
// file, where the writer opens: it neither follows the one nor empties the
// file under its other names.
TEST_F(PosixPlatformTest, WritingNeitherFollowsALinkNorEmptiesAFileWithOtherNames) {
  const struct {
    const char* name;
    void (*put)(const fs::path& file, const fs::path& name);
    int error;
  } cases[] = {
      {"symbolic link",
       [](const fs::path& file, const fs::path& name) { fs::create_symlink(file, name); }, ELOOP},
      {"second name",
       [](const fs::path& file, const fs::path& name) { fs::create_hard_link(file, name); },
       EMLINK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchDir dir;
    WriteBytes(dir.path() / "victim", "keep");
    c.put(dir.path() / "victim", dir.path() / "obj.tmp");
    const std::string name = (dir.path() / "obj.tmp").string();
    EXPECT_EQ(platform_->OpenForWriting({name.c_str()}), FileHandle::kInvalid);
    EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(c.error));
    EXPECT_EQ(ReadBytes(dir.path() / "victim"), "keep");
  }
}

// Nor does it wait for ever on a FIFO that nobody reads.
TEST_F(PosixPlatformTest, WritingDoesNotWaitOnAFifo) {
  const fs::path fifo = dir_ / "fifo.tmp";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(InChild([&] {
    return platform_->OpenForWriting({fifo.c_str()}) == FileHandle::kInvalid &&
           platform_->LastError() == static_cast<std::uint32_t>(ENXIO);
  }));
}

TEST_F(PosixPlatformTest, WritingEmptiesOnlyAFileThatHoldsBytes) {
  const fs::path full = dir_ / "full.tmp", empty = dir_ / "empty.tmp", fresh = dir_ / "new.tmp";
  WriteBytes(full, "old bytes");
  WriteBytes(empty, "");
  // An empty file is not truncated: a truncate would change its times and,
  // on ext4, have the result flushed to the disk when it is closed.
  const struct timespec past[2] = {{1'000'000, 0}, {1'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, empty.c_str(), past, 0), 0);
  for (const fs::path& file : {full, empty, fresh, fs::path("/dev/null")}) {
    SCOPED_TRACE(file);
    const FileHandle out = platform_->OpenForWriting({file.c_str()});
    ASSERT_NE(out, FileHandle::kInvalid);
    EXPECT_TRUE(platform_->Close(out));
    if (file != "/dev/null") {
      EXPECT_EQ(ReadBytes(file), "");
    }
  }
  struct stat st;
  ASSERT_EQ(::stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1'000'000);
}

// A model opened as the pass opens it, and a result to put in its place.
class ReplaceModelTest : public PosixPlatformTest {
 protected:
  // Opens the model by `name` and notes what and where it is.
  void Open(const fs::path& name) {
    const std::string narrow = name.string();
    model_ = platform_->OpenForReading({narrow.c_str()});
    ASSERT_NE(model_, FileHandle::kInvalid);
    ASSERT_TRUE(platform_->Identify(model_, &read_));
    place_ = platform_->LocateModel(model_, {narrow.c_str()});
    ASSERT_NE(place_, nullptr);
    platform_->Close(model_);
  }
  ReplaceResult Replace(const std::string& content) {
    WriteBytes(dir_ / "result", content);
    const int fd = ::open((dir_ / "result").c_str(), O_RDONLY | O_CLOEXEC);
    const ReplaceResult outcome = platform_->ReplaceModel(
        static_cast<FileHandle>(static_cast<std::intptr_t>(fd)), *place_, read_);
    ::close(fd);
    fs::remove(dir_ / "result");
    return outcome;
  }
  // Starts afresh: only a model holding `content`, with a second name when
  // `other_name`, opened and noted.
  void StartWith(const std::string& content, bool other_name) {
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
    WriteBytes(dir_ / "model.obj", content);
    if (other_name) fs::create_hard_link(dir_ / "model.obj", dir_ / "other.obj");
    Open(dir_ / "model.obj");
  }
  // A result holding `content`, open for reading, as the pass hands it over.
  UniqueFd OpenResult(const std::string& content) {
    WriteBytes(dir_ / "result", content);
    return UniqueFd(::open((dir_ / "result").c_str(), O_RDONLY | O_CLOEXEC));
  }
  ino_t Inode(const fs::path& file) {
    struct stat st {};
    ::lstat(file.c_str(), &st);
    return st.st_ino;
  }
  std::size_t Files() { return testing::CountFiles(dir_.path()); }
  // Replaces the model with "new", in a child, while another program acts
  // once, as call number `nth` (from 0) of system call `call` is made. The
  // child's exit code: 0 when the replacement ended as `expected`.
  int ReplaceActingAt(long call, int nth, const std::function<void()>& act,
                      ReplaceResult expected) {
    return WithMeddlingAt(
        {call},
        [&](int n) {
          if (n == nth) act();
          return 0;
        },
        [&] { return Replace("new") == expected; });
  }
  // In a child whose root folder is the test's folder, as in a container
  // (no /proc there): the model "/model.obj" read, then `replace` given a
  // result holding "new"; the child's outcome is what `replace` returns.
  bool InRootFolder(const std::function<bool(FileHandle result, ModelPlace& place,
                                             const FileIdentity& read)>& replace) {
    return InChild([&] {
      if (::chroot(dir_.path().c_str()) != 0 || ::chdir("/") != 0) return false;
      const FileHandle model = platform_->OpenForReading({"/model.obj"});
      FileIdentity read;
      if (model == FileHandle::kInvalid || !platform_->Identify(model, &read)) return false;
      const std::unique_ptr<ModelPlace> place = platform_->LocateModel(model, {"/model.obj"});
      platform_->Close(model);
      WriteBytes("/result", "new");
      const UniqueFd result(::open("/result", O_RDONLY | O_CLOEXEC));
      ::unlink("/result");
      return place != nullptr && result.valid() &&
             replace(static_cast<FileHandle>(static_cast<std::intptr_t>(result.get())), *place,
                     read);
    });
  }
  // Saves "saved" as the model in `dir` the way editors do: a new file
  // renamed over it.
  static void SaveByRename(const fs::path& dir) {
    WriteBytes(dir / "saved", "saved");
    fs::rename(dir / "saved", dir / "model.obj");
  }
  static void Append(const fs::path& file, const char* text) {
    std::FILE* stream = std::fopen(file.c_str(), "ab");
    std::fputs(text, stream);
    std::fclose(stream);
  }

  FileHandle model_ = FileHandle::kInvalid;
  FileIdentity read_;
  std::unique_ptr<ModelPlace> place_;
};

TEST_F(ReplaceModelTest, TheFileReadIsReplacedWithWhatItCarries) {
  WriteBytes(dir_ / "model.obj", "old");
  fs::permissions(dir_ / "model.obj", fs::perms(0640));
  fs::create_symlink("model.obj", dir_ / "link.obj");
  Open(dir_ / "link.obj");
  const ino_t before = Inode(dir_ / "model.obj");
  EXPECT_EQ(Replace("new content"), ReplaceResult::kReplaced);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.obj"));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new content");
  EXPECT_EQ(fs::status(dir_ / "model.obj").permissions(), fs::perms(0640));
  EXPECT_NE(Inode(dir_ / "model.obj"), before) << "a lone model is renamed over, whole";
  EXPECT_EQ(Files(), 2u) << "something was left beside the model";
}

// A model in the root folder, as in a container: its folder is "/" itself.
// There is no /proc there either, so the model and the new file are reached
// without it.
TEST_F(ReplaceModelTest, AModelInTheRootFolderIsReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a process a root folder of its own";
  WriteBytes(dir_ / "model.obj", "old");
  EXPECT_TRUE(InRootFolder([&](FileHandle result, ModelPlace& place, const FileIdentity& read) {
    return platform_->ReplaceModel(result, place, read) == ReplaceResult::kReplaced;
  }));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  EXPECT_EQ(Files(), 1u);
}

// Without /proc, the model is opened again by its name, without following a
// link: one that another program put under the name between the look and
// that opening is a change of the model, and is told as such, rather than as
// a refusal of the system's.
TEST_F(ReplaceModelTest, WithoutProcAModelSwappedForALinkIsAChange) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a process a root folder of its own";
  WriteBytes(dir_ / "model.obj", "old");
  WriteBytes(dir_ / "victim", "victim");
  EXPECT_TRUE(InRootFolder([&](FileHandle result, ModelPlace& place, const FileIdentity& read) {
    // The name is looked up (0), opened through /proc (1, which is not
    // there), then opened by its name (2).
    return WithMeddlingAt(
               {SYS_openat},
               [](int n) {
                 if (n == 2 && ::symlink("/victim", "/link") == 0) ::rename("/link", "/model.obj");
                 return 0;
               },
               [&] {
                 return platform_->ReplaceModel(result, place, read) ==
                        ReplaceResult::kModelChanged;
               }) == 0;
  }));
  EXPECT_TRUE(fs::is_symlink(dir_ / "model.obj"));
  EXPECT_EQ(ReadBytes(dir_ / "victim"), "victim");
}

// In a user namespace (a rootless container), an owner or group that the
// namespace does not map shows as the overflow ID, which is also the ID of
// the namespace's own nobody: a new file given it would belong to that other
// user. Such a model is rewritten in place and keeps its owner and group.
TEST_F(ReplaceModelTest, AnOwnerTheNamespaceCannotSeeStays) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to map a user namespace";
  // Outside IDs: 100000 is the namespace's superuser, 0 is not mapped.
  const struct {
    uid_t owner;
    gid_t group;
  } cases[] = {{0, 0}, {100000, 0}, {0, 100000}};
  ASSERT_EQ(::chown(dir_.path().c_str(), 100000, 100000), 0);
  fs::permissions(dir_.path(), fs::perms(0755));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.owner) + ":" + std::to_string(c.group));
    StartWith("old", false);
    ASSERT_EQ(::chown((dir_ / "model.obj").c_str(), c.owner, c.group), 0);
    fs::permissions(dir_ / "model.obj", fs::perms(0666));
    Open(dir_ / "model.obj");
    const int code =
        ExitCodeInUserNamespace([&] { return Replace("new") == ReplaceResult::kReplaced; });
    if (code == 2) GTEST_SKIP() << "no user namespaces here";
    EXPECT_EQ(code, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "model.obj").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.owner);
    EXPECT_EQ(st.st_gid, c.group);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
    EXPECT_EQ(Files(), 1u);
  }
}

// Outside a user namespace every ID is the one it shows: a model of nobody's
// (the ID a namespace shows for those it does not map) is renamed over like
// any other, and stays nobody's.
TEST_F(ReplaceModelTest, NobodysModelOutsideANamespaceIsRenamedOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a model to nobody";
  if (ReadBytes("/proc/self/uid_map").find(" 4294967295") == std::string::npos)
    GTEST_SKIP() << "runs in a user namespace";
  StartWith("old", false);
  ASSERT_EQ(::chown((dir_ / "model.obj").c_str(), 65534, 65534), 0);
  Open(dir_ / "model.obj");
  const ino_t before = Inode(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  EXPECT_NE(Inode(dir_ / "model.obj"), before) << "rewritten in place, not renamed over";
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "model.obj").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
}

TEST_F(ReplaceModelTest, ExtendedAttributesAndAclsComeAlong) {
  WriteBytes(dir_ / "model.obj", "old");
  const std::string model = (dir_ / "model.obj").string();
  if (::setxattr(model.c_str(), "user.origin", "scan", 4, 0) != 0)
    GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
  const std::string acl = "setfacl -m u:65534:rw,g:65534:r " + model + " 2>/dev/null";
  const bool with_acl = std::system(acl.c_str()) == 0;
  const std::string show = "getfacl -c -n " + model + " 2>/dev/null";
  const auto acl_text = [&] {
    std::string text;
    if (FILE* pipe = ::popen(show.c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
      ::pclose(pipe);
    }
    return text;
  };
  const std::string acl_before = acl_text();
  const auto mode_before = fs::status(dir_ / "model.obj").permissions();
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  char value[16] = {};
  EXPECT_EQ(::getxattr(model.c_str(), "user.origin", value, sizeof value), 4);
  EXPECT_STREQ(value, "scan");
  if (with_acl) {
    EXPECT_EQ(acl_text(), acl_before);
    EXPECT_NE(acl_before.find("user:65534:rw-"), std::string::npos) << acl_before;
  }
  EXPECT_EQ(fs::status(dir_ / "model.obj").permissions(), mode_before);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
}

// The flags set with chattr, read and set through the file's descriptor.
bool FileFlags(const fs::path& file, int* flags) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  return fd.valid() && ::ioctl(fd.get(), FS_IOC_GETFLAGS, flags) == 0;
}

bool SetFileFlags(const fs::path& file, int flags) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  return fd.valid() && ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// A new file takes some flags from its folder (no dump, no access time); the
// rewritten model has the model's flags, not its folder's.
TEST_F(ReplaceModelTest, FlagsComeFromTheModelNotItsFolder) {
  constexpr int kFromFolder = FS_NODUMP_FL | FS_NOATIME_FL;
  int folder = 0;
  if (!FileFlags(dir_.path(), &folder) || !SetFileFlags(dir_.path(), folder | kFromFolder))
    GTEST_SKIP() << "no file flags here: " << std::strerror(errno);
  WriteBytes(dir_ / "model.obj", "old");
  int model = 0;
  ASSERT_TRUE(FileFlags(dir_ / "model.obj", &model));
  ASSERT_TRUE(SetFileFlags(dir_ / "model.obj", model & ~kFromFolder));
  const ino_t before = Inode(dir_ / "model.obj");
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  EXPECT_NE(Inode(dir_ / "model.obj"), before) << "renamed over, not rewritten in place";
  ASSERT_TRUE(FileFlags(dir_ / "model.obj", &model));
  EXPECT_EQ(model & kFromFolder, 0) << "the folder's flags came along";
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  SetFileFlags(dir_.path(), folder);
}

// The direct access flag (chattr +x), which ext4 and XFS keep on any file,
// stays on the model renamed over, as the other flags do.
TEST_F(ReplaceModelTest, TheDirectAccessFlagStays) {
  WriteBytes(dir_ / "model.obj", "old");
  int model = 0;
  if (!FileFlags(dir_ / "model.obj", &model)) GTEST_SKIP() << "no file flags here";
  if (!SetFileFlags(dir_ / "model.obj", model | FS_DAX_FL))
    GTEST_SKIP() << "no direct access flag here: " << std::strerror(errno);
  const ino_t before = Inode(dir_ / "model.obj");
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  EXPECT_NE(Inode(dir_ / "model.obj"), before) << "renamed over, not rewritten in place";
  ASSERT_TRUE(FileFlags(dir_ / "model.obj", &model));
  EXPECT_NE(model & FS_DAX_FL, 0) << "the direct access flag is gone";
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
}

// Extended attributes that another program gives the model while they are
// being listed (an indexer, a sync client) end the run as a change, rather
// than being read from a list that had no room for them.
TEST_F(ReplaceModelTest, AttributesAddedWhileListedAreAChange) {
  WriteBytes(dir_ / "model.obj", "old");
  const std::string model = (dir_ / "model.obj").string();
  if (::setxattr(model.c_str(), "user.probe", "x", 1, 0) != 0 ||
      ::removexattr(model.c_str(), "user.probe") != 0)
    GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
  Open(dir_ / "model.obj");
  // Between asking for the list's size and asking for the list.
  EXPECT_EQ(ReplaceActingAt(
                SYS_flistxattr, 1, [&] { ::setxattr(model.c_str(), "user.late", "tag", 3, 0); },
                ReplaceResult::kModelChanged),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  EXPECT_EQ(Files(), 1u);
}

// What the new file took from its folder's default ACL and the model did not
// have stays off: the rewritten model is readable by no one the model was
// not.
TEST_F(ReplaceModelTest, AFoldersDefaultAclDoesNotComeAlong) {
  const std::string folder = dir_.path().string();
  const std::string set = "setfacl -d -m u:65534:rw " + folder + " 2>/dev/null";
  if (std::system(set.c_str()) != 0) GTEST_SKIP() << "no default ACLs here";
  WriteBytes(dir_ / "model.obj", "old");
  const std::string model = (dir_ / "model.obj").string();
  const std::string strip = "setfacl -b " + model;
  ASSERT_EQ(std::system(strip.c_str()), 0);
  fs::permissions(dir_ / "model.obj", fs::perms(0640));
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  const ssize_t acl = ::getxattr(model.c_str(), "system.posix_acl_access", nullptr, 0);
  const int error = errno;
  EXPECT_EQ(acl, -1);
  EXPECT_EQ(error, ENODATA) << "the model has an ACL now";
  EXPECT_EQ(fs::status(dir_ / "model.obj").permissions(), fs::perms(0640));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
}

// A result that the disk does not confirm it holds is not taken for done.
// Beside the model it is dropped, and the model stays as it was. Before a
// copy into the model itself the temporary file is committed first: where
// that fails the model stays as it was too; where the model's own commit
// fails, the model may be damaged.
TEST_F(ReplaceModelTest, AResultTheDiskDoesNotConfirmIsNotDone) {
  const struct {
    const char* what;
    bool other_name;
    int failing_fsync;  // counted from 0
    ReplaceResult expected;
  } cases[] = {
      {"renamed over: the new file", false, 0, ReplaceResult::kUntouched},
      {"in place: the result, before the copy", true, 0, ReplaceResult::kUntouched},
      {"in place: the model, after the copy", true, 1, ReplaceResult::kMaybeDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartWith("old old old", c.other_name);
    EXPECT_EQ(WithMeddlingAt(
                  {SYS_fsync}, [&](int n) { return n == c.failing_fsync ? EIO : 0; },
                  [&] { return Replace("new") == c.expected && platform_->LastError() == EIO; }),
              0);
    if (c.expected == ReplaceResult::kUntouched) {
      EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old old old");
    }
    EXPECT_EQ(Files(), c.other_name ? 2u : 1u);
  }
}

// A result that another program cuts short while it is copied beside the
// model is not put in the model's place.
TEST_F(ReplaceModelTest, AResultCutShortDuringTheCopyLeavesTheModelAlone) {
  WriteBytes(dir_ / "model.obj", "old");
  Open(dir_ / "model.obj");
  EXPECT_EQ(WithMeddlingAt(
                {SYS_pread64},
                [&](int n) {
                  if (n == 0) fs::resize_file(dir_ / "result", 0);
                  return 0;
                },
                [&] {
                  return Replace("new content") == ReplaceResult::kUntouched &&
                         platform_->LastError() == EIO;
                }),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  EXPECT_EQ(Files(), 1u);
}

// Memory that runs out while the result is put in place leaves the model as
// it was, whether it would have been renamed over or rewritten in place, and
// the run says why rather than ending half done. AddressSanitizer's own
// allocator ends the process instead, so a sanitizer build skips it.
TEST_F(ReplaceModelTest, MemoryRunningOutLeavesTheModelAlone) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer ends a process that runs out of memory";
  for (const bool other_name : {false, true}) {
    SCOPED_TRACE(other_name ? "with a second name" : "alone");
    StartWith("old old old", other_name);
    const UniqueFd result = OpenResult("the new content, longer than the model");
    ASSERT_TRUE(result.valid());
    EXPECT_EQ(ExitCodeInChild([&] {
                return UseUpMemory() != nullptr &&
                       platform_->ReplaceModel(
                           static_cast<FileHandle>(static_cast<std::intptr_t>(result.get())),
                           *place_, read_) == ReplaceResult::kUntouched &&
                       platform_->LastError() == static_cast<std::uint32_t>(ENOMEM);
              }),
              0);
    EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old old old");
    EXPECT_EQ(Files(), other_name ? 3u : 2u) << "something was left beside the model";
  }
}

// A copy beside the model that the file system takes nothing of leaves the
// model as it was, and nothing beside it.
TEST_F(ReplaceModelTest, ACopyThatTakesNothingLeavesTheModelAlone) {
  WriteBytes(dir_ / "model.obj", "old");
  Open(dir_ / "model.obj");
  EXPECT_TRUE(WhileCallsAnswer(
      SYS_pwrite64, -1, 0, [&] { return Replace("new content") == ReplaceResult::kUntouched; }));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  EXPECT_EQ(Files(), 1u);
}

// Rewriting in place that the file system takes nothing of stops and says
// the model may be damaged, rather than asking again for ever or passing
// for done; it leaves nothing beside the model.
TEST_F(ReplaceModelTest, AnInPlaceRewriteThatTakesNothingIsNotDone) {
  WriteBytes(dir_ / "model.obj", "old old old");
  fs::create_hard_link(dir_ / "model.obj", dir_ / "other.obj");
  Open(dir_ / "model.obj");
  EXPECT_TRUE(WhileCallsAnswer(
      SYS_pwrite64, -1, 0, [&] { return Replace("new content") == ReplaceResult::kMaybeDamaged; }));
  EXPECT_EQ(Files(), 2u);
}

TEST_F(ReplaceModelTest, AModelWithOtherNamesIsRewrittenInPlace) {
  WriteBytes(dir_ / "model.obj", "old old old");
  fs::create_hard_link(dir_ / "model.obj", dir_ / "other.obj");
  const ino_t before = Inode(dir_ / "model.obj");
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
  EXPECT_EQ(Inode(dir_ / "model.obj"), before);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  EXPECT_EQ(ReadBytes(dir_ / "other.obj"), "new");
  EXPECT_EQ(Files(), 2u);
}

// Whatever another program does to the model between the read and the
// replacement, the result goes nowhere and nothing there is touched.
TEST_F(ReplaceModelTest, AModelThatChangedIsLeftAlone) {
  const struct {
    const char* what;
    std::function<void(const fs::path& dir)> meddle;
    const char* left;  // what the model's name then leads to
  } cases[] = {
      {"saved by an editor", SaveByRename, "saved"},
      {"written to", [](const fs::path& dir) { WriteBytes(dir / "model.obj", "edit"); }, "edit"},
      {"appended to", [](const fs::path& dir) { Append(dir / "model.obj", "more"); }, "oldmore"},
      {"made a link to another file",
       [](const fs::path& dir) {
         fs::remove(dir / "model.obj");
         fs::create_symlink(dir / "victim", dir / "model.obj");
       },
       "victim"},
      {"removed", [](const fs::path& dir) { fs::rename(dir / "model.obj", dir / "gone"); },
       nullptr},
  };
  for (const bool at_the_last_moment : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (at_the_last_moment ? " just before the rename" : ""));
      for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
      WriteBytes(dir_ / "model.obj", "old");
      WriteBytes(dir_ / "victim", "victim");
      Open(dir_ / "model.obj");
      const auto changed = [&] { return Replace("new") == ReplaceResult::kModelChanged; };
      if (at_the_last_moment) {
        EXPECT_EQ(WithMeddlingAt(
                      {SYS_renameat, SYS_renameat2},
                      [&](int n) {
                        if (n == 0) c.meddle(dir_.path());
                        return 0;
                      },
                      changed),
                  0);
      } else {
        c.meddle(dir_.path());
        EXPECT_TRUE(changed());
      }
      if (c.left != nullptr) {
        EXPECT_EQ(ReadBytes(dir_ / "model.obj"), c.left);
      }
      EXPECT_EQ(ReadBytes(dir_ / "victim"), "victim");
      EXPECT_EQ(Files(), 2u) << "each meddling leaves two names, and the run none";
    }
  }
}

// A save at the last moment whose way back then fails is kept, beside the
// result that now bears the model's name, and the run does not pass for done.
TEST_F(ReplaceModelTest, ASaveThatCannotGoBackIsKept) {
  WriteBytes(dir_ / "model.obj", "old");
  Open(dir_ / "model.obj");
  EXPECT_EQ(WithMeddlingAt(
                {SYS_renameat, SYS_renameat2},
                [&](int n) {
                  if (n == 0) {
                    SaveByRename(dir_.path());
                  }
                  return n == 0 ? 0 : EIO;
                },
                [&] { return Replace("new") == ReplaceResult::kMaybeDamaged; }),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  std::vector<std::string> kept;
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    if (entry.path().filename() != "model.obj") kept.push_back(ReadBytes(entry.path()));
  EXPECT_EQ(kept, std::vector<std::string>{"saved"});
}

// Where the file system cannot swap two names, the result is renamed over
// the model after the last look, as before.
TEST_F(ReplaceModelTest, AFileSystemThatCannotSwapNamesGetsARename) {
  WriteBytes(dir_ / "model.obj", "old");
  Open(dir_ / "model.obj");
  EXPECT_TRUE(WhileCallsAnswer(SYS_renameat2, -1, EINVAL,
                               [&] { return Replace("new") == ReplaceResult::kReplaced; }));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  EXPECT_EQ(Files(), 1u);
}

// Where the file system cannot swap two names, the model is looked at last
// right before the rename: a save made before that look stays.
TEST_F(ReplaceModelTest, WithoutSwappingNamesASaveBeforeTheLastLookStays) {
  WriteBytes(dir_ / "model.obj", "old");
  Open(dir_ / "model.obj");
  // The first call is the flush of the new file, the second the swap.
  EXPECT_EQ(WithMeddlingAt(
                {SYS_fsync, SYS_renameat2},
                [&](int n) {
                  if (n == 0) SaveByRename(dir_.path());
                  return n == 0 ? 0 : EINVAL;
                },
                [&] { return Replace("new") == ReplaceResult::kModelChanged; }),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "saved");
  EXPECT_EQ(Files(), 1u);
}

// What another program writes into a model rewritten in place is kept or
// found, never cut off or passed over. Written between the last look at the
// model and its opening for writing, or the lock, the model is left alone:
// also a write that keeps the model's length and puts its modification time
// back, which only its change time shows. Written while the result is copied
// into it (bytes appended, or bytes written over the result that keep its
// length), it is found afterwards.
TEST_F(ReplaceModelTest, AWriteByAnotherProgramIsKeptOrFound) {
  const auto edit = [](const fs::path& file) { WriteBytes(file, "edit"); };
  const auto edit_unseen = [](const fs::path& file) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    // Until the clock that stamps the change has passed the last change.
    for (struct timespec now{};
         ::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 &&
         (now.tv_sec < st.st_ctim.tv_sec ||
          (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec <= st.st_ctim.tv_nsec));) {
    }
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::pwrite(fd.get(), "ODD", 3, 0), 3);
    ASSERT_EQ(::futimens(fd.get(), times), 0);
  };
  const auto append = [](const fs::path& file) { Append(file, "more"); };
  const auto write_over = [](const fs::path& file) {
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(::pwrite(fd.get(), "odd", 3, 0), 3);
  };
  const struct {
    const char* what;
    long call;  // the other program writes just before this call
    int nth;    // counted from 0
    std::function<void(const fs::path& file)> write;
    ReplaceResult outcome;
    const char* left;
  } cases[] = {
      // The result is written and opened (0, 1); each opening of the model
      // is a look at its name, then the file found there opened: for
      // reading (2, 3), then for writing (4, 5).
      {"before it is opened for writing", SYS_openat, 5, edit, ReplaceResult::kModelChanged,
       "edit"},
      {"before it is opened for writing, its length and time put back", SYS_openat, 5, edit_unseen,
       ReplaceResult::kModelChanged, "ODD old old"},
      // The first is the look for another run's lock, the second the lock.
      {"before it is locked", SYS_fcntl, 1, edit, ReplaceResult::kModelChanged, "edit"},
      // The model already has the result's length when the copy begins.
      {"appended to during the copy", SYS_pwrite64, 0, append, ReplaceResult::kWrittenMeanwhile,
       "newmore"},
      // The first flush is the result's, the second the model's after the copy.
      {"written over during the copy, its length kept", SYS_fsync, 1, write_over,
       ReplaceResult::kWrittenMeanwhile, "odd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartWith("old old old", true);
    EXPECT_EQ(ReplaceActingAt(
                  c.call, c.nth, [&] { c.write(dir_ / "other.obj"); }, c.outcome),
              0);
    EXPECT_EQ(ReadBytes(dir_ / "model.obj"), c.left);
  }
}

// An editor that saves a model with a second name while the result is copied
// into it, by a new file renamed over it, a link, or removing and making it
// anew, or that takes the name away, keeps its save; the result went into
// the file that the name no longer leads to, and the run is not done.
TEST_F(ReplaceModelTest, AModelReplacedDuringTheCopyIntoItIsNotDone) {
  const struct {
    const char* what;
    std::function<void(const fs::path& dir)> meddle;
    const char* left;  // what the model's name then leads to
  } cases[] = {
      {"saved by an editor", SaveByRename, "saved"},
      {"made a link to another file",
       [](const fs::path& dir) {
         fs::remove(dir / "model.obj");
         fs::create_symlink(dir / "victim", dir / "model.obj");
       },
       "victim"},
      {"removed and made anew",
       [](const fs::path& dir) {
         fs::remove(dir / "model.obj");
         WriteBytes(dir / "model.obj", "anew");
       },
       "anew"},
      {"removed", [](const fs::path& dir) { fs::rename(dir / "model.obj", dir / "gone"); },
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartWith("old old old", true);
    WriteBytes(dir_ / "victim", "victim");
    // The first flush is the result's, the second the model's after the copy.
    EXPECT_EQ(ReplaceActingAt(
                  SYS_fsync, 1, [&] { c.meddle(dir_.path()); }, ReplaceResult::kReplacedMeanwhile),
              0);
    if (c.left != nullptr) {
      EXPECT_EQ(ReadBytes(dir_ / "model.obj"), c.left);
    }
    EXPECT_EQ(ReadBytes(dir_ / "other.obj"), "new");
    EXPECT_EQ(ReadBytes(dir_ / "victim"), "victim");
  }
}

// Another run that copies its result into the model holds a write lock on it
// until it is done; stopped part way (a Ctrl-Z), it has changed nothing
// since a run that reads the model meanwhile looked at it. That run neither
// reads the model then nor puts its result in place, whichever way it would.
TEST_F(ReplaceModelTest, AModelAnotherRunIsWritingIsLeftAlone) {
  const auto lock = [](const fs::path& file, short type) {
    UniqueFd fd(::open(file.c_str(), (type == F_WRLCK ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    EXPECT_EQ(::fcntl(fd.get(), F_OFD_SETLK, &range), 0);
    return fd;
  };
  for (const bool other_name : {false, true}) {
    SCOPED_TRACE(other_name ? "in place" : "renamed over");
    StartWith("old", other_name);
    {
      const UniqueFd writing = lock(dir_ / "model.obj", F_WRLCK);
      EXPECT_EQ(platform_->OpenForReading({(dir_ / "model.obj").c_str()}), FileHandle::kInvalid);
      EXPECT_EQ(platform_->ErrorText(platform_->LastError()),
                "Locked by another program that is writing it");
      EXPECT_EQ(Replace("new"), ReplaceResult::kUntouched);
      EXPECT_EQ(platform_->ErrorText(platform_->LastError()),
                "Locked by another program that is writing it");
      EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
    }
    // A reader's lock is no writer's.
    const UniqueFd reading = lock(dir_ / "model.obj", F_RDLCK);
    EXPECT_EQ(Replace("new"), ReplaceResult::kReplaced);
    EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  }
}

// A model in a lower layer of an overlay (a container's image) is copied up
// by whichever program opens it for writing first. Another program that
// writes it just before the run opens it for writing is not taken for that
// copy, whether its write keeps the model's length or puts its modification
// time back: what it wrote stays.
TEST_F(ReplaceModelTest, AModelInAnImagesLayerWrittenJustBeforeItIsOpenedIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount an overlay";
  const struct {
    const char* what;
    const char* written;
    bool time_put_back;
  } cases[] = {{"its length kept", "new new new", false}, {"its time put back", "edit", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ScratchDir layers;
    for (const char* folder : {"lower/models", "upper", "work", "merged"})
      fs::create_directories(layers / folder);
    const fs::path lower = layers / "lower/models/model.obj";
    WriteBytes(lower, "old old old");
    // Long before any write, whatever the clock's resolution.
    const struct timespec past[2] = {{1'000'000, 0}, {1'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, lower.c_str(), past, 0), 0);
    fs::create_hard_link(lower, layers / "lower/models/other.obj");
    const std::string options = "lowerdir=" + (layers / "lower").string() +
                                ",upperdir=" + (layers / "upper").string() +
                                ",workdir=" + (layers / "work").string();
    const fs::path merged = layers / "merged";
    if (::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0)
      GTEST_SKIP() << "no overlay mounts here: " << std::strerror(errno);
    const fs::path model = merged / "models/model.obj";
    Open(model);
    // The result is written and opened (0, 1); the model is looked up and
    // opened for reading (2, 3), then for writing (4, 5).
    EXPECT_EQ(ReplaceActingAt(
                  SYS_openat, 5,
                  [&] {
                    WriteBytes(model, c.written);
                    if (c.time_put_back) ::utimensat(AT_FDCWD, model.c_str(), past, 0);
                  },
                  ReplaceResult::kModelChanged),
              0);
    EXPECT_EQ(ReadBytes(model), c.written);
    place_.reset();
    EXPECT_EQ(::umount2(merged.c_str(), MNT_DETACH), 0);
  }
}

// Whether thread `tid` of this process waits in the kernel, in a call on a
// descriptor for `file`.
bool WaitingOn(pid_t tid, const fs::path& file) {
  const std::string task = "/proc/self/task/" + std::to_string(tid) + "/";
  std::string stat, call, first;
  std::getline(std::ifstream(task + "stat"), stat);
  std::ifstream(task + "syscall") >> call >> first;
  const std::size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] == 'R' ||
      call == "running" || first.empty())
    return false;
  struct stat held {
  }, named{};
  const std::string fd = "/proc/self/fd/" + std::to_string(std::stoul(first, nullptr, 16));
  return ::stat(fd.c_str(), &held) == 0 && ::stat(file.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Another program's write that was held up part way while the model was
// read (its program not scheduled; here the page it writes from is not
// there yet) has set the model's times and not yet its length: the model
// looks unchanged until the write ends, and the write ends only when the
// copy's first change waits for it. Its whole save stays.
TEST_F(ReplaceModelTest, AWriteHeldUpWhileTheModelWasReadIsFound) {
  const std::string old = "old old old";
  StartWith(old, true);
  const UniqueFd saver(::open((dir_ / "model.obj").c_str(), O_WRONLY | O_CLOEXEC));
  HeldUpWrite saving;
  std::string why;
  if (!saving.Start(
          [&](const char* bytes, std::size_t size) {
            return ::pwrite(saver.get(), bytes, size, static_cast<off_t>(old.size()));
          },
          &why))
    GTEST_SKIP() << "cannot hold up a write in the kernel: " << why;
  Open(dir_ / "model.obj");

  std::atomic<pid_t> replacing{0};
  auto replaced = std::async(std::launch::async, [&] {
    replacing = ::gettid();
    return Replace("new");
  });
  while (replacing == 0 || !WaitingOn(replacing, dir_ / "model.obj")) {
    if (replaced.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) break;
  }
  const std::size_t page = saving.page();
  EXPECT_EQ(saving.Finish(), static_cast<ssize_t>(2 * page));
  EXPECT_EQ(replaced.get(), ReplaceResult::kModelChanged);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), old + std::string(page, 'a') + std::string(page, 'b'));
}

// The lock is held while the result is copied into the model, and let go
// when the copy is done.
TEST_F(ReplaceModelTest, TheCopyIntoTheModelHoldsAWriteLock) {
  StartWith("old old old", true);
  const auto locked = [&] {
    const UniqueFd fd(::open((dir_ / "other.obj").c_str(), O_RDONLY | O_CLOEXEC));
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    return ::fcntl(fd.get(), F_OFD_GETLK, &range) == 0 && range.l_type == F_WRLCK;
  };
  // The first flush is the result's, the second the model's after the copy;
  // a model not locked then fails it.
  EXPECT_EQ(WithMeddlingAt(
                {SYS_fsync}, [&](int n) { return n != 1 || locked() ? 0 : EIO; },
                [&] { return Replace("new") == ReplaceResult::kReplaced && !locked(); }),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
}

// A file system that has no files without a name (O_TMPFILE) gets the new
// file under a hidden name beside the model: the model is replaced all the
// same, and a signal during the copy into the new file removes it.
TEST_F(ReplaceModelTest, WithoutUnnamedFilesTheNewFileIsHiddenAndRemovedOnASignal) {
  // The result is written and opened (0, 1), the model looked up and opened
  // (2, 3), the system's overflow user and group read (4, 5); then the new
  // file is made.
  const auto no_unnamed_file = [](int n) { return n == 6 ? EOPNOTSUPP : 0; };
  StartWith("old", false);
  EXPECT_EQ(WithMeddlingAt({SYS_openat}, no_unnamed_file,
                           [&] { return Replace("new") == ReplaceResult::kReplaced; }),
            0);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "new");
  EXPECT_EQ(Files(), 1u) << "something was left beside the model";

  StartWith("old", false);
  const int code = WithMeddlingAt(
      {SYS_openat, SYS_pwrite64},
      [&](int n) {
        if (n == 7) ::kill(::getpid(), SIGTERM);  // the first write into the new file
        return no_unnamed_file(n);
      },
      [&] {
        Replace("new");
        return false;  // the signal ends the run before this
      });
  EXPECT_EQ(code, 128 + SIGTERM);
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_.path()))
    if (entry.path().filename() != "result") left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"model.obj"});
}

// A signal that comes while the model is being replaced waits until that is
// done. Where the model then does not hold the result, the temporary file is
// the result's only whole copy, and it stays when the signal ends the run.
TEST_F(ReplaceModelTest, ASignalWhenTheReplacementFailsLeavesTheResult) {
  const struct {
    const char* what;
    bool other_name;  // the model is rewritten in place
    std::initializer_list<long> calls;
    std::function<int(int n)> meddle;
  } cases[] = {
      {"the copy into the model fails",
       true,
       {SYS_pwrite64},
       [](int n) {
         if (n == 0) ::kill(::getpid(), SIGTERM);
         return EIO;
       }},
      {"a save at the last moment cannot go back",
       false,
       {SYS_renameat, SYS_renameat2},
       [&](int n) {
         if (n == 0) {
           SaveByRename(dir_.path());
           ::kill(::getpid(), SIGTERM);
         }
         return n == 0 ? 0 : EIO;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_.path());
    fs::create_directories(dir_ / "tmp");
    WriteBytes(dir_ / "model.obj", "old old old");
    if (c.other_name) fs::create_hard_link(dir_ / "model.obj", dir_ / "other.obj");
    Open(dir_ / "model.obj");
    const int code = WithMeddlingAt(c.calls, c.meddle, [&] {
      std::u16string path;
      const FileHandle temp =
          platform_->CreateTempFile(WidenFileName((dir_ / "tmp").string() + "/"), &path);
      std::string name;
      if (temp == FileHandle::kInvalid || !NarrowFileName(path, &name)) return false;
      WriteBytes(name, "new");
      platform_->ReplaceModel(temp, *place_, read_);
      return false;  // the signal ends the run before this
    });
    EXPECT_EQ(code, 128 + SIGTERM);
    ASSERT_EQ(testing::CountFiles(dir_ / "tmp"), 1u) << "the result was removed";
    EXPECT_EQ(ReadBytes(fs::directory_iterator(dir_ / "tmp")->path()), "new");
  }
}

// A FIFO that another program puts under the model's name just before the
// result goes in is found changed without being opened, whether the model
// would be renamed over or rewritten in place: opening alone can act on a
// FIFO or a device. The system tells each opening of the FIFO to inotify.
TEST_F(ReplaceModelTest, AFifoPutUnderTheNameAtTheLastMomentIsNeverOpened) {
  for (const bool other_name : {false, true}) {
    SCOPED_TRACE(other_name ? "with a second name" : "alone");
    StartWith("old", other_name);
    const UniqueFd result = OpenResult("new");
    ASSERT_TRUE(result.valid());
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const UniqueFd opened(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(opened.get(), fifo.c_str(), IN_OPEN), 0);
    EXPECT_EQ(WithMeddlingAt(
                  {SYS_openat},
                  [&](int n) {
                    if (n == 0) ::rename(fifo.c_str(), (dir_ / "model.obj").c_str());
                    return 0;
                  },
                  [&] {
                    return platform_->ReplaceModel(
                               static_cast<FileHandle>(static_cast<std::intptr_t>(result.get())),
                               *place_, read_) == ReplaceResult::kModelChanged;
                  }),
              0);
    inotify_event event;
    EXPECT_LT(::read(opened.get(), &event, sizeof event), 0) << "the FIFO was opened";
  }
}

TEST_F(ReplaceModelTest, ReadOnlyMeansReadOnlyForEveryone) {
  WriteBytes(dir_ / "model.obj", "old");
  fs::permissions(dir_ / "model.obj", fs::perms(0444));
  Open(dir_ / "model.obj");
  EXPECT_EQ(Replace("new"), ReplaceResult::kUntouched);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(ReadBytes(dir_ / "model.obj"), "old");
  EXPECT_EQ(Files(), 1u);
}

TEST_F(PosixPlatformTest, OnlyRegularFilesOpenForReading) {
  fs::create_directory(dir_ / "folder.obj");
  ASSERT_EQ(::mkfifo((dir_ / "pipe.obj").c_str(), 0600), 0);
  const std::string folder = (dir_ / "folder.obj").string();
  const std::string pipe = (dir_ / "pipe.obj").string();
  EXPECT_EQ(platform_->OpenForReading({folder.c_str()}), FileHandle::kInvalid);
  EXPECT_EQ(platform_->LastError(), static_cast<std::uint32_t>(EISDIR));
  // Neither a device nor a FIFO (which must not wait for a writer) is a model.
  for (const char* path : {"/dev/null", pipe.c_str()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(platform_->OpenForReading({path}), FileHandle::kInvalid);
    EXPECT_EQ(platform_->ErrorText(platform_->LastError()), "Not a regular file");
  }
}

// Another program that puts a FIFO under the model's name at any of the
// system calls that open it gets nothing opened: the name is looked up once,
// and only the regular file found there is opened. Opening alone can act on
// a FIFO or a device; the system tells each opening of the FIFO to inotify.
TEST_F(PosixPlatformTest, AFifoPutUnderTheNameMeanwhileIsNeverOpened) {
  const std::string model = (dir_ / "box.obj").string();
  const std::string fifo = (dir_ / "fifo").string();
  for (const int at : {0, 1}) {
    SCOPED_TRACE(at);
    WriteBytes(dir_ / "box.obj", "v 1 2 3\n");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const UniqueFd opened(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(opened.get(), fifo.c_str(), IN_OPEN), 0);
    const int code = WithMeddlingAt(
        {SYS_openat},
        [&](int n) {
          if (n == at) ::rename(fifo.c_str(), model.c_str());
          return 0;
        },
        [&] {
          const FileHandle file = platform_->OpenForReading({model.c_str()});
          return file == FileHandle::kInvalid || platform_->Close(file);
        });
    EXPECT_EQ(code, 0);
    inotify_event event;
    EXPECT_LT(::read(opened.get(), &event, sizeof event), 0) << "the FIFO was opened";
    fs::remove(model);
    fs::remove(fifo);
  }
}

// The desktop program's toolkit takes the user's locale, where the C library
// tells its errors in the user's language and character set: in KOI8-R the
// message window showed the reason as unreadable bytes, and in German it was
// no longer what sgsplit-batch, the README and the manual pages say. The
// reasons stay the same plain text in every locale.
TEST_F(PosixPlatformTest, ErrorTextsAreTheSameInEveryLocale) {
  for (const char* locale : {"ru_RU.KOI8-R", "de_DE.UTF-8"}) {
    SCOPED_TRACE(locale);
    // A locale of the test's own, from the system's locale sources.
    const std::string name(locale);
    const std::string made = (dir_ / name).string();
    const std::string command = "localedef -i " + name.substr(0, name.find('.')) + " -f " +
                                name.substr(name.find('.') + 1) + " '" + made + "' >/dev/null 2>&1";
    const auto in_locale = [&] {
      ::setenv("LOCPATH", dir_.path().c_str(), 1);
      return std::setlocale(LC_ALL, locale) != nullptr;
    };
    if (std::system(command.c_str()) != 0 || !InChild([&] {
          return in_locale() && std::strcmp(std::strerror(EACCES), "Permission denied") != 0;
        }))
      GTEST_SKIP() << "no translated error texts for " << locale << " on this system";
    EXPECT_TRUE(InChild([&] {
      const auto platform = NewSystemPlatform();
      return in_locale() && platform->ErrorText(EACCES) == "Permission denied" &&
             platform->ErrorText(ENOENT) == "No such file or directory";
    }));
  }
}

TEST_F(PosixPlatformTest, ReadSeekWrite) {
  const std::string path = (dir_ / "f.bin").string();
  const FileHandle out = platform_->OpenForWriting({path.c_str()});
  ASSERT_NE(out, FileHandle::kInvalid);
  std::uint32_t count = 0;
  ASSERT_TRUE(platform_->Write(out, "abcdef", 6, &count));
  EXPECT_EQ(count, 6u);
  ASSERT_TRUE(platform_->Close(out));

  const FileHandle in = platform_->OpenForReading({path.c_str()});
  ASSERT_NE(in, FileHandle::kInvalid);
  char buffer[8] = {};
  ASSERT_TRUE(platform_->Read(in, buffer, 4, &count));
  EXPECT_EQ(std::string(buffer, count), "abcd");
  ASSERT_TRUE(platform_->Seek(in, -1));
  ASSERT_TRUE(platform_->Read(in, buffer, 8, &count));
  EXPECT_EQ(std::string(buffer, count), "def");
  ASSERT_TRUE(platform_->Read(in, buffer, 8, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(platform_->Close(in));
}

// A file that takes nothing of a write fails it, instead of being asked
// again for ever.
TEST_F(PosixPlatformTest, AWriteThatTakesNothingFails) {
  const std::string path = (dir_ / "f.bin").string();
  const FileHandle out = platform_->OpenForWriting({path.c_str()});
  ASSERT_NE(out, FileHandle::kInvalid);
  const auto fd = static_cast<int>(static_cast<std::intptr_t>(out));
  EXPECT_TRUE(WhileCallsAnswer(SYS_write, fd, 0, [&] {
    std::uint32_t written = 1;
    return !platform_->Write(out, "abc", 3, &written) && written == 0 &&
           platform_->LastError() == EIO;
  }));
  EXPECT_TRUE(platform_->Close(out));
}

TEST_F(PosixPlatformTest, WideToNarrowAsksForTheSizeItNeeds) {
  const std::u16string text = u"\u6A21\u578B.obj";
  const int needed = platform_->WideToNarrow(kUtf8CodePage, text.c_str(),
                                             static_cast<int>(text.size()) + 1, nullptr, 0);
  EXPECT_EQ(needed, 11);
  char out[16];
  EXPECT_EQ(platform_->WideToNarrow(kUtf8CodePage, text.c_str(), static_cast<int>(text.size()) + 1,
                                    out, 10),
            0);
  EXPECT_EQ(platform_->WideToNarrow(kUtf8CodePage, text.c_str(), static_cast<int>(text.size()) + 1,
                                    out, 16),
            11);
  EXPECT_STREQ(out, "\xE6\xA8\xA1\xE5\x9E\x8B.obj");
  EXPECT_EQ(platform_->WideToNarrow(1252, text.c_str(), 3, out, 16), 0);
}

// Memory that runs out anywhere in a run of sgsplit-batch, before the
// temporary file is made, while the model is read, while the result is put
// in place or while the failure is told: the run says so, with exit 1 or 2,
// the model is as it was or rewritten (or, where the run says it may be
// damaged, the kept result it names is whole), and nothing is left in the
// temporary folder that the message does not name. Each child uses up its
// memory and is then given back a little more than the one before, so that
// the first request to fail moves through the run. Skipped under
// AddressSanitizer, as above.
TEST(RunOutOfMemoryTest, EveryPlaceIsToldAndLosesNothing) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer ends a process that runs out of memory";
  const ScratchDir dir;
  fs::create_directory(dir / "models");
  fs::create_directory(dir / "tmp");
  const fs::path model = dir / "models" / "model.obj";
  const fs::path err_file = dir / "err.txt";
  std::string old_content;
  for (int i = 0; i < 3000; ++i) {
    old_content += "v " + std::to_string(i) + ".5 1.25 -2\n";
    if (i % 50 == 0)
      old_content += "g part" + std::to_string(i) + "\ns " + std::to_string(i) + "\n";
    old_content += "f 1 2 3\n";
  }
  // What a run with memory enough makes of it.
  WriteBytes(model, old_content);
  {
    const testing::ScopedTempFolder temp(dir / "tmp");
    const auto platform = NewSystemPlatform();
    const std::u16string path = testing::Utf16Path(model);
    PassOptions options;
    options.chosen_path = &path;
    ASSERT_EQ(SeparationPass(*platform, options).outcome, PassOutcome::kCompleted);
  }
  const std::string new_content = ReadBytes(model);
  ASSERT_NE(new_content, old_content);

  // A block taken by UseUpMemory holds the address of the one before.
  const auto give_back = [](void* last, int blocks) {
    for (; blocks > 0 && last != nullptr; --blocks)
      std::free(std::exchange(last, *static_cast<void**>(last)));
  };
  for (const bool other_name : {false, true}) {
    for (int blocks = 0; blocks <= 240; blocks += blocks < 40 ? 1 : 4) {
      SCOPED_TRACE(std::string(other_name ? "with a second name" : "alone") + ", given back " +
                   std::to_string(blocks) + " KB");
      for (const char* folder : {"models", "tmp"})
        for (const auto& entry : fs::directory_iterator(dir / folder)) fs::remove(entry.path());
      WriteBytes(model, old_content);
      if (other_name) fs::create_hard_link(model, dir / "models" / "other.obj");
      // As in the program's own main, an exception that escapes ends the
      // process.
      const int code = ExitCodeInChild([&]() noexcept {
        const testing::ScopedTempFolder temp(dir / "tmp");
        const auto platform = NewSystemPlatform();
        const std::vector<BatchArgument> arguments{{testing::Utf16Path(model), model.string()}};
        std::FILE* err = std::fopen(err_file.c_str(), "w");
        if (err == nullptr || std::setvbuf(err, nullptr, _IONBF, 0) != 0) return false;
        void* const last = UseUpMemory();
        if (last == nullptr) return false;
        give_back(last, blocks);
        ::_exit(RunBatch(*platform, arguments, ShowName, stdout, err) + 10);
      });
      const std::string message = ReadBytes(err_file);
      ASSERT_TRUE(code == 10 || code == 11 || code == 12) << "the run ended with " << code;
      const std::string content = ReadBytes(model);
      if (code == 10) {
        EXPECT_EQ(message, "");
        EXPECT_EQ(content, new_content);
      } else {
        // Where even the model's name could not be copied, the line lacks it.
        EXPECT_EQ(message.rfind("sgsplit-batch: ", 0), 0u) << message;
        EXPECT_GT(message.size(), 16u);
        EXPECT_EQ(message.back(), '\n') << message;
        if (code == 12 && message.find("; the rewritten model is in ") != std::string::npos) {
          const std::size_t at = message.find("; the rewritten model is in ") + 28;
          EXPECT_EQ(ReadBytes(message.substr(at, message.size() - at - 1)), new_content);
        } else {
          EXPECT_TRUE(content == old_content || content == new_content) << message;
        }
      }
      if (other_name) {
        EXPECT_EQ(ReadBytes(dir / "models" / "other.obj"), content);
      }
      EXPECT_EQ(testing::CountFiles(dir / "models"), other_name ? 2u : 1u) << message;
      for (const auto& entry : fs::directory_iterator(dir / "tmp"))
        EXPECT_NE(message.find(entry.path().string()), std::string::npos)
            << entry.path() << " was left unnamed: " << message;
    }
  }
}

}  // namespace
}  // namespace sgsplit
