// Makes ROM images for the sample, the tests and the benchmarks.
#ifndef ROMTEST_TOOLS_ROM_MAKER_H_
#define ROMTEST_TOOLS_ROM_MAKER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// xorshift64*: small, fast and the same on every platform.
inline std::uint8_t NextRandomByte(std::uint64_t& state) {
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1DULL) >> 56);
}

// Sets byte 0 of a chip's 16,384 assembled bytes so that their total is 1
// modulo 255: an end-around-carry sum of 0x01, a passing chip.
inline void MakeChipPass(unsigned char* chip) {
  std::uint32_t rest = 0;
  for (std::size_t i = 1; i < 0x4000; ++i)
    rest += chip[i];
  chip[0] = static_cast<unsigned char>((256 - rest % 255) % 255);
}

// Fills one chip's assembled bytes with random values, and makes it pass.
inline void FillPassingChip(unsigned char* chip, std::uint64_t& state) {
  for (std::size_t i = 1; i < 0x4000; ++i)
    chip[i] = NextRandomByte(state);
  MakeChipPass(chip);
}

// Packed bytes to locations: byte i becomes location 2i (low nibble) and 2i + 1.
inline std::vector<unsigned char> UnpackedForm(const std::vector<unsigned char>& packed) {
  std::vector<unsigned char> locations(packed.size() * 2);
  for (std::size_t i = 0; i < packed.size(); ++i) {
    locations[2 * i] = packed[i] & 0x0F;
    locations[2 * i + 1] = packed[i] >> 4;
  }
  return locations;
}

// Locations back to packed bytes.
inline std::vector<unsigned char> PackedForm(const std::vector<unsigned char>& locations) {
  std::vector<unsigned char> packed(locations.size() / 2);
  for (std::size_t i = 0; i < packed.size(); ++i) {
    packed[i] = static_cast<unsigned char>(locations[2 * i] | locations[2 * i + 1] << 4);
  }
  return packed;
}

#endif  // ROMTEST_TOOLS_ROM_MAKER_H_
