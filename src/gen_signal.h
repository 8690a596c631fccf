// Signal generation: sum of sinusoids, fades, level measurement and setting,
// overflow check and conversion to 16-bit samples.
#ifndef SONVEL_GEN_SIGNAL_H
#define SONVEL_GEN_SIGNAL_H

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "synth.h"

// Every signal buffer of this module is taken with calloc and released with free; its
// owner may hold it in a std::unique_ptr with this deleter.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Sample buffer types.
constexpr int BUF_SHORT = 0;   // 16-bit signed samples
constexpr int BUF_DOUBLE = 1;  // doubles

// 16-bit full scale, the reference of every level in dB.
constexpr double FULL_SCALE = 32767.0;

// Mean power in dB relative to 16-bit full scale of samples taper .. size - taper - 1.
// signal holds size samples of bufType. Ends the program on an illegal bufType.
double calcPower(const void *signal, int bufType, int size, int taper);

// Fades both ends of x linearly over taper samples, in place.
void addTaper(double *x, int size, int taper);

// The fades of a signal of size samples applied to its samples begin .. end - 1, in
// place; x[0] is sample begin. addTaper(x, size, taper) is this over the whole signal.
void taperBlock(double *x, int begin, int end, int size, int taper);

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

// What the level setting makes of a measured signal at one level.
enum LevelVerdict {
    VERDICT_OK,
    VERDICT_OVERFLOW,    // the peak would exceed 32767
    VERDICT_NOT_FINITE,  // the power between the fades is not finite
    VERDICT_TOO_SMALL,   // the power is 0 or below the smallest normal double
    VERDICT_CANCEL,      // the components cancel (see CANCEL_RATIO)
    VERDICT_NAN,         // some samples are not numbers
    VERDICT_ALL_ZERO,    // every 16-bit sample between the fades would be 0
};

// The verdict at level dB, in the order the refusals are made, with the gain and the
// peak after scaling; prints nothing.
LevelVerdict levelVerdict(const SignalMeasure *m, int size, int taper, int level,
                          double componentPower, double *gain, double *peak);

// The gain that brings the measured signal to level dB, or a refusal: the overflow
// refusal (two lines), or one line when there is nothing meaningful to scale (a power
// that is not finite or not a normal positive number, components that cancel (compared
// with componentPower; 0 skips the test), not-a-number samples, or a level at which
// every 16-bit sample between the fades is 0). Returns 0, or 1 after the message.
int decideGain(const SignalMeasure *m, int size, int taper, int level, double componentPower,
               double *gain);

// Sums count components over size samples at fs Hz and hands the sum to makeSoundSignal.
int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out);

// The run's signal, made in blocks that stay in cache with every per-sample step fused
// per block. While the sum fits the memory budget it is kept (8 bytes a sample) and
// made once: faded and measured block by block, then scaled and converted in place.
// Beyond the budget it is made twice, block by block: the first pass measures the power
// between the fades and the peak, the second makes the same samples again, scales and
// converts them. Either way every sample takes the same operations, and the power the
// same order of additions, as generateComplexSine and makeSoundSignal, so the bytes are
// the same.
constexpr long long SIGNAL_BUDGET_BYTES = 256LL << 20;  // 33554432 samples, 11.6 min at 48 kHz

struct SignalRequest {
    int size = 0;   // samples
    int taper = 0;  // samples, at each end
    int level = 0;  // dB
    const double *freq = nullptr, *amp = nullptr, *phase = nullptr;
    int count = 0;
    int fs = 0;  // Hz
    SynthKernel kernel = KERNEL_SCALAR;
    long long budgetBytes = SIGNAL_BUDGET_BYTES;
    bool keepSamples = false;  // keep the whole 16-bit signal (for a listing)
    // Called with the samples made so far out of all those to make (both passes count);
    // done == total when the synthesis stops, before any message of the level setting.
    void (*progress)(void *context, long long done, long long total) = nullptr;
    void *progressContext = nullptr;
};

struct SignalPlan {
    std::unique_ptr<double[], FreeDeleter> sum;    // the whole sum, within the budget
    std::unique_ptr<int16_t[], FreeDeleter> kept;  // the 16-bit signal of a two-pass run
    int16_t *samples = nullptr;  // after emitSignal: the whole 16-bit signal, if kept
    double gain = 0.0;
};

// The first pass without the level setting: sum, fades and measurement. Returns 0, or 1
// after a message when the sizes cannot make a signal.
int measureSignal(const SignalRequest *req, SignalPlan *plan, SignalMeasure *measure);

// The first pass: sum, fades, measurement, and the level setting with its refusals
// (the messages of makeSoundSignal, then "ERROR: Fail to exec makeSoundSignal.").
// Returns 0, or 1 after the messages.
int prepareSignal(const SignalRequest *req, SignalPlan *plan);

// Receives the 16-bit samples in order, a block at a time; it may change them.
typedef void (*SampleSink)(int16_t *samples, int count, void *context);

// The second pass: scales and converts every sample and hands them to sink. Returns the
// level of the 16-bit samples in dB, as calcPower measures it. With keepSamples,
// plan->samples then holds the whole 16-bit signal.
double emitSignal(const SignalRequest *req, SignalPlan *plan, SampleSink sink, void *context);

#endif
