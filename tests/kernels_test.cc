// The byte loops against plain reference loops, at every alignment and every
// length remainder that a vector loop has. The build's own loops (SSE2, NEON)
// and the portable ones each run these tests.
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

void ReferenceSums(const unsigned char* src, std::size_t n, std::uint32_t& even,
                   std::uint32_t& odd) {
  even = odd = 0;
  for (std::size_t i = 0; i < n; i += 2) {
    even += src[i];
    odd += src[i + 1];
  }
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
  // Any byte value: a location is at most 0x0F, but the loops must not rely
  // on it.
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t n = 0; n <= 200; n += 2) {
      const Bytes src = RandomBytes(align + n, n * 7 + align);
      std::uint32_t even = 0, odd = 0, wantEven = 0, wantOdd = 0;
      ReferenceSums(src.data() + align, n, wantEven, wantOdd);
      SumLocations(src.data() + align, n, even, odd);
      ASSERT_EQ(even, wantEven) << align << " " << n;
      ASSERT_EQ(odd, wantOdd) << align << " " << n;
    }
  }
}

// Vector and word loops gather sums in narrow lanes and widen them every so
// many bytes: lengths about each such boundary, up to a chip, of bytes that
// fill the lanes fastest (0xFF) and of random ones.
TEST(Kernels, SumsOfLongRunsOfLargeBytes) {
  std::vector<std::size_t> lengths;
  for (std::size_t block : {512u, 1024u, 2048u, 4096u, 8192u, 16384u, 32768u}) {
    for (std::size_t n : {block - 66, block - 8, block - 2, block, block + 2, block + 64}) {
      if (n <= 32768) lengths.push_back(n);
    }
  }
  for (std::size_t align : {0u, 1u, 8u, 15u}) {
    for (std::size_t n : lengths) {
      for (int random = 0; random < 2; ++random) {
        Bytes buffer = random ? RandomBytes(align + n, n + align) : Bytes(align + n, 0xFF);
        if (random) {
          for (std::size_t i = 0; i < buffer.size(); i += 3)
            buffer[i] |= 0xF0;  // mostly large
        }
        const unsigned char* src = buffer.data() + align;
        std::uint32_t even = 0, odd = 0, wantEven = 0, wantOdd = 0;
        ReferenceSums(src, n, wantEven, wantOdd);
        SumLocations(src, n, even, odd);
        ASSERT_EQ(even, wantEven) << align << " " << n << " " << random;
        ASSERT_EQ(odd, wantOdd) << align << " " << n << " " << random;
        if (n <= 16384) {
          ASSERT_EQ(SumBytes(src, n), wantEven + wantOdd) << align << " " << n << " " << random;
        }
      }
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
