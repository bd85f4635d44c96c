// One MULT call at the largest in-core lengths: a full product at n = 65536
// (transforms of 2^18) and a square at n = 131072 (2^19), with
// the operands in work files as in a run. For scale, the transforms alone of
// the same call (two forward and one inverse for the product, one each for
// the square) are timed too; the difference is the loading, the pointwise
// product, ROUND, the correction, the release and the record transfers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fft/transform.hpp"
#include "kernel_variant.hpp"
#include "mul/mult.hpp"
#include "store/store.hpp"

namespace {

constexpr int longest = 131072;

// The multiplier of the benchmarks, with its work files, made after the
// number files.
mul::Multiplier& multiplier() {
  static mul::Multiplier m(longest);
  return m;
}

// The product a benchmark argument names: 0 the full product, 2 the square.
mul::Product product_of(int arg) {
  return arg == 0 ? mul::Product::full : mul::Product::square;
}

void prepare(int n) {
  static bool opened = false;
  if (!opened) {
    for (int unit : {11, 12, 13, 14, 15}) store::OPENW(unit, 4096, longest / 1024 + 1);
    opened = true;
  }
  std::mt19937_64 rng(2024);
  std::uniform_int_distribution<std::int32_t> digit(0, 99999999);
  std::vector<store::Word> rec(1024);
  for (int unit : {11, 12, 13}) {
    for (int r = 1; r <= n / 1024 + 1; ++r) {
      for (auto& w : rec) w = digit(rng);
      store::WRITEW(unit, r, rec.data(), 1024);
    }
  }
}

void BM_Mult(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const mul::Product product = product_of(static_cast<int>(state.range(1)));
  prepare(n);
  mul::Multiplier& mult = multiplier();
  const double io0 = store::io_time();
  for (auto _ : state) {
    mult.MULT(product, 11, 12, 13, n);
    benchmark::ClobberMemory();
  }
  state.counters["io_cpu_ms"] =
      benchmark::Counter(1000.0 * (store::io_time() - io0) / static_cast<double>(state.iterations()));
}

void BM_TransformsOnly(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool full = product_of(static_cast<int>(state.range(1))) == mul::Product::full;
  const int m = store::LOG2I(n) + 2;
  // The views the product uses in the multiplier's buffer: A in the first
  // half and B in the second for the full product, the whole for the square.
  double* const tb1 = multiplier().buffer();
  double* v = full ? tb1 + fft::transform_length / 2 : tb1;
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> half(0, 9999);
  for (int i = 0; i < (1 << m) / 2; ++i) tb1[i] = v[i] = half(rng);
  for (auto _ : state) {
    if (full) fft::RFFT(m, tb1);
    fft::RFFT(m, v);
    fft::RIFFT(m, v);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_Mult)->Args({65536, 0})->Args({131072, 2})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransformsOnly)->Args({65536, 0})->Args({131072, 2})->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  kernel::install(kernel::startup_variant());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
