// sgsplit-batch on POSIX systems: arguments are bytes, widened losslessly.
#include <cstdio>
#include <vector>

#include "app/batch.h"
#include "app/quote_name.h"
#include "platform/posix_file_names.h"

int main(int argc, char** argv) {
  std::vector<sgsplit::BatchArgument> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back({sgsplit::WidenFileName(argv[i]), argv[i]});
  const auto platform = sgsplit::NewSystemPlatform();
  return sgsplit::RunBatch(*platform, arguments, sgsplit::ShowName, stdout, stderr);
}
