// Fuzzes the whole run: the input bytes as a file, checked and converted.
// A run that passes must leave exactly the working image at the output
// path; any other run must leave nothing there.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frontend/run_rom_test.h"
#include "reference.h"

namespace {

// The scratch directory: memory-backed where there is one, so that flushing
// the output is free. A plain array, so that it outlives the exit handler
// that removes the directory.
char scratch[64];

void RemoveScratch() {
  for (const char* name : {"/in.rom", "/out.rom"})
    unlink((std::string(scratch) + name).c_str());
  rmdir(scratch);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::snprintf(scratch, sizeof scratch, "%s/romtest-fuzz-%d", base, static_cast<int>(getpid()));
  if (mkdir(scratch, 0700) != 0) return 1;
  std::atexit(RemoveScratch);
  return std::freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in = std::string(scratch) + "/in.rom", out = std::string(scratch) + "/out.rom";
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  unlink(out.c_str());
  std::string argv0 = "romtest";
  std::vector<char*> argv = {&argv0[0], const_cast<char*>(in.c_str()),
                             const_cast<char*>(out.c_str()), nullptr};
  const int status = RunRomTest(3, argv.data());
  // A plain check reads the file in place of the working image: it must
  // come to the same verdict.
  if (RunRomTest(2, argv.data()) != status) {
    std::fprintf(stderr, "fuzz_run: a check and a conversion disagree\n");
    std::abort();
  }

  std::ifstream written(out, std::ios::binary);
  if (status == 0) {
    const std::vector<unsigned char> got((std::istreambuf_iterator<char>(written)),
                                         std::istreambuf_iterator<char>());
    if (got != ReferenceWorkingImage(data, size)) {
      std::fprintf(stderr, "fuzz_run: the output is not the working image\n");
      std::abort();
    }
  } else if (status != 1 || written.is_open()) {
    std::fprintf(stderr, "fuzz_run: status %d, output %s\n", status,
                 written.is_open() ? "written" : "absent");
    std::abort();
  }
  return 0;
}
