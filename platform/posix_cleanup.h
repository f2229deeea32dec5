// What a run leaves behind when a signal ends it: nothing. SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and the other signals that end a process unless caught
// (SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR,
// SIGSTKFLT and the real-time signals) remove the files noted here and end the process with 128
// plus the signal's number; what must be done whole is done with them held.
#ifndef SGSPLIT_PLATFORM_POSIX_CLEANUP_H_
#define SGSPLIT_PLATFORM_POSIX_CLEANUP_H_

#include <sys/types.h>
#include <csignal>

namespace sgsplit {

// Takes over those signals, once per process. A signal that the process
// was started with ignored (as by nohup) stays ignored. SIGXFSZ and SIGPIPE
// are ignored, so that a file grown past the size limit, or a message
// written to a pipe that nobody reads, fails its write rather than ending
// the process with the work half done.
void RemoveNotedFilesOnSignals();

// Notes the file `name` in the folder `folder` (a descriptor, AT_FDCWD for a
// full path), which is the file with device `device` and inode `inode`, for
// removal should a signal end the process while this object lives. The file
// is removed only while the name still leads to that file.
class NotedFile {
 public:
  NotedFile(int folder, const char* name, dev_t device, ino_t inode);
  ~NotedFile();
  NotedFile(const NotedFile&) = delete;
  NotedFile& operator=(const NotedFile&) = delete;

 private:
  int slot_ = -1;  // -1 when every slot was taken; the file is then not noted
};

// Holds those signals back while it lives; one that comes meanwhile ends
// the process when it goes, after the guarded work is done whole.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_POSIX_CLEANUP_H_
