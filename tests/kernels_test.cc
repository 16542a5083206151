// The byte loops against plain reference loops, at every alignment and every
// length remainder that a vector loop has.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/kernels.h"
#include "rom_maker.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::size_t n, std::uint64_t seed, unsigned char mask = 0xFF) {
  Bytes bytes(n);
  for (auto& b : bytes)
    b = NextRandomByte(seed) & mask;
  return bytes;
}

TEST(Kernels, FindHighNibbleAtEveryPositionAndAlignment) {
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t n = 0; n <= 200; ++n) {
      Bytes buffer = RandomBytes(align + n, n * 31 + align, 0x0F);
      const unsigned char* src = buffer.data() + align;
      ASSERT_EQ(FindHighNibble(src, n), n) << align << " " << n;
      for (std::size_t at = 0; at < n; at += 1 + at / 8) {
        buffer[align + at] = 0x10 << (at % 4);         // 0x10, 0x20, 0x40, 0x80
        if (at + 1 < n) buffer[align + n - 1] = 0xFF;  // a later one must not win
        ASSERT_EQ(FindHighNibble(src, n), at) << align << " " << n;
        buffer[align + at] = 0x0F;
        buffer[align + n - 1] = 0x0F;
      }
    }
  }
}

TEST(Kernels, SplitNibblesAtEveryAlignment) {
  for (std::size_t srcAlign = 0; srcAlign < 16; ++srcAlign) {
    for (std::size_t dstAlign = 0; dstAlign < 16; dstAlign += 3) {
      for (std::size_t n = 0; n <= 100; ++n) {
        const Bytes src = RandomBytes(srcAlign + n, n + srcAlign * 100);
        Bytes dst(dstAlign + 2 * n + 1, 0xEE);
        SplitNibbles(dst.data() + dstAlign, src.data() + srcAlign, n);
        const Bytes want = UnpackedForm(Bytes(src.begin() + srcAlign, src.end()));
        ASSERT_EQ(Bytes(dst.begin() + dstAlign, dst.end() - 1), want) << srcAlign << " " << n;
        ASSERT_EQ(dst.back(), 0xEE);  // nothing written past the end
      }
    }
  }
}

TEST(Kernels, SumLocationsAtEveryAlignment) {
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t n = 0; n <= 200; n += 2) {
      const Bytes src = RandomBytes(align + n, n * 7 + align, 0x0F);
      std::uint32_t even = 0, odd = 0, wantEven = 0, wantOdd = 0;
      for (std::size_t i = 0; i < n; i += 2) {
        wantEven += src[align + i];
        wantOdd += src[align + i + 1];
      }
      SumLocations(src.data() + align, n, even, odd);
      ASSERT_EQ(even, wantEven) << align << " " << n;
      ASSERT_EQ(odd, wantOdd) << align << " " << n;
    }
  }
}

TEST(Kernels, SumLocationsOfAFullChipOfLargestValues) {
  const Bytes chip(0x8000, 0x0F);
  std::uint32_t even = 0, odd = 0;
  SumLocations(chip.data(), chip.size(), even, odd);
  EXPECT_EQ(even, 0x4000u * 15);
  EXPECT_EQ(odd, 0x4000u * 15);
}

TEST(Kernels, SumBytesAtEveryAlignment) {
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t n = 0; n <= 200; ++n) {
      const Bytes src = RandomBytes(align + n, n * 13 + align);
      std::uint32_t want = 0;
      for (std::size_t i = 0; i < n; ++i)
        want += src[align + i];
      ASSERT_EQ(SumBytes(src.data() + align, n), want) << align << " " << n;
    }
  }
  const Bytes chip(0x4000, 0xFF);
  EXPECT_EQ(SumBytes(chip.data(), chip.size()), 0x4000u * 0xFF);
}

}  // namespace
