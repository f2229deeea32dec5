// The command-line front end: the same pass, with the file choice answered by
// each argument in turn instead of the dialog.
#ifndef SGSPLIT_APP_BATCH_H_
#define SGSPLIT_APP_BATCH_H_

#include <cstdio>
#include <string>
#include <vector>

#include "app/failure_message.h"
#include "platform/platform.h"

namespace sgsplit {

inline constexpr int kExitUsage = 64;

struct BatchArgument {
  std::u16string path;  // as the file system takes it
  std::string text;     // as the user typed it, UTF-8, for telling options apart
};

// Runs the pass on every file argument; names in messages are shown by
// `display`. Returns 0 when all went through,
// otherwise the highest exit code of any file, or kExitUsage.
int RunBatch(Platform& platform, const std::vector<BatchArgument>& arguments, DisplayPath display,
             std::FILE* out, std::FILE* err);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_BATCH_H_
