// Forward plus inverse real transform of 2^m doubles: digitmill's radix-8
// kernels on the transform buffer and, when FFTW is present, FFTW's r2c + c2r
// of the same length (FFTW_ESTIMATE plans made outside the timed loop). After
// the run one line per m gives the ratio of the two.
//
// The product rows time one convolution as the multiplication does it, two
// forward transforms, PMUL and the inverse, in the transform buffer's views:
// through packed spectra (RFFT, RIFFT) and in product order, which skips the
// exchange of pairs in all three transforms; a line per m gives their ratio.
//
// The "cold" rows are closer to a whole run, where every product finds the
// transform buffer evicted by the record transfers since the last one: before
// each timed forward + inverse a buffer of twice the size of the last-level
// cache is written and the input is written afresh (both untimed).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "fft/transform.hpp"
#include "kernel_variant.hpp"
#include "mul/detail.hpp"

#ifdef DIGITMILL_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

// The array the transforms run in, as long as a run's transform buffer.
alignas(64) double transform_array[fft::transform_length];

// CPU seconds per forward + inverse pair, by (m, cold), from the final run of
// each benchmark (Google Benchmark calls a benchmark again with more
// iterations until the timing is stable; the last call wins). CPU time rather
// than wall time keeps the ratio meaningful on a machine shared with other
// work.
using Key = std::pair<int, bool>;
std::map<Key, double> ours_seconds, fftw_seconds;
// CPU seconds per product, by (m, cold), through packed spectra and in
// product order.
std::map<Key, double> packed_product_seconds, ordered_product_seconds;

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void fill_random(double* b, int count) {
  std::mt19937_64 gen(12345);
  std::uniform_int_distribution<int> digit(0, 9999);
  for (int k = 0; k < count; ++k) b[k] = digit(gen);
}

// Pushes the transform's data out of every cache level.
void evict_caches() {
  static std::vector<char> junk(64 << 20);
  for (std::size_t k = 0; k < junk.size(); k += 64) junk[k] = static_cast<char>(junk[k] + 1);
  benchmark::ClobberMemory();
}

// Untimed preparation of one cold iteration.
void prepare_cold(benchmark::State& state, double* b, int n) {
  state.PauseTiming();
  evict_caches();
  fill_random(b, n / 2);
  for (int k = n / 2; k < n; ++k) b[k] = 0.0;
  state.ResumeTiming();
}

void BM_Digitmill(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const bool cold = state.range(1) != 0;
  const int n = 1 << m;
  double* b = transform_array;
  fill_random(b, n / 2);
  double seconds = 0;
  for (auto _ : state) {
    if (cold) prepare_cold(state, b, n);
    const double start = cpu_seconds();
    fft::RFFT(m, b);
    fft::RIFFT(m, b);
    seconds += cpu_seconds() - start;
    benchmark::DoNotOptimize(b[0]);
  }
  ours_seconds[{m, cold}] = seconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * n);
}

// Two operands as LOADH leaves them (digits in the lower halves, the upper
// halves never read), the product into the second as the in-core full
// product forms it; both are refilled untimed before every product. Arrays
// of their own, as two transforms of the piece length do not fit in the
// transform buffer.
template <bool ordered>
void BM_Product(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const bool cold = state.range(1) != 0;
  const int n = 1 << m;
  std::vector<double> xs(n), ys(n);
  double* x = xs.data();
  double* y = ys.data();
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (cold) evict_caches();
    fill_random(x, n / 2);
    fill_random(y, n / 2);
    state.ResumeTiming();
    const double start = cpu_seconds();
    if constexpr (ordered) {
      fft::forward_product_order(m, x);
      fft::forward_product_order(m, y);
      mul::detail::PMUL(x, y, y, n);
      fft::inverse_product_order(m, y);
    } else {
      fft::RFFT(m, x);
      fft::RFFT(m, y);
      mul::detail::PMUL(x, y, y, n);
      fft::RIFFT(m, y);
    }
    seconds += cpu_seconds() - start;
    benchmark::DoNotOptimize(y[0]);
  }
  auto& table = ordered ? ordered_product_seconds : packed_product_seconds;
  table[{m, cold}] = seconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * n);
}

#ifdef DIGITMILL_HAVE_FFTW
void BM_Fftw(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const bool cold = state.range(1) != 0;
  const int n = 1 << m;
  double* in = fftw_alloc_real(n);
  fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
  const fftw_plan fwd = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
  const fftw_plan inv = fftw_plan_dft_c2r_1d(n, out, in, FFTW_ESTIMATE);
  fill_random(in, n / 2);
  for (int k = n / 2; k < n; ++k) in[k] = 0.0;
  const double scale = 1.0 / n;
  double seconds = 0;
  for (auto _ : state) {
    if (cold) prepare_cold(state, in, n);
    const double start = cpu_seconds();
    fftw_execute(fwd);
    fftw_execute(inv);
    // Undo the unnormalised round trip's factor n, as RIFFT does.
    for (int k = 0; k < n; ++k) in[k] *= scale;
    seconds += cpu_seconds() - start;
    benchmark::DoNotOptimize(in[0]);
  }
  const Key key{m, cold};
  fftw_seconds[key] = seconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * n);
  if (ours_seconds.count(key)) state.counters["digitmill/FFTW"] = ours_seconds[key] / fftw_seconds[key];
  fftw_destroy_plan(fwd);
  fftw_destroy_plan(inv);
  fftw_free(out);
  fftw_free(in);
}
#endif

// Interleaved by length so that each FFTW row can report its ratio; the
// lengths of the products at M = 7 .. 25 are m = 3 .. 19, and every blocked
// piece is transformed at m = 19.
void register_all() {
  const std::pair<int, int> cases[] = {{13, 0}, {16, 0}, {19, 0}, {19, 1}};
  for (const auto& [m, cold] : cases) {
    benchmark::RegisterBenchmark("RFFT+RIFFT/digitmill", BM_Digitmill)
        ->Args({m, cold})
        ->ArgNames({"m", "cold"})
        ->Unit(benchmark::kMicrosecond);
#ifdef DIGITMILL_HAVE_FFTW
    benchmark::RegisterBenchmark("RFFT+RIFFT/FFTW_ESTIMATE", BM_Fftw)
        ->Args({m, cold})
        ->ArgNames({"m", "cold"})
        ->Unit(benchmark::kMicrosecond);
#endif
  }
  // Lengths of in-core products, and the pieces' length.
  const std::pair<int, int> product_cases[] = {{13, 0}, {16, 0}, {19, 0}, {19, 1}};
  for (const auto& [m, cold] : product_cases) {
    benchmark::RegisterBenchmark("product/packed", BM_Product<false>)
        ->Args({m, cold})
        ->ArgNames({"m", "cold"})
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("product/product_order", BM_Product<true>)
        ->Args({m, cold})
        ->ArgNames({"m", "cold"})
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  kernel::install(kernel::startup_variant());
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [key, ours] : ours_seconds) {
    const auto [m, cold] = key;
    const auto it = fftw_seconds.find(key);
    if (it == fftw_seconds.end()) {
      std::printf("m=%2d %-5s digitmill %9.1f us CPU per forward+inverse\n", m, cold ? "cold" : "",
                  ours * 1e6);
    } else {
      std::printf("m=%2d %-5s digitmill %9.1f us  FFTW %9.1f us CPU per forward+inverse  ratio %.2f\n", m,
                  cold ? "cold" : "", ours * 1e6, it->second * 1e6, ours / it->second);
    }
  }
  for (const auto& [key, packed] : packed_product_seconds) {
    const auto [m, cold] = key;
    const auto it = ordered_product_seconds.find(key);
    if (it == ordered_product_seconds.end()) continue;
    std::printf("m=%2d %-5s product: packed %9.1f us  product order %9.1f us CPU  ratio %.3f\n", m,
                cold ? "cold" : "", packed * 1e6, it->second * 1e6, it->second / packed);
  }
  return 0;
}
