// The loops that touch every byte of an image, kept apart so that each has
// one fast (SSE2) and one portable body in kernels.cc.
#ifndef ROMTEST_IMAGE_KERNELS_H_
#define ROMTEST_IMAGE_KERNELS_H_

#include <cstddef>
#include <cstdint>

// Index of the first byte of src with a nonzero high nibble, or n if none.
std::size_t FindHighNibble(const unsigned char* src, std::size_t n);

// Writes byte i of src as location 2i (low nibble) and 2i + 1 (high nibble).
void SplitNibbles(unsigned char* dst, const unsigned char* src, std::size_t n);

// Sums n locations (n even): the even-indexed ones into even, the odd-indexed
// ones into odd. n at most one chip, so the totals fit 32 bits.
void SumLocations(const unsigned char* src, std::size_t n, std::uint32_t& even, std::uint32_t& odd);

// Total of n bytes; n at most one chip's 16,384, so the total fits 32 bits.
std::uint32_t SumBytes(const unsigned char* src, std::size_t n);

#endif  // ROMTEST_IMAGE_KERNELS_H_
