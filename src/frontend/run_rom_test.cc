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
  const bool convert = argc == 3;

  MappedFile input = {};
  if (OpenMappedFile(argv[1], input) != 0) {
    std::printf("Cannot open file %s.\n", argv[1]);
    CloseMappedFile(input);
    return Finish(1);
  }
  // The size rule needs only the form and the file's length; an illegal
  // image costs its form scan and nothing more. A file too long for any
  // image is not even scanned.
  bool packed = false;
  int unheld = input.size <= kLongestFile ? FindInputForm(input, packed) : 0;
  if (packed) PrintMessage("Unpacking data...");
  const bool legal = IsLegalLength(WorkingLength(input.size, packed));

  // The working image exists to be written: a check sums the chips straight
  // from the file, whose bytes in either form are what the sums add.
  RomImage image = {};
  ChipSums sums;
  if (!unheld && legal && convert) {
    unheld = UnpackImage(image, input, packed);
    if (!unheld) {
      sums.count = image.length / kChipLocations;
      SumChips(image.data, image.length, false, sums.sum);
    }
  } else if (!unheld && legal) {
    unheld = SumInputChips(input, packed, sums);
  }
  // Nothing is reported from bytes that the file may not have held.
  const int changed = MappedFileChanged(input);
  CloseMappedFile(input);  // from here on the output may replace the input

  int status = 1;
  if (changed) {
    std::printf("Cannot open file %s.\n", argv[1]);
  } else if (unheld) {
    // No room for the image: the run ends as a failed allocation ends.
  } else if (!legal) {
    PrintMessage("Illegal ROM size!");
  } else if (ReportChips(sums) != 0) {
    PrintMessage("Checksum Error!");
  } else {
    PrintMessage("Checksum(s) ok!");
    // The output is written only once the report has been delivered, so a
    // failed run always leaves the output path as it was.
    status = ReportLost();
    if (status == 0 && convert) status = OutputImage(argv[2], image);
  }
  FreeImage(image);
  return Finish(status);
}
