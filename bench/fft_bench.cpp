// Forward plus inverse real transform of 2^m doubles: digitmill's radix-8
// kernels on the transform buffer and, when FFTW is present, FFTW's r2c + c2r
// of the same length (FFTW_ESTIMATE plans made outside the timed loop). After
// the run one line per m gives the ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include "fft/transform.hpp"

#ifdef DIGITMILL_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

// Seconds per forward + inverse pair, by m, from the final run of each
// benchmark (Google Benchmark calls a benchmark again with more iterations
// until the timing is stable; the last call wins).
std::map<int, double> ours_seconds, fftw_seconds;

void fill_random(double* b, int count) {
  std::mt19937_64 gen(12345);
  std::uniform_int_distribution<int> digit(0, 9999);
  for (int k = 0; k < count; ++k) b[k] = digit(gen);
}

void BM_Digitmill(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = 1 << m;
  double* b = fft::TB1;
  fill_random(b, n / 2);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    fft::RFFT(m, b);
    fft::RIFFT(m, b);
    benchmark::DoNotOptimize(b[0]);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  ours_seconds[m] = took.count() / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * n);
}

#ifdef DIGITMILL_HAVE_FFTW
void BM_Fftw(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = 1 << m;
  double* in = fftw_alloc_real(n);
  fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
  const fftw_plan fwd = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
  const fftw_plan inv = fftw_plan_dft_c2r_1d(n, out, in, FFTW_ESTIMATE);
  fill_random(in, n / 2);
  for (int k = n / 2; k < n; ++k) in[k] = 0.0;
  const double scale = 1.0 / n;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    fftw_execute(fwd);
    fftw_execute(inv);
    // Undo the unnormalised round trip's factor n, as RIFFT does.
    for (int k = 0; k < n; ++k) in[k] *= scale;
    benchmark::DoNotOptimize(in[0]);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  fftw_seconds[m] = took.count() / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * n);
  if (ours_seconds.count(m)) state.counters["digitmill/FFTW"] = ours_seconds[m] / fftw_seconds[m];
  fftw_destroy_plan(fwd);
  fftw_destroy_plan(inv);
  fftw_free(out);
  fftw_free(in);
}
#endif

// Interleaved by m so that each FFTW row can report its ratio.
void register_all() {
  for (int m : {13, 16, 19}) {
    benchmark::RegisterBenchmark("RFFT+RIFFT/digitmill", BM_Digitmill)->Arg(m)->Unit(benchmark::kMicrosecond);
#ifdef DIGITMILL_HAVE_FFTW
    benchmark::RegisterBenchmark("RFFT+RIFFT/FFTW_ESTIMATE", BM_Fftw)->Arg(m)->Unit(benchmark::kMicrosecond);
#endif
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [m, ours] : ours_seconds) {
    const auto it = fftw_seconds.find(m);
    if (it == fftw_seconds.end()) {
      std::printf("m=%2d  digitmill %9.1f us per forward+inverse\n", m, ours * 1e6);
    } else {
      std::printf("m=%2d  digitmill %9.1f us  FFTW %9.1f us  ratio %.2f\n", m, ours * 1e6, it->second * 1e6,
                  ours / it->second);
    }
  }
  return 0;
}
