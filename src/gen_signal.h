// Signal generation: sum of sinusoids, fades, level measurement and setting,
// overflow check and conversion to 16-bit samples.
#ifndef SONVEL_GEN_SIGNAL_H
#define SONVEL_GEN_SIGNAL_H

#include <cstdint>
#include <cstdlib>

// Every signal buffer of this module is taken with calloc and released with free; its
// owner may hold it in a std::unique_ptr with this deleter.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Sample buffer types.
constexpr int BUF_SHORT = 0;   // 16-bit signed samples
constexpr int BUF_DOUBLE = 1;  // doubles

// 2 pi as the double closest to it; the angular step is TWO_PI / sampling frequency.
constexpr double TWO_PI = 6.283185307179586;

// 16-bit full scale, the reference of every level in dB.
constexpr double FULL_SCALE = 32767.0;

// Mean power in dB relative to 16-bit full scale of samples taper .. size - taper - 1.
// signal holds size samples of bufType. Ends the program on an illegal bufType.
double calcPower(const void *signal, int bufType, int size, int taper);

// Fades both ends of x linearly over taper samples, in place.
void addTaper(double *x, int size, int taper);

// Multiplies x by gain in place; returns the largest absolute value after scaling.
double scale(double *x, int size, double gain);

// Tapers a copy of signal, sets its level to level dB, refuses overflow and converts
// to 16 bits by truncation. Fills out, or a new zero-filled buffer (to be released
// with free) when out is null. Returns null after a message on standard error.
int16_t *makeSoundSignal(const void *signal, int bufType, int size, int taper, int level,
                         int16_t *out);

// What one look at a tapered signal tells: enough to set its level, refuse it, or
// find its peak after scaling, without keeping the signal.
struct SignalMeasure {
    double sum = 0.0;           // squares of the samples between the fades, in index order
    double maxAbs = 0.0;        // largest magnitude of all samples (not-a-numbers aside)
    double maxAbsWindow = 0.0;  // largest magnitude between the fades
    bool hasNaN = false;
};

// Adds samples begin .. end - 1 of a tapered signal of size samples with fades of
// taper samples to m; x[0] is sample begin. Blocks must come in index order.
void measureBlock(const double *x, int begin, int end, int size, int taper, SignalMeasure *m);

// A power between the fades this far below the components' own (100 dB) means they
// cancel, and what remains is rounding noise.
constexpr double CANCEL_RATIO = 1e-10;

// Sum of the squared amplitudes of count components.
double componentPowerOf(const double *amp, int count);

// The gain that brings the measured signal to level dB, or a refusal: the overflow
// refusal (two lines), or one line when there is nothing meaningful to scale (a power
// that is not finite or not a normal positive number, components that cancel (compared
// with componentPower; 0 skips the test), not-a-number samples, or a level at which
// every 16-bit sample between the fades is 0). Returns 0, or 1 after the message.
int decideGain(const SignalMeasure *m, int size, int taper, int level, double componentPower,
               double *gain);

// Ways of evaluating the sum of sinusoids. All give each sample the same sequence of
// operations; the vector kernels differ from the scalar ones only in the last bits of
// the sine.
enum SynthKernel {
    KERNEL_REFERENCE,  // samples outer, components inner, scalar sine
    KERNEL_SCALAR,     // components outer, samples inner, scalar sine
    KERNEL_AVX2,       // components outer, 4 samples at a time through a vector sine
    KERNEL_AVX512,     // components outer, 8 samples at a time through a vector sine
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
double synthesisSeconds(SynthKernel kernel, int size, int count);

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

// Sums count components over size samples at fs Hz and hands the sum to makeSoundSignal.
int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out);

#endif
