#include <cstdio>

#include "kernels.h"
#include "rom_image.h"

namespace {

// The end-around-carry sum never wraps to 0 once it is nonzero, so it equals
// the plain total of the assembled bytes modulo 255, written as 0xFF when
// that is 0, and is 0x00 only for a chip of zeros.
std::uint8_t ChecksumOfTotal(std::uint32_t total) {
  if (total == 0) return 0x00;
  const std::uint32_t rest = total % 255;
  return static_cast<std::uint8_t>(rest == 0 ? 0xFF : rest);
}

}  // namespace

// An assembled byte is 16 x its odd location + its even one.
std::uint8_t ChipChecksum(const unsigned char* image, std::uint32_t offset) {
  std::uint32_t even, odd;
  SumLocations(image + offset, kChipLocations, even, odd);
  return ChecksumOfTotal(odd * 16 + even);
}

void SumChips(const unsigned char* chips, std::uint32_t length, bool packed, std::uint8_t* sums) {
  for (std::uint32_t chip = 0; chip < length / kChipLocations; ++chip) {
    sums[chip] = packed ? ChecksumOfTotal(SumBytes(chips + chip * kChipBytes, kChipBytes))
                        : ChipChecksum(chips, chip * kChipLocations);
  }
}

int SumInputChips(MappedFile& in, bool packed, ChipSums& out) {
  out.count = static_cast<std::uint32_t>(WorkingLength(in.size, packed) / kChipLocations);
  const std::uint64_t chipBytes = packed ? kChipBytes : kChipLocations;
  for (std::uint64_t at = 0; at < in.size; at += kInputPiece) {
    const std::uint64_t n = InputPieceAt(in, at);
    const unsigned char* piece = MapInput(in, at, n);
    if (!piece) return 1;
    SumChips(piece, static_cast<std::uint32_t>(WorkingLength(n, packed)), packed,
             out.sum + at / chipBytes);
  }
  return 0;
}

int ReportChips(const ChipSums& sums) {
  int failed = 0;
  for (std::uint32_t chip = 0; chip < sums.count; ++chip) {
    const bool ok = sums.sum[chip] == kChipPassSum;
    std::printf("ROM Chip %u = %02X -> %s\n", static_cast<unsigned>(chip + 1),
                static_cast<unsigned>(sums.sum[chip]), ok ? "Ok" : "Fail");
    if (!ok) failed = 1;
  }
  return failed;
}
