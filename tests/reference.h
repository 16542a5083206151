// Plain, step-by-step versions of what the image code does fast.
#ifndef ROMTEST_TESTS_REFERENCE_H_
#define ROMTEST_TESTS_REFERENCE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rom_maker.h"

// The end-around-carry sum of one chip's 16,384 assembled bytes, one at a
// time: add the byte, and put any carry out of bit 7 back in at bit 0.
inline std::uint8_t StepByStepSum(const unsigned char* locations) {
  unsigned sum = 0;
  for (std::size_t k = 0; k < 0x4000; ++k) {
    sum += static_cast<unsigned>(locations[2 * k + 1] << 4 | locations[2 * k]);
    if (sum > 0xFF) sum = (sum & 0xFF) + 1;
  }
  return static_cast<std::uint8_t>(sum);
}

// The working image that a file's bytes should give.
inline std::vector<unsigned char> ReferenceWorkingImage(const unsigned char* file, std::size_t n) {
  std::vector<unsigned char> bytes(file, file + n);
  for (unsigned char b : bytes) {
    if (b & 0xF0) return UnpackedForm(bytes);
  }
  return bytes;
}

#endif  // ROMTEST_TESTS_REFERENCE_H_
