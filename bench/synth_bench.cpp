// Cost per term (one sample of one component) of each synthesis kernel, next to the
// cost of the bare vector sines on the same arguments: the kernels' own (sineWith) and
// glibc's libmvec.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "gen_signal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#pragma GCC push_options
#pragma GCC target("avx512f")
extern "C" __m512d _ZGVeN8v_sin(__m512d);
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2")
extern "C" __m256d _ZGVdN4v_sin(__m256d);
#pragma GCC pop_options
#endif

namespace {

const int SIZE = 4800;      // 100 ms at 48 kHz
const int COMPONENTS = 64;
const int FS = 48000;

struct Job {
    std::vector<double> freq, amp, phase;
};

// Components below 24 kHz; `offset` moves the arguments up, as a long signal does
// (2^26, for instance, is reached by a 20 kHz tone after about 9 minutes).
Job makeJob(double offset)
{
    std::mt19937_64 rng(7);
    Job job;
    for (int j = 0; j < COMPONENTS; j++) {
        job.freq.push_back(std::uniform_real_distribution<double>(20, 24000)(rng));
        job.amp.push_back(std::uniform_real_distribution<double>(0.1, 1)(rng));
        job.phase.push_back(offset + std::uniform_real_distribution<double>(-M_PI, M_PI)(rng));
    }
    return job;
}

// The arguments the kernels form for the same job.
std::vector<double> argumentsOf(const Job &job)
{
    std::vector<double> args;
    const double step = TWO_PI / FS;
    for (int j = 0; j < COMPONENTS; j++)
        for (int n = 0; n < SIZE; n++)
            args.push_back((static_cast<double>(n) * step) * job.freq[j] + job.phase[j]);
    return args;
}

void perTerm(benchmark::State &state)
{
    state.counters["ns_per_term"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * SIZE * COMPONENTS,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void kernel(benchmark::State &state, SynthKernel k, double offset)
{
    if (!kernelSupported(k)) {
        state.SkipWithError("kernel not supported on this processor");
        return;
    }
    Job job = makeJob(offset);
    std::vector<double> x(SIZE);
    for (auto _ : state) {
        std::fill(x.begin(), x.end(), 0.0);
        sumComponentsWith(k, x.data(), SIZE, job.freq.data(), job.amp.data(), job.phase.data(),
                          COMPONENTS, FS);
        benchmark::DoNotOptimize(x.data());
    }
    perTerm(state);
}

// The kernel's own sine alone, on an array of the arguments.
void ownSine(benchmark::State &state, SynthKernel k, double offset)
{
    if (!kernelSupported(k)) {
        state.SkipWithError("kernel not supported on this processor");
        return;
    }
    std::vector<double> args = argumentsOf(makeJob(offset)), out(args.size());
    for (auto _ : state) {
        sineWith(k, args.data(), out.data(), static_cast<int>(args.size()));
        benchmark::DoNotOptimize(out.data());
    }
    perTerm(state);
}

BENCHMARK_CAPTURE(ownSine, avx512_below_2e23, KERNEL_AVX512, 0.0);
BENCHMARK_CAPTURE(ownSine, avx512_near_2e26, KERNEL_AVX512, 67108864.0);
BENCHMARK_CAPTURE(ownSine, avx2_below_2e23, KERNEL_AVX2, 0.0);
BENCHMARK_CAPTURE(ownSine, avx2_near_2e26, KERNEL_AVX2, 67108864.0);

#if defined(__x86_64__)
__attribute__((target("avx512f"))) void libmvec512(benchmark::State &state, double offset)
{
    if (!kernelSupported(KERNEL_AVX512)) {
        state.SkipWithError("AVX-512 not supported on this processor");
        return;
    }
    std::vector<double> args = argumentsOf(makeJob(offset)), out(args.size());
    for (auto _ : state) {
        for (size_t i = 0; i < args.size(); i += 8)
            _mm512_storeu_pd(&out[i], _ZGVeN8v_sin(_mm512_loadu_pd(&args[i])));
        benchmark::DoNotOptimize(out.data());
    }
    perTerm(state);
}

__attribute__((target("avx2"))) void libmvec256(benchmark::State &state, double offset)
{
    if (!kernelSupported(KERNEL_AVX2)) {
        state.SkipWithError("AVX2 not supported on this processor");
        return;
    }
    std::vector<double> args = argumentsOf(makeJob(offset)), out(args.size());
    for (auto _ : state) {
        for (size_t i = 0; i < args.size(); i += 4)
            _mm256_storeu_pd(&out[i], _ZGVdN4v_sin(_mm256_loadu_pd(&args[i])));
        benchmark::DoNotOptimize(out.data());
    }
    perTerm(state);
}

BENCHMARK_CAPTURE(libmvec512, below_2e23, 0.0);
BENCHMARK_CAPTURE(libmvec512, near_2e26, 67108864.0);
BENCHMARK_CAPTURE(libmvec256, below_2e23, 0.0);
BENCHMARK_CAPTURE(libmvec256, near_2e26, 67108864.0);
#endif

BENCHMARK_CAPTURE(kernel, avx512_below_2e23, KERNEL_AVX512, 0.0);
BENCHMARK_CAPTURE(kernel, avx512_near_2e26, KERNEL_AVX512, 67108864.0);
BENCHMARK_CAPTURE(kernel, avx512_near_2e30, KERNEL_AVX512, 1073741824.0);
BENCHMARK_CAPTURE(kernel, avx2_below_2e23, KERNEL_AVX2, 0.0);
BENCHMARK_CAPTURE(kernel, avx2_near_2e26, KERNEL_AVX2, 67108864.0);
BENCHMARK_CAPTURE(kernel, scalar_below_2e23, KERNEL_SCALAR, 0.0);
BENCHMARK_CAPTURE(kernel, scalar_near_2e26, KERNEL_SCALAR, 67108864.0);
BENCHMARK_CAPTURE(kernel, reference_below_2e23, KERNEL_REFERENCE, 0.0);
BENCHMARK_CAPTURE(kernel, reference_near_2e26, KERNEL_REFERENCE, 67108864.0);

}  // namespace

BENCHMARK_MAIN();
