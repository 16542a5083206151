// Micro-benchmarks of the byte loops, beside a plain memcpy of the same size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "image/kernels.h"
#include "image/rom_image.h"

namespace {

// Large enough to leave the caches, as an image does.
constexpr std::size_t kSize = 64 << 20;

std::vector<unsigned char> Locations() {
  std::vector<unsigned char> bytes(kSize);
  for (std::size_t i = 0; i < kSize; ++i)
    bytes[i] = static_cast<unsigned char>(i * 7 % 16);
  return bytes;
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<unsigned char> src = Locations();
  std::vector<unsigned char> dst(kSize);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_FindHighNibble(benchmark::State& state) {
  const std::vector<unsigned char> src = Locations();  // no high nibble: a full scan
  for (auto _ : state)
    benchmark::DoNotOptimize(FindHighNibble(src.data(), kSize));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_SplitNibbles(benchmark::State& state) {
  const std::vector<unsigned char> src = Locations();
  std::vector<unsigned char> dst(2 * kSize);
  for (auto _ : state) {
    SplitNibbles(dst.data(), src.data(), kSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));  // bytes read
}

void BM_ChipChecksum(benchmark::State& state) {
  const std::vector<unsigned char> image = Locations();
  for (auto _ : state) {
    unsigned sum = 0;
    for (std::uint32_t offset = 0; offset < kSize; offset += kChipLocations) {
      sum += ChipChecksum(image.data(), offset);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

// A packed image's chips summed in place, as the check does.
void BM_SumBytes(benchmark::State& state) {
  std::vector<unsigned char> packed = Locations();
  for (std::size_t i = 0; i < kSize; ++i)
    packed[i] = static_cast<unsigned char>(packed[i] * 17);  // bytes up to 0xFF
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (std::size_t offset = 0; offset < kSize; offset += kChipBytes)
      sum += SumBytes(packed.data() + offset, kChipBytes);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_FindHighNibble);
BENCHMARK(BM_SplitNibbles);
BENCHMARK(BM_ChipChecksum);
BENCHMARK(BM_SumBytes);

}  // namespace

BENCHMARK_MAIN();
