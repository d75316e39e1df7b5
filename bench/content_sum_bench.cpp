// Throughput of UpdateContentSum against the plain byte loop that defines
// the sum and against memcpy, side by side for each size, so that the
// ratios come from one run on one machine. scripts/bench.sh prints them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "package/content_sum.h"
#include "tests/unit/content_sum_reference.h"

namespace {

constexpr size_t kSizes[] = {4u << 10, 1u << 20, 64u << 20};
constexpr size_t kLargest = 64u << 20;

// One source of random bytes for every case, and a target for memcpy.
const std::vector<uint8_t>& Source() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kLargest);
    uint32_t x = 2463534242u;
    for (uint8_t& b : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x >> 11);
    }
    return bytes;
  }();
  return data;
}

void PlainLoop(benchmark::State& state, size_t size) {
  const uint8_t* data = Source().data();
  ContentSum sum;
  for (auto _ : state) {
    ReferenceContentSum(&sum, data, static_cast<uint32_t>(size));
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void Fast(benchmark::State& state, size_t size) {
  const uint8_t* data = Source().data();
  ContentSum sum;
  for (auto _ : state) {
    UpdateContentSum(&sum, data, static_cast<uint32_t>(size));
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void Memcpy(benchmark::State& state, size_t size) {
  const uint8_t* data = Source().data();
  std::vector<uint8_t> target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), data, size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

}  // namespace

// Names are checksum/<kind>/<bytes>; the three kinds of one size run one
// after the other.
int main(int argc, char** argv) {
  Source();  // filled before any timing
  for (size_t size : kSizes) {
    const std::string bytes = std::to_string(size);
    benchmark::RegisterBenchmark(("checksum/plain/" + bytes).c_str(), PlainLoop, size);
    benchmark::RegisterBenchmark(("checksum/fast/" + bytes).c_str(), Fast, size);
    benchmark::RegisterBenchmark(("checksum/memcpy/" + bytes).c_str(), Memcpy, size);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
