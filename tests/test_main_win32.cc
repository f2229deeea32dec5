// The test runner's entry point on Windows. Standard output is put in binary
// mode so that test listings end their lines with LF alone: the test
// discovery reads them line by line and would take a CR for part of a name.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
