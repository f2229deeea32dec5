#include "platform/posix_cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>

namespace sgsplit {
namespace {

constexpr std::array kSignals = {SIGINT, SIGTERM, SIGHUP};

// The temporary file and one file beside the model, with room to spare.
constexpr int kSlots = 4;

// What the handler reads. `armed` is set last and cleared first, so the
// handler never sees a slot half written.
struct Slot {
  volatile sig_atomic_t armed;
  int folder;
  dev_t device;
  ino_t inode;
  char name[PATH_MAX];
};
Slot slots[kSlots];
bool taken[kSlots];

extern "C" void RemoveAndExit(int signal_number) {
  for (Slot& slot : slots) {
    if (slot.armed == 0) continue;
    struct stat st;
    if (::fstatat(slot.folder, slot.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == slot.device && st.st_ino == slot.inode)
      ::unlinkat(slot.folder, slot.name, 0);
  }
  ::_exit(128 + signal_number);
}

sigset_t Signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) sigaddset(&set, signal_number);
  return set;
}

}  // namespace

void RemoveNotedFilesOnSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = RemoveAndExit;
  action.sa_mask = Signals();
  for (const int signal_number : kSignals) {
    struct sigaction old {};
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

NotedFile::NotedFile(int folder, const char* name, dev_t device, ino_t inode) {
  if (std::strlen(name) >= PATH_MAX) return;
  for (int i = 0; i < kSlots; ++i) {
    if (taken[i]) continue;
    taken[i] = true;
    slot_ = i;
    Slot& slot = slots[i];
    slot.folder = folder;
    slot.device = device;
    slot.inode = inode;
    std::strcpy(slot.name, name);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot.armed = 1;
    return;
  }
}

NotedFile::~NotedFile() {
  if (slot_ < 0) return;
  slots[slot_].armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  taken[slot_] = false;
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = Signals();
  ::sigprocmask(SIG_BLOCK, &set, &old_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

}  // namespace sgsplit
