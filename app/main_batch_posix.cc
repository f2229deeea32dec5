// sgsplit-batch on POSIX systems: arguments are bytes, widened losslessly.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "app/batch.h"
#include "app/quote_name.h"
#include "platform/posix_file_names.h"

namespace {

constexpr char kOutOfMemory[] = "sgsplit-batch: out of memory\n";

// More than the C++ runtime sets aside before main for throwing an exception
// once memory has run out (some 73 KB), and less than any pass takes.
constexpr std::size_t kRoomToStart = std::size_t{128} * 1024;

}  // namespace

int main(int argc, char** argv) {
  // Where the runtime found no room for that reserve, memory running out
  // would end the program (std::terminate, a core) instead of being told;
  // with so little left no pass could get far, so the run ends here, asking
  // nothing that throws.
  if (const std::unique_ptr<void, decltype(&std::free)> room(std::malloc(kRoomToStart), &std::free);
      room == nullptr) {
    std::fputs(kOutOfMemory, stderr);
    return 1;
  }
  // Each pass tells its own memory running out; what runs out here, around
  // the passes (taking in the arguments, setting up), comes before any model
  // is opened.
  try {
    std::vector<sgsplit::BatchArgument> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back({sgsplit::WidenFileName(argv[i]), argv[i]});
    const auto platform = sgsplit::NewSystemPlatform();
    return sgsplit::RunBatch(*platform, arguments, sgsplit::ShowName, stdout, stderr);
  } catch (const std::bad_alloc&) {
    std::fputs(kOutOfMemory, stderr);
    return 1;
  }
}
