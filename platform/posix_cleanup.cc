#include "platform/posix_cleanup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>

namespace sgsplit {
namespace {

// Every signal that ends a process unless it is caught and that comes from
// outside the program: the usual four, then those a user, a timer, a CPU time
// limit or the system may send; Signals adds the rest. Any of them during the
// copy into a model would leave it half old, half new.
constexpr std::array kSignals = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                 SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR};

// The temporary file and one file beside the model, with room to spare.
constexpr int kSlots = 4;

// What the handler reads. `armed` is set last and cleared first, so the
// handler never sees a slot half written, in whichever thread it runs.
struct Slot {
  std::atomic<int> armed;
  int folder;
  dev_t device;
  ino_t inode;
  char name[PATH_MAX];
};
Slot slots[kSlots];
bool taken[kSlots];

// A signal goes to any thread that does not hold it back, and a desktop
// toolkit starts threads of its own: holding the signals in the thread that
// does the work is not enough. `held` counts the holders; `caught` is the
// signal that came. Each side writes its own before it reads the other's, so
// either the handler sees a holder and leaves the end to it, or the holder
// sees the signal before it starts and ends the process itself.
std::atomic<int> held{0};
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

[[noreturn]] void RemoveAndExit(int signal_number) {
  for (Slot& slot : slots) {
    if (slot.armed.load() == 0) continue;
    struct stat st;
    if (::fstatat(slot.folder, slot.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == slot.device && st.st_ino == slot.inode)
      ::unlinkat(slot.folder, slot.name, 0);
  }
  ::_exit(128 + signal_number);
}

// Ends the process for a signal that came while it was held, if one did.
void EndIfCaught() {
  if (const int signal_number = caught.load(); signal_number != 0) RemoveAndExit(signal_number);
}

extern "C" void OnSignal(int signal_number) {
  caught.store(signal_number);
  if (held.load() == 0) RemoveAndExit(signal_number);
}

sigset_t Signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) sigaddset(&set, signal_number);
#ifdef SIGSTKFLT
  sigaddset(&set, SIGSTKFLT);  // the system no longer sends it, but anybody may
#endif
  // The real-time signals, whose numbers are known only when the program runs.
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
    sigaddset(&set, signal_number);
  return set;
}

}  // namespace

void RemoveNotedFilesOnSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_mask = Signals();
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&action.sa_mask, signal_number) != 1) continue;
    struct sigaction old {};
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
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
    slot.armed.store(1);
    return;
  }
}

NotedFile::~NotedFile() {
  if (slot_ < 0) return;
  slots[slot_].armed.store(0);
  taken[slot_] = false;
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = Signals();
  // Held here too, so that no call in this thread is cut short.
  ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  held.fetch_add(1);
  // A signal that another thread is ending the process for: nothing starts.
  EndIfCaught();
}

SignalsHeld::~SignalsHeld() {
  // A signal held back for this thread comes here, and waits for the count.
  ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  if (held.fetch_sub(1) == 1) EndIfCaught();
}

}  // namespace sgsplit
