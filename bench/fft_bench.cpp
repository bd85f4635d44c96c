// Forward plus inverse real transform of 2^m doubles: digitmill's radix-8
// kernels on the transform buffer and, when FFTW is present, FFTW's r2c + c2r
// of the same length (FFTW_ESTIMATE plans made outside the timed loop). After
// the run one line per m gives the ratio of the two.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <random>

#include "fft/transform.hpp"

#ifdef DIGITMILL_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

// CPU seconds per forward + inverse pair, by m, from the final run of each
// benchmark (Google Benchmark calls a benchmark again with more iterations
// until the timing is stable; the last call wins). CPU time rather than wall
// time keeps the ratio meaningful on a machine shared with other work.
std::map<int, double> ours_seconds, fftw_seconds;

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

void BM_Digitmill(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = 1 << m;
  double* b = fft::TB1;
  fill_random(b, n / 2);
  const double start = cpu_seconds();
  for (auto _ : state) {
    fft::RFFT(m, b);
    fft::RIFFT(m, b);
    benchmark::DoNotOptimize(b[0]);
  }
  ours_seconds[m] = (cpu_seconds() - start) / static_cast<double>(state.iterations());
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
  const double start = cpu_seconds();
  for (auto _ : state) {
    fftw_execute(fwd);
    fftw_execute(inv);
    // Undo the unnormalised round trip's factor n, as RIFFT does.
    for (int k = 0; k < n; ++k) in[k] *= scale;
    benchmark::DoNotOptimize(in[0]);
  }
  fftw_seconds[m] = (cpu_seconds() - start) / static_cast<double>(state.iterations());
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
      std::printf("m=%2d  digitmill %9.1f us CPU per forward+inverse\n", m, ours * 1e6);
    } else {
      std::printf("m=%2d  digitmill %9.1f us  FFTW %9.1f us CPU per forward+inverse  ratio %.2f\n", m,
                  ours * 1e6, it->second * 1e6, ours / it->second);
    }
  }
  return 0;
}
