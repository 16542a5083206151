#include <cstdio>

#include "kernels.h"
#include "rom_image.h"

// The end-around-carry sum never wraps to 0 once it is nonzero, so it equals
// the plain total modulo 255, written as 0xFF when that is 0, and is 0x00 only
// for a chip of zeros. The total is 16 x the odd locations + the even ones.
std::uint8_t ChipChecksum(const unsigned char* image, std::uint32_t offset) {
  std::uint32_t even, odd;
  SumLocations(image + offset, kChipLocations, even, odd);
  const std::uint32_t total = odd * 16 + even;
  if (total == 0) return 0x00;
  const std::uint32_t rest = total % 255;
  return static_cast<std::uint8_t>(rest == 0 ? 0xFF : rest);
}

int CheckChips(const unsigned char* image, std::uint32_t length) {
  int failed = 0;
  const std::uint32_t chips = length / kChipLocations;
  for (std::uint32_t chip = 1; chip <= chips; ++chip) {
    const std::uint8_t sum = ChipChecksum(image, (chip - 1) * kChipLocations);
    const bool ok = sum == kChipPassSum;
    std::printf("ROM Chip %u = %02X -> %s\n", static_cast<unsigned>(chip),
                static_cast<unsigned>(sum), ok ? "Ok" : "Fail");
    if (!ok) failed = 1;
  }
  return failed;
}
