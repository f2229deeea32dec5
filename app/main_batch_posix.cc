// sgsplit-batch on POSIX systems: arguments are bytes, widened losslessly.
#include <cstdio>
#include <vector>

#include "app/batch.h"
#include "platform/posix_file_names.h"

namespace {

std::string ShowPath(const std::u16string& path) {
  std::string bytes;
  return sgsplit::NarrowFileName(path, &bytes) ? bytes : std::string("(unprintable name)");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<sgsplit::BatchArgument> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back({sgsplit::WidenFileName(argv[i]), argv[i]});
  const auto platform = sgsplit::NewSystemPlatform();
  return sgsplit::RunBatch(*platform, arguments, ShowPath, stdout, stderr);
}
