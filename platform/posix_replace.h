// Putting a rewritten model in place of the model on POSIX systems.
#ifndef SGSPLIT_PLATFORM_POSIX_REPLACE_H_
#define SGSPLIT_PLATFORM_POSIX_REPLACE_H_

#include <functional>
#include <string>

#include "platform/platform.h"

namespace sgsplit {

// Puts the content of the open file `result` (read from its start) in place
// of the file `name` in the folder open as `folder`, provided that the name
// still leads, without a link, to the file that `read` describes, unchanged.
//
// The result is written beside the model, given the model's owner, group,
// mode, extended attributes (its ACLs among them) and file flags, committed
// to the disk and renamed over it, so the model is wholly old or wholly new;
// the two swap names where the file system can, so that a save that lands
// at the last moment goes back rather than being lost. A model the new file
// cannot stand in for (another owner or group that may not be given, or
// that a user namespace does not map, an attribute or flag that may not be
// set, more than one name, an append-only folder, a file mounted over the
// model) is rewritten in place instead,
// keeping all it carries and its other names; the room is taken first, so
// that a full disk is found before its first byte changes, and it is locked
// for writing until the copy is done. A model that another program holds
// a write lock on is left alone.
// A folder where no file can be made beside the model, or that is full,
// leaves the model as it is.
// A model with no write permission is left alone, also for the superuser.
// Where the run ends with the model perhaps damaged, or written, replaced or
// removed by another program meanwhile, the result is the only whole copy of the rewritten
// model: `keep_result` is called before a signal held back meanwhile may end
// the process, so that it can be taken off the files removed on a signal.
// `*error` is the system's code for a failure. Where the result took the
// model's place but the model's old content, moved beside it under a hidden
// name, could not be removed, `*old_left` is that name and `*error` why.
// Where another program saved over the model while the names were being
// swapped, and a save of its own stays beside the model under a hidden name,
// `*old_left` is that name. Otherwise `*old_left` is empty.
ReplaceResult ReplaceModelFile(int folder, const std::string& name, int result,
                               const FileIdentity& read, const std::function<void()>& keep_result,
                               std::string* old_left, int* error);

// The code, beside errno's, for a file that another program holds a write
// lock on: it says that it is writing the file.
inline constexpr int kErrorWriteLocked = 0x10001;

// Whether another open file holds a write lock on any part of `fd`'s file, as
// a run does while it copies its result into the model. Where the file
// system keeps no locks, none is held.
bool WriteLocked(int fd);

// `prefix`, ten random letters and digits from the system's random source,
// and `suffix`: a name that nobody can guess, or exhaust. Empty, with errno
// set, where that source cannot be read.
std::string UnguessableName(const char* prefix, const char* suffix);

}  // namespace sgsplit

#endif  // SGSPLIT_PLATFORM_POSIX_REPLACE_H_
