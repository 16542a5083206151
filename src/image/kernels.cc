#include "kernels.h"

#include <cstring>

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
  for (; i < n; ++i) {
    if (src[i] & 0xF0) return i;
  }
  return n;
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
  for (; i < n; ++i) {
    dst[2 * i] = src[i] & 0x0F;
    dst[2 * i + 1] = src[i] >> 4;
  }
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
  for (; i < n; i += 2) {
    e += src[i];
    o += src[i + 1];
  }
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
  for (; i < n; ++i)
    total += src[i];
  return total;
}

#else  // portable: eight bytes at a time where that is simple

std::size_t FindHighNibble(const unsigned char* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + i, 8);
    if (word & 0xF0F0F0F0F0F0F0F0ULL) break;
  }
  for (; i < n; ++i) {
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

std::uint32_t SumBytes(const unsigned char* src, std::size_t n) {
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < n; ++i)
    total += src[i];
  return total;
}

#endif
