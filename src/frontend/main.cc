#include <cstdio>
#include <cstdlib>

#include "image/rom_image.h"
#include "run_rom_test.h"

int main(int argc, char** argv) {
  GuardStandardStreams();
  // Fully buffered even on a terminal, and written in 64 KiB pieces: a large
  // image has many lines. The buffer is the stream's until the process ends.
  constexpr std::size_t kReportBuffer = 1 << 16;
  char* buffer = static_cast<char*>(std::malloc(kReportBuffer));
  std::setvbuf(stdout, buffer, _IOFBF, buffer ? kReportBuffer : 0);
  return RunRomTest(argc, argv);
}
