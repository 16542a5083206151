#include "kernels.h"

std::size_t FindHighNibble(const unsigned char* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (src[i] & 0xF0) return i;
  }
  return n;
}

void SplitNibbles(unsigned char* dst, const unsigned char* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    dst[2 * i] = src[i] & 0x0F;
    dst[2 * i + 1] = src[i] >> 4;
  }
}

void SumLocations(const unsigned char* src, std::size_t n, std::uint32_t& even,
                  std::uint32_t& odd) {
  std::uint32_t e = 0, o = 0;
  for (std::size_t i = 0; i < n; i += 2) {
    e += src[i];
    o += src[i + 1];
  }
  even = e;
  odd = o;
}
