#include <cstdio>

#include "image/rom_image.h"
#include "run_rom_test.h"

int main(int argc, char** argv) {
  GuardStandardStreams();
  // One write at the end even on a terminal: a large image has many lines.
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  return RunRomTest(argc, argv);
}
