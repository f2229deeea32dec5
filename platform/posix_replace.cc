#include "platform/posix_replace.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/posix_cleanup.h"
#include "platform/posix_fd.h"

namespace sgsplit {
namespace {

constexpr std::size_t kCopyBlock = 1 << 16;

// How a way of putting the result in place ended.
enum class Step {
  kDone,
  kCannotCarry,  // this way cannot keep what the model carries; nothing changed
  kChanged,      // the model changed at the last moment; nothing changed
  kStranded,     // the model changed at the last moment, and its name now
                 // leads to the result; nothing was removed
  kFailed,       // nothing changed; `errno` says why
};

bool Unchanged(const struct stat& st, const FileIdentity& read) {
  return S_ISREG(st.st_mode) && IdentityOf(st) == read;
}

// Whether opening the model for writing, as `fd`, copied it up: a model in
// a lower layer of an overlay (a container's image) is copied into the upper
// layer when it is first opened for writing. The copy holds the same bytes,
// with the same length and modification time, but it has a new change time,
// and a model with other names, which the copy parts from them unless the
// overlay keeps an index, a new device and inode too. `found`, the handle
// on the model that was checked before it was opened, shows the copy too
// once it is the same file.
bool CopiedUp(const UniqueFd& found, int fd, const struct stat& st, const FileIdentity& read) {
  struct statfs fs;
  struct stat before;
  const FileIdentity now = IdentityOf(st);
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == OVERLAYFS_SUPER_MAGIC && S_ISREG(st.st_mode) &&
         now.size == read.size && now.modified == read.modified &&
         ::fstat(found.get(), &before) == 0 && IdentityOf(before) == now;
}

// Opens the model as its name leads to it now, never through a link. Empty
// when that is the file that was read, unchanged; otherwise how the run ends.
// The name is looked up once, without opening what it leads to, and only the
// file that was read is opened, through /proc: opening alone can act on a
// FIFO or a device that another program put under the name meanwhile.
std::optional<ReplaceResult> OpenModel(int folder, const std::string& name, int access,
                                       const FileIdentity& read, UniqueFd* fd, struct stat* st,
                                       int* error) {
  const UniqueFd found(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!found.valid() || ::fstat(found.get(), st) != 0) {
    *error = errno;
    if (errno == ENOENT) return ReplaceResult::kModelChanged;  // gone
    return ReplaceResult::kUntouched;
  }
  // A link now, or another file.
  if (!Unchanged(*st, read)) return ReplaceResult::kModelChanged;
  *fd = ReopenFound(found, access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, folder, name.c_str(),
                    O_NOFOLLOW);
  if (!fd->valid() || ::fstat(fd->get(), st) != 0) {
    *error = errno;
    if (errno == ENOENT || errno == ELOOP) return ReplaceResult::kModelChanged;
    return ReplaceResult::kUntouched;
  }
  // The file opened is the one read, unless opening it for writing copied it
  // up (see CopiedUp); `*st` then shows the copy, which later looks compare
  // against.
  if (!Unchanged(*st, read) && (access == O_RDONLY || !CopiedUp(found, fd->get(), *st, read)))
    return ReplaceResult::kModelChanged;
  return std::nullopt;
}

// Reads up to `size` bytes at `offset`, fewer only at the end of the file.
ssize_t ReadAt(int fd, char* buffer, std::size_t size, off_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, buffer + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// The blocks that copying and comparing work in. They are taken before
// anything changes: memory that ran out later would stop the work half done.
struct CopyBuffers {
  std::vector<char> first, second;
};

bool TakeBuffers(CopyBuffers* buffers) {
  try {
    buffers->first.resize(kCopyBlock);
    buffers->second.resize(kCopyBlock);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Copies all of `from`, from its start, to `to` from its start.
bool CopyContent(int from, int to, off_t size, std::vector<char>& buffer) {
  for (off_t done = 0; done < size;) {
    const ssize_t got = ReadAt(from, buffer.data(), buffer.size(), done);
    if (got < 0) return false;
    if (got == 0) {
      errno = EIO;  // the result was cut short under us
      return false;
    }
    for (ssize_t put = 0; put < got;) {
      const ssize_t n =
          ::pwrite(to, buffer.data() + put, static_cast<std::size_t>(got - put), done + put);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) errno = EIO;  // it takes nothing, and would be asked for ever
      if (n <= 0) return false;
      put += n;
    }
    done += got;
  }
  return true;
}

// Whether `file` holds exactly the first `size` bytes of `result`. False, with
// errno set, when either cannot be read.
bool HoldsContent(int file, int result, off_t size, CopyBuffers& buffers, bool* same) {
  struct stat st;
  if (::fstat(file, &st) != 0) return false;
  *same = st.st_size == size;
  std::vector<char>& want = buffers.first;
  std::vector<char>& have = buffers.second;
  for (off_t done = 0; *same && done < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<off_t>(kCopyBlock, size - done));
    const ssize_t wanted = ReadAt(result, want.data(), n, done);
    const ssize_t had = ReadAt(file, have.data(), n, done);
    if (wanted < 0 || had < 0) return false;
    *same = wanted == static_cast<ssize_t>(n) && had == wanted &&
            std::memcmp(want.data(), have.data(), n) == 0;
    done += static_cast<off_t>(n);
  }
  return true;
}

// The names of a file's extended attributes; empty where the file system
// keeps none.
bool AttributeNames(int fd, std::vector<std::string>* names) {
  names->clear();
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    // None. Asked again with no room, the system would answer a size, not a
    // list, should one have been added meanwhile.
    if (size == 0) return true;
    std::vector<char> list(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;  // grew meanwhile
    if (got < 0) return false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
      const std::string_view name(list.data() + at);
      names->emplace_back(name);
      at += name.size() + 1;
    }
    return true;
  }
}

// Gives `to` exactly the extended attributes of `from`, the ACLs among them.
// False with ENOMEM where the memory for them runs out.
bool CopyAttributes(int from, int to) try {
  std::vector<std::string> wanted, present;
  if (!AttributeNames(from, &wanted) || !AttributeNames(to, &present)) return false;
  for (const std::string& name : wanted) {
    const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::vector<char> value(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 ||
        ::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0)
      return false;
  }
  // What the new file took from its folder (a default ACL) and the model lacks.
  for (const std::string& name : present) {
    bool kept = false;
    for (const std::string& other : wanted) kept = kept || other == name;
    if (!kept && ::fremovexattr(to, name.c_str()) != 0) return false;
  }
  return true;
} catch (const std::bad_alloc&) {
  errno = ENOMEM;
  return false;
}

// The flags a file's owner sets with chattr that say how the file is kept
// (no dump, no access time, no copy on write, compression, direct access and
// the like). Immutable and append-only files are not replaced at all.
constexpr int kCarriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL | FS_DAX_FL;

// Gives `to` exactly the model's flags of those above: it may have taken
// some from its folder (no dump, no access time) that the model lacks. On a
// file system without flags there is nothing to give.
bool CopyFlags(int from, int to) {
  int wanted = 0, present = 0;
  if (::ioctl(from, FS_IOC_GETFLAGS, &wanted) != 0) return errno == ENOTTY || errno == ENOTSUP;
  if (::ioctl(to, FS_IOC_GETFLAGS, &present) != 0) return false;
  if ((present & kCarriedFlags) == (wanted & kCarriedFlags)) return true;
  int flags = (present & ~kCarriedFlags) | (wanted & kCarriedFlags);
  return ::ioctl(to, FS_IOC_SETFLAGS, &flags) == 0;
}

// A new file in `folder` with no name yet, or, where the file system has no
// such files, under a hidden name noted for removal on a signal.
struct NewFile {
  UniqueFd fd;
  std::string name;  // empty while the file has no name
  // Why the model's old content, under `name` once the two swapped names,
  // could not be removed; 0 where it was.
  int old_left_error = 0;
  // Whether what stands under `name` is another program's and stays there,
  // to be named to the user.
  bool others_left = false;
  // Held here rather than on the heap: nothing is asked of memory once the
  // file has a name.
  std::optional<NotedFile> noted;
};

// Gives `file` a hidden, unguessable name in `folder`, made by `make(name)`
// (false with errno EEXIST when the name is taken), and notes it for removal
// on a signal.
template <class Make>
bool UnderHiddenName(int folder, NewFile& file, Make make) {
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = UnguessableName(".sgsplit-", "");
    if (name.empty()) return false;
    const SignalsHeld held;  // until the name is noted
    if (!make(name)) {
      if (errno == EEXIST) continue;
      return false;
    }
    struct stat st;
    if (::fstat(file.fd.get(), &st) != 0) {
      ::unlinkat(folder, name.c_str(), 0);
      return false;
    }
    file.name = std::move(name);
    file.noted.emplace(folder, file.name.c_str(), st.st_dev, st.st_ino);
    return true;
  }
  return false;
}

bool CreateBeside(int folder, NewFile* file) {
  file->fd = UniqueFd(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file->fd.valid()) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  return UnderHiddenName(folder, *file, [&](const std::string& name) {
    file->fd = UniqueFd(
        ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return file->fd.valid();
  });
}

// Links a file that has no name yet into `folder` under a hidden name.
bool GiveName(int folder, NewFile& file) {
  if (!file.name.empty()) return true;
  char proc[32];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", file.fd.get());
  return UnderHiddenName(folder, file, [&](const std::string& name) {
    if (::linkat(AT_FDCWD, proc, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, only a privileged process may link a descriptor.
    return errno == ENOENT && ::linkat(file.fd.get(), "", folder, name.c_str(), AT_EMPTY_PATH) == 0;
  });
}

void Discard(int folder, NewFile& file) {
  if (!file.name.empty()) ::unlinkat(folder, file.name.c_str(), 0);
}

// As Unchanged, for a file whose name was just swapped: the swap itself
// gives it a new change time.
bool UnchangedButSwapped(const struct stat& st, const FileIdentity& read) {
  FileIdentity now = IdentityOf(st);
  now.changed = read.changed;
  return S_ISREG(st.st_mode) && now == read;
}

// Puts `file`, which bears its hidden name, in place of the model. A save
// that another program makes between the last look at the model and the
// rename would be overwritten unseen, so the two files swap names instead
// and what comes out is looked at: if it is not the file that was read,
// unchanged, the two swap back and the other program's save stays.
Step TakePlace(int folder, NewFile& file, const std::string& name, const FileIdentity& read) {
  const char* hidden = file.name.c_str();
  struct stat made;
  if (::fstat(file.fd.get(), &made) != 0) return Step::kFailed;
  if (::renameat2(folder, hidden, folder, name.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno == ENOENT) return Step::kChanged;  // a name is gone
    if (errno != EINVAL && errno != ENOSYS) return Step::kFailed;
    // A file system that cannot swap names: a plain rename, right after the
    // last look.
    return ::renameat(folder, hidden, folder, name.c_str()) == 0 ? Step::kDone : Step::kFailed;
  }
  struct stat out;
  const bool looked = ::fstatat(folder, hidden, &out, AT_SYMLINK_NOFOLLOW) == 0;
  if (looked && UnchangedButSwapped(out, read)) {
    // The old model. Should the system refuse, it stays under the hidden
    // name, which the caller hands on to be named to the user.
    if (::unlinkat(folder, hidden, 0) != 0 && errno != ENOENT) file.old_left_error = errno;
    return Step::kDone;
  }
  // What came out could not be looked at (a disk error): it goes back all
  // the same, and the run fails for that reason, not for a change it never
  // saw. Gone from under the hidden name, it was taken away meanwhile.
  const int look_error = looked || errno == ENOENT ? 0 : errno;
  if (::renameat2(folder, hidden, folder, name.c_str(), RENAME_EXCHANGE) != 0) {
    // Both stay as they are now, neither removed: the result under the
    // model's name, what came out under the hidden name.
    file.others_left = true;
    return Step::kStranded;
  }
  // What comes out now is the result as it was made, unless another program
  // saved over the model's name, or wrote into the result there, since the
  // first swap. That save is the later one: one more swap gives it the name
  // back, and the earlier one then stays under the hidden name. Nothing of
  // another program's is removed.
  if (::fstatat(folder, hidden, &out, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      file.name.clear();  // taken away meanwhile
    else
      file.others_left = true;
  } else if (!UnchangedButSwapped(out, IdentityOf(made))) {
    ::renameat2(folder, hidden, folder, name.c_str(), RENAME_EXCHANGE);
    file.others_left = true;
  }
  if (look_error == 0) return Step::kChanged;
  errno = look_error;
  return Step::kFailed;
}

// Gives the new file `out` the model's owner, group, extended attributes,
// flags and mode. Owner first: changing it clears the set-id bits, which the
// mode then brings back, as the owner and group are the model's.
bool CarryOver(int model, const struct stat& st, int out) {
  return ::fchown(out, st.st_uid, st.st_gid) == 0 && CopyAttributes(model, out) &&
         CopyFlags(model, out) && ::fchmod(out, st.st_mode & 07777) == 0;
}

// A small file of the system's, such as /proc/self/uid_map, as text; empty
// where it cannot be read.
std::string SystemText(const char* path) {
  std::string text;
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  char buffer[4096];
  for (ssize_t n = 0; fd.valid();) {
    n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Whether `id`, the model's owner or group as this process sees it, may
// stand for another ID. In a user namespace (a rootless container) every ID
// that its map leaves out shows as the overflow ID, which is also the ID of
// the namespace's own nobody: a new file given it would belong to that
// other user. Outside one, `map` maps all 4294967295 IDs. Where /proc cannot
// be read, the overflow ID is taken to stand for another.
bool MayStandForAnother(unsigned id, const char* overflow, const char* map) {
  const std::string shown = SystemText(overflow);
  if (id != (shown.empty() ? 65534 : std::strtoul(shown.c_str(), nullptr, 10))) return false;
  const std::string lines = SystemText(map);
  unsigned long long mapped = 0;
  const char* at = lines.c_str();
  for (char* end = nullptr;; at = end) {
    std::strtoull(at, &end, 10);   // inside
    std::strtoull(end, &end, 10);  // outside
    const unsigned long long count = std::strtoull(end, &end, 10);
    if (end == at) break;
    mapped += count;
  }
  return mapped < 4294967295ULL;
}

// Whether the model's owner or group may be one that this process cannot
// see, and so cannot give to a new file.
bool OwnerUnseen(const struct stat& st) {
  return MayStandForAnother(st.st_uid, "/proc/sys/kernel/overflowuid", "/proc/self/uid_map") ||
         MayStandForAnother(st.st_gid, "/proc/sys/kernel/overflowgid", "/proc/self/gid_map");
}

// Whether the folder is append-only: a file made there could then neither
// take the model's place nor be removed again. Asked of the folder's
// attributes first, which a folder that may not be listed, and so is open
// only as a path, answers too.
bool AppendOnly(int folder) {
  struct statx stx;
  if (::statx(folder, "", AT_EMPTY_PATH, 0, &stx) == 0 &&
      (stx.stx_attributes_mask & STATX_ATTR_APPEND) != 0)
    return (stx.stx_attributes & STATX_ATTR_APPEND) != 0;
  int flags = 0;
  return ::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

// Whether a file is mounted over the model's name (a bind mount of a single
// file, as a container gets): nothing can be renamed over it.
bool MountedOver(int model) {
  struct statx stx;
  return ::statx(model, "", AT_EMPTY_PATH, 0, &stx) == 0 &&
         (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Writes the result beside the model, carries over what the model has, and
// renames it over the model.
Step ReplaceByRename(int folder, const std::string& name, int model, const struct stat& st,
                     int result, off_t size, const FileIdentity& read, CopyBuffers& buffers,
                     const std::function<void()>& keep_result, std::string* old_left) {
  // Other names would keep the old model; see AppendOnly for the folder,
  // MountedOver for a file mounted there and OwnerUnseen for its owner.
  if (st.st_nlink != 1 || AppendOnly(folder) || MountedOver(model) || OwnerUnseen(st))
    return Step::kCannotCarry;
  NewFile file;
  // A folder that cannot be written, or is full, leaves the model as it is.
  if (!CreateBeside(folder, &file)) return Step::kFailed;
  const int out = file.fd.get();
  const auto give_up = [&](Step step) {
    const int error = errno;
    Discard(folder, file);
    errno = error;
    return step;
  };
  // Before the copy, so that a model the new file cannot stand in for is
  // known before the copy is made, and after it, since writing took away
  // the set-id bits (from a writer without the privilege to keep them) and
  // any file capability. Memory that runs out is no reason to write into
  // the model instead.
  const auto cannot_carry = [] { return errno == ENOMEM ? Step::kFailed : Step::kCannotCarry; };
  if (!CarryOver(model, st, out)) return give_up(cannot_carry());
  if (!CopyContent(result, out, size, buffers.first)) return give_up(Step::kFailed);
  if (!CarryOver(model, st, out)) return give_up(cannot_carry());
  // The rename must not reach the disk before the content does.
  if (::fsync(out) != 0) return give_up(Step::kFailed);

  const SignalsHeld held;
  if (!GiveName(folder, file)) return give_up(Step::kFailed);
  struct stat now;
  const bool looked = ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
  // A look that failed (a disk error) saw no change, and is the reason given.
  if (!looked && errno != ENOENT) return give_up(Step::kFailed);
  if (!looked || !Unchanged(now, read)) {
    Discard(folder, file);
    return Step::kChanged;
  }
  const Step step = TakePlace(folder, file, name, read);
  if ((step == Step::kChanged || step == Step::kFailed) && !file.others_left) return give_up(step);
  if (step == Step::kStranded) keep_result();
  const int error = file.old_left_error != 0 ? file.old_left_error : errno;
  // Moved: nothing is asked of memory now.
  if (file.others_left || file.old_left_error != 0) *old_left = std::move(file.name);
  file.noted.reset();
  ::fsync(folder);  // the rename itself; the model is whole either way
  errno = error;
  return step;
}

// Writes the result into the open model, `old_size` bytes long until now.
ReplaceResult CopyInto(int model, off_t old_size, int result, off_t size, CopyBuffers& buffers,
                       int* error) {
  const auto untouched = [&](int why) {
    *error = why;
    // A reservation that failed part way (a full disk) may have left the
    // model longer, ending in zeros: it gets its own length back.
    return ::ftruncate(model, old_size) == 0 ? ReplaceResult::kUntouched
                                             : ReplaceResult::kMaybeDamaged;
  };
  if (size > 0) {
    if (const int reserved = ::posix_fallocate(model, 0, size); reserved != 0)
      return untouched(reserved);
  }
  // The model takes the result's length before the copy rather than after
  // it, so that what another program appends meanwhile shows in the length
  // instead of being cut off unseen.
  if (::ftruncate(model, size) != 0) return untouched(errno);
  bool same = false;
  if (!CopyContent(result, model, size, buffers.first) || ::fsync(model) != 0 ||
      !HoldsContent(model, result, size, buffers, &same)) {
    *error = errno;
    return ReplaceResult::kMaybeDamaged;
  }
  // Nothing keeps another program from writing the model while the result
  // goes in; what the model holds afterwards tells.
  return same ? ReplaceResult::kReplaced : ReplaceResult::kWrittenMeanwhile;
}

// Whether `name` in `folder` leads, without a link, to the open file `fd`.
// Where the name cannot be looked up for another reason than its absence,
// nothing says otherwise.
bool StillNamed(int folder, const std::string& name, int fd) {
  struct stat named, held;
  if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  return ::fstat(fd, &held) != 0 || IdentityOf(named).SameFile(IdentityOf(held));
}

// Takes a write lock on the whole of the model, open as `fd`, for as long as
// it is open: another run, or any program that honours locks, then neither
// reads it half old, half new, nor writes it meanwhile. False with
// kErrorWriteLocked in `*error` where another holds a write lock on it.
// Where the file system keeps no locks, or others hold only read locks, the
// copy goes ahead without one, as it always did.
bool LockForWriting(int fd, int* error) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  if ((errno != EAGAIN && errno != EACCES) || !WriteLocked(fd)) return true;
  *error = kErrorWriteLocked;
  return false;
}

// Returns once a write that another program has under way on `fd`'s file
// has ended. Such a write sets the file's times as it begins and its length
// as it goes, so a model read while it was held up part way (its program
// not scheduled) looks unchanged until it ends: the copy's first change
// would then wait for it, and cut off what it wrote last. A write of
// nothing changes nothing, but where the file system lets one write go at
// a time, as ext4 and tmpfs do, it waits for the one under way.
void WaitForWriteUnderWay(int fd) {
  while (::write(fd, "", 0) < 0 && errno == EINTR) {
  }
}

// Writes the result into the model itself.
ReplaceResult ReplaceInPlace(int folder, const std::string& name, int result, off_t size,
                             const FileIdentity& read, CopyBuffers& buffers,
                             const std::function<void()>& keep_result, int* error) {
  // Once the copy begins, the temporary file may become the one whole copy
  // of the model's content: it is committed to the disk first, so that a
  // crash or a power cut during the copy cannot take both.
  if (::fsync(result) != 0) {
    *error = errno;
    return ReplaceResult::kUntouched;
  }
  UniqueFd out;
  struct stat st;
  if (const auto stop = OpenModel(folder, name, O_RDWR, read, &out, &st, error)) return *stop;
  const FileIdentity opened = IdentityOf(st);
  if (!LockForWriting(out.get(), error)) return ReplaceResult::kUntouched;
  WaitForWriteUnderWay(out.get());
  // Another run may have copied its own result into the model between the
  // look above and the lock; once the lock is held, none can.
  if (::fstat(out.get(), &st) != 0) {
    *error = errno;
    return ReplaceResult::kUntouched;
  }
  if (!Unchanged(st, opened)) return ReplaceResult::kModelChanged;
  // From the reservation on, the model may be longer than it was, and from
  // the first byte copied it is half old, half new: a signal waits until it
  // is whole again.
  const SignalsHeld held;
  ReplaceResult outcome = CopyInto(out.get(), st.st_size, result, size, buffers, error);
  // An editor that saved by renaming a new file over the model, or removed
  // it, meanwhile has the result written into a file the name no longer
  // leads to, gone from the disk with its last name: the temporary file is
  // then the result's one whole copy, and the run is not done.
  if (outcome == ReplaceResult::kReplaced && !StillNamed(folder, name, out.get()))
    outcome = ReplaceResult::kReplacedMeanwhile;
  if (outcome != ReplaceResult::kReplaced && outcome != ReplaceResult::kUntouched) keep_result();
  return outcome;
}

ReplaceResult Replace(int folder, const std::string& name, int result, const FileIdentity& read,
                      const std::function<void()>& keep_result, std::string* old_left, int* error) {
  UniqueFd model;
  struct stat st;
  if (const auto stop = OpenModel(folder, name, O_RDONLY, read, &model, &st, error)) return *stop;
  // Another run that is copying its result into the model now, and was
  // stopped part way (a Ctrl-Z), has changed nothing since this run looked:
  // what this run read may be half its result.
  if (WriteLocked(model.get())) {
    *error = kErrorWriteLocked;
    return ReplaceResult::kUntouched;
  }
  // Read-only means read-only, for the superuser too, whom a rename would
  // let past the permissions; an immutable file and a read-only mount answer
  // here as well.
  if ((st.st_mode & 0222) == 0) {
    *error = EACCES;
    return ReplaceResult::kUntouched;
  }
  if (::faccessat(folder, name.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = errno;
    return ReplaceResult::kUntouched;
  }
  struct stat made;
  if (::fstat(result, &made) != 0) {
    *error = errno;
    return ReplaceResult::kUntouched;
  }
  CopyBuffers buffers;
  if (!TakeBuffers(&buffers)) {
    *error = ENOMEM;
    return ReplaceResult::kUntouched;
  }

  switch (ReplaceByRename(folder, name, model.get(), st, result, made.st_size, read, buffers,
                          keep_result, old_left)) {
    case Step::kDone:
      if (!old_left->empty()) *error = errno;
      return ReplaceResult::kReplaced;
    case Step::kChanged:
      return ReplaceResult::kModelChanged;
    case Step::kFailed:
      *error = errno;
      return ReplaceResult::kUntouched;
    case Step::kStranded:
      *error = errno;
      return ReplaceResult::kMaybeDamaged;
    case Step::kCannotCarry:
      break;
  }
  return ReplaceInPlace(folder, name, result, made.st_size, read, buffers, keep_result, error);
}

}  // namespace

bool WriteLocked(int fd) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

std::string UnguessableName(const char* prefix, const char* suffix) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[10];
  std::size_t got = 0;
  while (got < sizeof random) {
    const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      return {};  // refused, as by a sandbox that does not know the call
    }
  }
  std::string name = prefix;
  for (const unsigned char byte : random) name += kLetters[byte % (sizeof kLetters - 1)];
  name += suffix;
  return name;
}

ReplaceResult ReplaceModelFile(int folder, const std::string& name, int result,
                               const FileIdentity& read, const std::function<void()>& keep_result,
                               std::string* old_left, int* error) {
  *error = 0;
  old_left->clear();
  // Once the model may change nothing more is asked of memory, and a name
  // is asked for before its file is made: memory that runs out leaves the
  // model as it was.
  try {
    return Replace(folder, name, result, read, keep_result, old_left, error);
  } catch (const std::bad_alloc&) {
    *error = ENOMEM;
    return ReplaceResult::kUntouched;
  }
}

}  // namespace sgsplit
