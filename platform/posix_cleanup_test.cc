#include "platform/posix_cleanup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace sgsplit {
namespace {

namespace fs = std::filesystem;

struct stat Stat(const fs::path& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  return st;
}

// Runs `body` in a child process that removes its noted files on signals,
// and answers the code it exits with; -1 where it did not exit by itself.
int ExitCodeOfChild(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    RemoveNotedFilesOnSignals();
    body();
    ::_exit(0);
  }
  int status = 0;
  if (child <= 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A signal to a process with another thread, which does not hold the signals
// back and so is where the signal goes: the noted file is removed and the
// process ends with 128 plus the signal's number, but only once the work
// that holds the signals is done whole.
TEST(PosixCleanupTest, ASignalToAnyThreadWaitsForTheHeldWork) {
  const struct {
    const char* name;
    bool held;
  } cases[] = {{"held", true}, {"not held", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::ScratchDir dir;
    const fs::path noted = dir.path() / "noted";
    const fs::path work = dir.path() / "work";
    std::ofstream(noted) << "temporary";
    EXPECT_EQ(ExitCodeOfChild([&] {
                std::thread other([] { std::this_thread::sleep_for(std::chrono::seconds(5)); });
                other.detach();
                const struct stat st = Stat(noted);
                const NotedFile note(AT_FDCWD, noted.c_str(), st.st_dev, st.st_ino);
                std::optional<SignalsHeld> hold;
                if (c.held) hold.emplace();
                ::kill(::getpid(), SIGTERM);
                // Time for the other thread to take the signal. Not held, it
                // ends the process long before this is over, however busy the
                // machine; held, it must wait for the work all the same.
                std::this_thread::sleep_for(c.held ? std::chrono::milliseconds(300)
                                                   : std::chrono::milliseconds(10000));
                std::ofstream(work) << "done";
              }),
              128 + SIGTERM);
    EXPECT_FALSE(fs::exists(noted));
    EXPECT_EQ(fs::exists(work), c.held);
  }
}

// Every signal that ends a process unless it is caught waits for the held
// work, not only the named ones: also SIGSTKFLT and the real-time signals,
// which anybody may send.
TEST(PosixCleanupTest, EverySignalThatEndsTheProcessWaitsForTheHeldWork) {
  std::vector<int> signals = {SIGRTMIN, SIGRTMIN + 1, SIGRTMAX};
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
  for (const int signal_number : signals) {
    SCOPED_TRACE(signal_number);
    const testing::ScratchDir dir;
    const fs::path noted = dir.path() / "noted";
    const fs::path work = dir.path() / "work";
    std::ofstream(noted) << "temporary";
    EXPECT_EQ(ExitCodeOfChild([&] {
                const struct stat st = Stat(noted);
                const NotedFile note(AT_FDCWD, noted.c_str(), st.st_dev, st.st_ino);
                const SignalsHeld hold;
                ::kill(::getpid(), signal_number);
                std::ofstream(work) << "done";
              }),
              128 + signal_number);
    EXPECT_FALSE(fs::exists(noted));
    EXPECT_TRUE(fs::exists(work));
  }
}

// A noted name that leads to another file by the time the signal comes
// (another program removed the file and made one of its own there) is left
// alone: only the file that was noted is removed.
TEST(PosixCleanupTest, ASignalRemovesOnlyTheFileThatWasNoted) {
  const testing::ScratchDir dir;
  const fs::path noted = dir.path() / "noted";
  std::ofstream(noted) << "temporary";
  EXPECT_EQ(ExitCodeOfChild([&] {
              const struct stat st = Stat(noted);
              const NotedFile note(AT_FDCWD, noted.c_str(), st.st_dev, st.st_ino);
              // Held open, so that the other file cannot get the same inode.
              const int old = ::open(noted.c_str(), O_RDONLY | O_CLOEXEC);
              fs::remove(noted);
              std::ofstream(noted) << "another program's";
              ::kill(::getpid(), SIGTERM);
              ::close(old);
            }),
            128 + SIGTERM);
  EXPECT_EQ(testing::ReadBytes(noted), "another program's");
}

}  // namespace
}  // namespace sgsplit
