// The command-line front end: the same pass, with the file choice answered by
// each argument in turn instead of the dialog.
#ifndef SGSPLIT_APP_BATCH_H_
#define SGSPLIT_APP_BATCH_H_

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sgsplit {

inline constexpr int kExitUsage = 64;

struct BatchArgument {
  std::u16string path;  // as the file system takes it
  std::string text;     // as the user typed it, UTF-8, for messages
};

// Turns a UTF-16 path into UTF-8 text for messages.
using DisplayPath = std::string (*)(const std::u16string& path);

// Runs the pass on every file argument. Returns 0 when all went through,
// otherwise the highest exit code of any file, or kExitUsage.
int RunBatch(Platform& platform, const std::vector<BatchArgument>& arguments, DisplayPath display,
             std::FILE* out, std::FILE* err);

}  // namespace sgsplit

#endif  // SGSPLIT_APP_BATCH_H_
