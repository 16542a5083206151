// Fuzzes form detection, unpacking, the byte loops and the chip check on
// arbitrary bytes, each against its step-by-step reference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "image/kernels.h"
#include "image/rom_image.h"
#include "reference.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_image: %s differs from the reference\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The code under test reports on standard output; the fuzzer needs none of it.
  return std::freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // an empty file never gets this far

  // The whole file, as the tool unpacks it.
  RomImage image = {};
  MappedFile input = {};
  input.view = data;
  input.size = input.viewLength = size;
  bool packed = false;
  Check(FindInputForm(input, packed) == 0, "FindInputForm");
  Check(UnpackImage(image, input, packed) == 0, "allocation");
  const std::vector<unsigned char> want = ReferenceWorkingImage(data, size);
  Check(image.length == want.size(), "working length");
  Check(std::vector<unsigned char>(image.data, image.data + image.length) == want, "working image");
  FreeImage(image);

  // The byte loops at the alignment that the first byte picks.
  const std::size_t at = data[0] % 16 < size ? data[0] % 16 : 0;
  const unsigned char* src = data + at;
  const std::size_t n = size - at;
  std::size_t firstHigh = 0;
  while (firstHigh < n && !(src[firstHigh] & 0xF0))
    ++firstHigh;
  Check(FindHighNibble(src, n) == firstHigh, "FindHighNibble");
  std::vector<unsigned char> split(2 * n);
  SplitNibbles(split.data(), src, n);
  Check(split == UnpackedForm(std::vector<unsigned char>(src, src + n)), "SplitNibbles");
  const std::size_t pairs = n & ~std::size_t{1};
  std::uint32_t even = 0, odd = 0, wantEven = 0, wantOdd = 0;
  for (std::size_t i = 0; i < pairs; i += 2) {
    wantEven += src[i];
    wantOdd += src[i + 1];
  }
  SumLocations(src, pairs, even, odd);
  Check(even == wantEven && odd == wantOdd, "SumLocations");
  const std::size_t bytes = n < kChipBytes ? n : kChipBytes;
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < bytes; ++i)
    total += src[i];
  Check(SumBytes(src, bytes) == total, "SumBytes");

  // Two chips: zeros, then the input's locations repeated to fill a chip.
  std::vector<unsigned char> chips(2 * kChipLocations, 0);
  for (std::uint32_t i = 0; i < kChipLocations; ++i) {
    chips[kChipLocations + i] = data[i % size] & 0x0F;
  }
  const std::uint8_t sum = ChipChecksum(chips.data(), kChipLocations);
  Check(sum == StepByStepSum(chips.data() + kChipLocations), "ChipChecksum");
  Check(ChipChecksum(chips.data(), 0) == 0x00, "ChipChecksum of zeros");
  // The same chips summed from their packed bytes, as a check reads a file.
  ChipSums fromImage, fromFile;
  const std::vector<unsigned char> packedChips = PackedForm(chips);
  fromImage.count = 2;
  SumChips(chips.data(), 2 * kChipLocations, false, fromImage.sum);
  MappedFile packedInput = {};
  packedInput.view = packedChips.data();
  packedInput.size = packedInput.viewLength = packedChips.size();
  Check(SumInputChips(packedInput, true, fromFile) == 0, "SumInputChips");
  Check(fromImage.sum[1] == sum, "SumChips");
  Check(fromFile.count == 2 && fromFile.sum[0] == 0x00 && fromFile.sum[1] == sum,
        "SumChips of packed bytes");
  Check(ReportChips(fromFile) == 1, "ReportChips");
  return 0;
}
