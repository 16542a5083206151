#include "run_rom_test.h"

#include <cstdio>

#include "image/rom_image.h"

namespace {

void PrintMessage(const char* text) { std::printf("%s\n", text); }

// A report that did not reach standard output is a failed run.
int ReportLost() { return std::fflush(stdout) != 0 || std::ferror(stdout); }

int Finish(int status) { return ReportLost() ? 1 : status; }

}  // namespace

int RunRomTest(int argc, char** argv) {
  std::printf("QUELM ROM Test V1.10\n");
  if (argc != 2 && argc != 3) {
    std::printf("\nUsage:\n\t%s <ROM-File>\n\n", argc > 0 && argv[0] ? argv[0] : "romtest");
    return Finish(1);
  }

  MappedFile input = {};
  if (OpenMappedFile(argv[1], input) != 0) {
    std::printf("Cannot open file %s.\n", argv[1]);
    CloseMappedFile(input);
    return Finish(1);
  }
  RomImage image = {};
  const int unpacked = UnpackImage(image, input.view, input.size);
  const int shrank = MappedFileShrank(input);
  CloseMappedFile(input);  // from here on only the working image is used
  if (unpacked != 0) return Finish(1);

  int status = 1;
  if (shrank) {
    std::printf("Cannot open file %s.\n", argv[1]);
  } else if (image.length == 0 || image.length % kChipLocations != 0) {
    PrintMessage("Illegal ROM size!");
  } else if (CheckChips(image.data, image.length) != 0) {
    PrintMessage("Checksum Error!");
  } else {
    PrintMessage("Checksum(s) ok!");
    // The output is written only once the report has been delivered, so a
    // failed run always leaves the output path as it was.
    status = ReportLost();
    if (status == 0 && argc == 3) status = OutputImage(argv[2], image);
  }
  FreeImage(image);
  return Finish(status);
}
