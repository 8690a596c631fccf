// The sum of sinusoids: the synthesis kernels, their choice for this processor and the
// vector sine.
#ifndef SONVEL_SYNTH_H
#define SONVEL_SYNTH_H

// 2 pi as the double closest to it; the angular step is TWO_PI / sampling frequency.
constexpr double TWO_PI = 6.283185307179586;

// Samples per block: the block's share of the signal stays in the first-level cache
// while every component is added to it. Blocks start at multiples of this size, so
// that every way of making a signal takes the same decisions for the same samples.
constexpr int BLOCK_SAMPLES = 2048;

// The end of the block that starts at sample begin of a signal of size samples. Loops
// step from one block's end to the next, so that no counter passes the size.
inline int blockEnd(int begin, int size)
{
    return size - begin > BLOCK_SAMPLES ? begin + BLOCK_SAMPLES : size;
}

// Ways of evaluating the sum of sinusoids. All give each sample the same sequence of
// operations; the vector kernels differ from the scalar ones only in the last bits of
// the sine.
enum SynthKernel {
    KERNEL_REFERENCE,  // samples outer, components inner, scalar sine
    KERNEL_SCALAR,     // components outer, samples inner, scalar sine
    KERNEL_AVX2,       // components outer, 4 samples at a time through a vector sine
    KERNEL_AVX512,     // components outer, 8 samples at a time through a vector sine
    KERNEL_LANES8,     // the AVX-512 kernel's code on 8 plain doubles, on any processor:
                       // for the tests, never chosen
};

// Whether this processor can run the kernel.
bool kernelSupported(SynthKernel kernel);

// The kernel the program uses: the widest one this processor supports.
SynthKernel chooseKernel();

// Adds the sum of count components over size samples at fs Hz into x, each sample
// taking the components in table order: a 0 Hz component adds its amplitude, any other
// sin((n * step) * freq + phase) * amp with step = TWO_PI / fs.
void sumComponentsWith(SynthKernel kernel, double *x, int size, const double *freq,
                       const double *amp, const double *phase, int count, int fs);

// About how long the kernel takes for size samples of count components, in seconds.
double synthesisSeconds(SynthKernel kernel, long long size, int count);

// The angular step of a sampling frequency: TWO_PI / fs.
double angularStep(int fs);

// Adds the sum of count components to samples begin .. end - 1, at most BLOCK_SAMPLES
// of them from a multiple of BLOCK_SAMPLES; x[0] is sample begin. Each sample takes the
// components in table order: a 0 Hz component adds its amplitude, any other
// sin((n * step) * freq + phase) * amp.
void sumBlock(SynthKernel kernel, double *x, int begin, int end, const double *freq,
              const double *amp, const double *phase, int count, double step);

// sumComponentsWith(chooseKernel(), ...).
void sumComponents(double *x, int size, const double *freq, const double *amp,
                   const double *phase, int count, int fs);

// The vector kernels evaluate the sine themselves for arguments of magnitude below this
// (2^31); for larger arguments, and for values that are not finite, they use the scalar
// sine, component by component and block by block.
constexpr double VECTOR_SINE_LIMIT = 2147483648.0;

// sin of count arguments through the kernel's own sine; the vector kernels need every
// |in[i]| below VECTOR_SINE_LIMIT. For tests and measurements of the sine alone.
void sineWith(SynthKernel kernel, const double *in, double *out, int count);

#endif
