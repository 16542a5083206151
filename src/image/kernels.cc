#include "kernels.h"

#include <cstring>

// One body per processor family: SSE2 (every x86-64), NEON (every ARM64),
// and a portable one for the rest that works eight bytes at a time in a
// 64-bit word, with the same results on either byte order.

namespace {

// Byte at a time, from i to n: where each body's wide steps end.
std::size_t FindHighNibbleFrom(const unsigned char* src, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    if (src[i] & 0xF0) return i;
  }
  return n;
}

void SplitNibblesFrom(unsigned char* dst, const unsigned char* src, std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    dst[2 * i] = src[i] & 0x0F;
    dst[2 * i + 1] = src[i] >> 4;
  }
}

void SumLocationsFrom(const unsigned char* src, std::size_t i, std::size_t n, std::uint32_t& even,
                      std::uint32_t& odd) {
  for (; i < n; i += 2) {
    even += src[i];
    odd += src[i + 1];
  }
}

std::uint32_t SumBytesFrom(const unsigned char* src, std::size_t i, std::size_t n) {
  std::uint32_t total = 0;
  for (; i < n; ++i)
    total += src[i];
  return total;
}

}  // namespace

#if defined(__SSE2__) && !defined(ROMTEST_PORTABLE_KERNELS)
#include <emmintrin.h>

std::size_t FindHighNibble(const unsigned char* src, std::size_t n) {
  const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m128i* p = reinterpret_cast<const __m128i*>(src + i);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                     _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(any, high), zero)) != 0xFFFF) break;
  }
  return FindHighNibbleFrom(src, i, n);
}

void SplitNibbles(unsigned char* dst, const unsigned char* src, std::size_t n) {
  const __m128i low = _mm_set1_epi8(0x0F);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i even = _mm_and_si128(v, low);
    const __m128i odd = _mm_and_si128(_mm_srli_epi16(v, 4), low);
    __m128i* out = reinterpret_cast<__m128i*>(dst + 2 * i);
    _mm_storeu_si128(out, _mm_unpacklo_epi8(even, odd));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(even, odd));
  }
  SplitNibblesFrom(dst, src, i, n);
}

void SumLocations(const unsigned char* src, std::size_t n, std::uint32_t& even,
                  std::uint32_t& odd) {
  // psadbw adds eight bytes at a time: all bytes, and the odd ones shifted
  // down into the even places.
  const __m128i zero = _mm_setzero_si128();
  __m128i all0 = zero, all1 = zero, odd0 = zero, odd1 = zero;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    all0 = _mm_add_epi64(all0, _mm_sad_epu8(a, zero));
    all1 = _mm_add_epi64(all1, _mm_sad_epu8(b, zero));
    odd0 = _mm_add_epi64(odd0, _mm_sad_epu8(_mm_srli_epi16(a, 8), zero));
    odd1 = _mm_add_epi64(odd1, _mm_sad_epu8(_mm_srli_epi16(b, 8), zero));
  }
  const __m128i all = _mm_add_epi64(all0, all1);
  const __m128i odds = _mm_add_epi64(odd0, odd1);
  std::uint32_t t = static_cast<std::uint32_t>(_mm_cvtsi128_si32(all) +
                                               _mm_cvtsi128_si32(_mm_srli_si128(all, 8)));
  std::uint32_t o = static_cast<std::uint32_t>(_mm_cvtsi128_si32(odds) +
                                               _mm_cvtsi128_si32(_mm_srli_si128(odds, 8)));
  std::uint32_t e = t - o;
  SumLocationsFrom(src, i, n, e, o);
  even = e;
  odd = o;
}

std::uint32_t SumBytes(const unsigned char* src, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sum0 = zero, sum1 = zero;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    sum0 = _mm_add_epi64(sum0, _mm_sad_epu8(a, zero));
    sum1 = _mm_add_epi64(sum1, _mm_sad_epu8(b, zero));
  }
  const __m128i sum = _mm_add_epi64(sum0, sum1);
  std::uint32_t total = static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum) +
                                                   _mm_cvtsi128_si32(_mm_srli_si128(sum, 8)));
  return total + SumBytesFrom(src, i, n);
}

#elif defined(__aarch64__) && defined(__ARM_NEON) && !defined(ROMTEST_PORTABLE_KERNELS)
#include <arm_neon.h>

std::size_t FindHighNibble(const unsigned char* src, std::size_t n) {
  // 128 bytes a step: one reduction (umaxv) for eight registers.
  std::size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    const unsigned char* p = src + i;
    const uint8x16_t a = vorrq_u8(vorrq_u8(vld1q_u8(p), vld1q_u8(p + 16)),
                                  vorrq_u8(vld1q_u8(p + 32), vld1q_u8(p + 48)));
    const uint8x16_t b = vorrq_u8(vorrq_u8(vld1q_u8(p + 64), vld1q_u8(p + 80)),
                                  vorrq_u8(vld1q_u8(p + 96), vld1q_u8(p + 112)));
    if (vmaxvq_u8(vorrq_u8(a, b)) > 0x0F) break;
  }
  for (; i + 16 <= n; i += 16) {
    if (vmaxvq_u8(vld1q_u8(src + i)) > 0x0F) break;
  }
  return FindHighNibbleFrom(src, i, n);
}

void SplitNibbles(unsigned char* dst, const unsigned char* src, std::size_t n) {
  // st2 interleaves the low and the high nibbles on the way out.
  const uint8x16_t low = vdupq_n_u8(0x0F);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const uint8x16_t a = vld1q_u8(src + i);
    const uint8x16_t b = vld1q_u8(src + i + 16);
    vst2q_u8(dst + 2 * i, (uint8x16x2_t{{vandq_u8(a, low), vshrq_n_u8(a, 4)}}));
    vst2q_u8(dst + 2 * i + 32, (uint8x16x2_t{{vandq_u8(b, low), vshrq_n_u8(b, 4)}}));
  }
  SplitNibblesFrom(dst, src, i, n);
}

namespace {

// uadalp adds byte pairs into 16-bit lanes; two of them add at most 4 x 255
// to a lane per 64-byte step, so a lane is widened every 64 steps.
constexpr std::size_t kStepsPerWidening = 64;

std::size_t StepsLeft(std::size_t i, std::size_t n) {
  const std::size_t steps = (n - i) / 64;
  return steps < kStepsPerWidening ? steps : kStepsPerWidening;
}

}  // namespace

void SumLocations(const unsigned char* src, std::size_t n, std::uint32_t& even,
                  std::uint32_t& odd) {
  // ld2 splits the even- and the odd-indexed bytes into two registers.
  uint32x4_t sumEven = vdupq_n_u32(0), sumOdd = vdupq_n_u32(0);
  std::size_t i = 0;
  while (i + 64 <= n) {
    const std::size_t end = i + 64 * StepsLeft(i, n);
    uint16x8_t even16 = vdupq_n_u16(0), odd16 = vdupq_n_u16(0);
    for (; i < end; i += 64) {
      const uint8x16x2_t a = vld2q_u8(src + i);
      const uint8x16x2_t b = vld2q_u8(src + i + 32);
      even16 = vpadalq_u8(vpadalq_u8(even16, a.val[0]), b.val[0]);
      odd16 = vpadalq_u8(vpadalq_u8(odd16, a.val[1]), b.val[1]);
    }
    sumEven = vpadalq_u16(sumEven, even16);
    sumOdd = vpadalq_u16(sumOdd, odd16);
  }
  std::uint32_t e = vaddvq_u32(sumEven), o = vaddvq_u32(sumOdd);
  for (; i + 32 <= n; i += 32) {
    const uint8x16x2_t v = vld2q_u8(src + i);
    e += vaddlvq_u8(v.val[0]);
    o += vaddlvq_u8(v.val[1]);
  }
  SumLocationsFrom(src, i, n, e, o);
  even = e;
  odd = o;
}

std::uint32_t SumBytes(const unsigned char* src, std::size_t n) {
  uint32x4_t sum = vdupq_n_u32(0);
  std::size_t i = 0;
  while (i + 64 <= n) {
    const std::size_t end = i + 64 * StepsLeft(i, n);
    uint16x8_t a16 = vdupq_n_u16(0), b16 = vdupq_n_u16(0);
    for (; i < end; i += 64) {
      a16 = vpadalq_u8(vpadalq_u8(a16, vld1q_u8(src + i)), vld1q_u8(src + i + 16));
      b16 = vpadalq_u8(vpadalq_u8(b16, vld1q_u8(src + i + 32)), vld1q_u8(src + i + 48));
    }
    sum = vpadalq_u16(vpadalq_u16(sum, a16), b16);
  }
  std::uint32_t total = vaddvq_u32(sum);
  for (; i + 16 <= n; i += 16)
    total += vaddlvq_u8(vld1q_u8(src + i));
  return total + SumBytesFrom(src, i, n);
}

#else  // portable: eight bytes at a time in a 64-bit word

namespace {

// The word's lanes are in memory order on a little-endian machine and in
// reverse on a big-endian one; the loops that care say so.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBigEndian = true;
#else
constexpr bool kBigEndian = false;
#endif

constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ULL;
constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFULL;  // bytes 0, 2, 4, 6
constexpr std::uint64_t kLowHalves = 0x0000FFFF0000FFFFULL;

std::uint64_t Load(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// Byte i of the word is byte i in memory, on either byte order.
std::uint64_t LoadLittle(const unsigned char* p) {
  std::uint64_t word = Load(p);
  if (kBigEndian) word = __builtin_bswap64(word);
  return word;
}

void StoreLittle(unsigned char* p, std::uint64_t word) {
  if (kBigEndian) word = __builtin_bswap64(word);
  std::memcpy(p, &word, 8);
}

std::uint32_t LoadLittle32(const unsigned char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  if (kBigEndian) word = __builtin_bswap32(word);
  return word;
}

void StoreLittle32(unsigned char* p, std::uint32_t word) {
  if (kBigEndian) word = __builtin_bswap32(word);
  std::memcpy(p, &word, 4);
}

// Four 16-bit lanes added into one total.
std::uint32_t AddLanes(std::uint64_t lanes) {
  lanes = (lanes & kLowHalves) + ((lanes >> 16) & kLowHalves);
  return static_cast<std::uint32_t>(lanes) + static_cast<std::uint32_t>(lanes >> 32);
}

// Bytes 0 to 3 of packed (the rest zero) as four 16-bit lanes, low nibble in
// the lane's low byte and high nibble in its high byte: their unpacked form.
std::uint64_t SplitFour(std::uint64_t packed) {
  std::uint64_t x = (packed | packed << 16) & kLowHalves;  // bytes 0, 1, 4, 5
  x |= x << 8;  // byte 2k now holds byte k; the bytes between are masked off
  return (x & 0x000F000F000F000FULL) | ((x << 4) & 0x0F000F000F000F00ULL);
}

// The same for bytes 0 and 1, in 32 bits.
std::uint32_t SplitTwo(std::uint32_t packed) {
  const std::uint32_t x = packed | packed << 8;
  return (x & 0x000F000FU) | ((x << 4) & 0x0F000F00U);
}

}  // namespace

std::size_t FindHighNibble(const unsigned char* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    if ((Load(src + i) | Load(src + i + 8) | Load(src + i + 16) | Load(src + i + 24)) &
        kHighNibbles)
      break;
  }
  for (; i + 8 <= n; i += 8) {
    if (Load(src + i) & kHighNibbles) break;
  }
  return FindHighNibbleFrom(src, i, n);
}

void SplitNibbles(unsigned char* dst, const unsigned char* src, std::size_t n) {
  std::size_t i = 0;
  // A 32-bit processor runs out of registers on the 64-bit form.
  if (sizeof(void*) < 8) {
    for (; i + 4 <= n; i += 4) {
      const std::uint32_t word = LoadLittle32(src + i);
      StoreLittle32(dst + 2 * i, SplitTwo(word & 0xFFFFU));
      StoreLittle32(dst + 2 * i + 4, SplitTwo(word >> 16));
    }
  }
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t word = LoadLittle(src + i);
    StoreLittle(dst + 2 * i, SplitFour(word & 0xFFFFFFFFULL));
    StoreLittle(dst + 2 * i + 8, SplitFour(word >> 32));
  }
  SplitNibblesFrom(dst, src, i, n);
}

void SumLocations(const unsigned char* src, std::size_t n, std::uint32_t& even,
                  std::uint32_t& odd) {
  // Four 16-bit lanes a side, each gaining at most 255 a word: 256 words
  // before a lane could overflow.
  std::uint32_t low = 0, high = 0;  // lanes from the word's low and high bytes
  std::size_t i = 0;
  while (i + 8 <= n) {
    const std::size_t words = (n - i) / 8 < 256 ? (n - i) / 8 : 256;
    const std::size_t end = i + 8 * words;
    std::uint64_t lowLanes = 0, highLanes = 0;
    for (; i < end; i += 8) {
      const std::uint64_t word = Load(src + i);
      lowLanes += word & kLowBytes;
      highLanes += (word >> 8) & kLowBytes;
    }
    low += AddLanes(lowLanes);
    high += AddLanes(highLanes);
  }
  // The low byte of each lane is the even location on a little-endian
  // machine, the odd one on a big-endian machine.
  std::uint32_t e = kBigEndian ? high : low, o = kBigEndian ? low : high;
  SumLocationsFrom(src, i, n, e, o);
  even = e;
  odd = o;
}

std::uint32_t SumBytes(const unsigned char* src, std::size_t n) {
  // Four 16-bit lanes, each gaining at most 2 x 255 a word: 128 words
  // before a lane could overflow.
  std::uint32_t total = 0;
  std::size_t i = 0;
  while (i + 8 <= n) {
    const std::size_t words = (n - i) / 8 < 128 ? (n - i) / 8 : 128;
    const std::size_t end = i + 8 * words;
    std::uint64_t lanes = 0;
    for (; i < end; i += 8) {
      const std::uint64_t word = Load(src + i);
      lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
    }
    total += AddLanes(lanes);
  }
  return total + SumBytesFrom(src, i, n);
}

#endif
