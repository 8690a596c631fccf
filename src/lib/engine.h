// The signal engine: the sum of sinusoids made in blocks, the fades, the measurement of
// the power between the fades, the level setting with its refusals, and the conversion
// to 16-bit samples. Every program and the whole-buffer functions of gen_signal.h go
// through it, so there is one signal path. Nothing here prints.
#ifndef SONVEL_ENGINE_H
#define SONVEL_ENGINE_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "format.h"
#include "result.h"
#include "synth.h"

// Every signal buffer is taken with calloc and released with free; its owner may hold
// it in a std::unique_ptr with this deleter.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Zero-filled buffers of n elements (an empty request still gets a valid pointer), to
// be released with free; null when n is negative or the memory is not to be had.
double *allocDoubles(int n);
int16_t *allocSamples(int n);

// 16-bit full scale, the reference of every level in dB of the 16-bit format; each
// format has its own (fullScaleOf).
constexpr double FULL_SCALE = 32767.0;

// Whether a signal of size samples can take fades of taper samples: size at least 1,
// taper at least 0 and the two fades no longer than the signal. Status::BadSizes names
// function otherwise.
Result checkSizes(const char *function, int size, int taper);

// The fades of a signal of size samples applied to its samples begin .. end - 1, in
// place; x[0] is sample begin. Fade-in factors n / T, fade-out factors (size - n) / T.
void taperBlock(double *x, int begin, int end, int size, int taper);

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

// The part of measureBlock that does not depend on the order of the blocks: the
// largest magnitudes and whether a sample is not a number. The sum is left alone.
void peakBlock(const double *x, int begin, int end, int size, int taper, SignalMeasure *m);

// The part that does: squares of the samples begin .. end - 1 that lie between the
// fades, added to sum in index order; x[0] is sample begin.
double addSquares(const double *x, int begin, int end, int size, int taper, double sum);

// The level in dB relative to full scale of a sum of squares over the window between
// the fades: 10 log10(sum / (size - 2 taper) / fullScale / fullScale).
double levelOf(double sumOfSquares, int size, int taper, double fullScale = FULL_SCALE);

// Squares of the 16-bit samples begin .. end - 1 that lie between the fades, added to
// sum in index order; x[0] is sample begin.
double addSquares(const int16_t *x, int begin, int end, int size, int taper, double sum);

// A power between the fades this far below the components' own (100 dB) means they
// cancel, and what remains is rounding noise.
constexpr double CANCEL_RATIO = 1e-10;

// Sum of the squared amplitudes of count components.
double componentPowerOf(const double *amp, int count);

// What the level setting aims at: a level in dB relative to the full scale of the
// output format, and the smallest magnitude the format's quantizer keeps from becoming
// 0 (1 for truncation, 0.5 for rounding, 0 for dither and float).
struct LevelTarget {
    double level = 0.0;
    SampleFormat format = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
};

// The gain that brings a measured signal to the target, or the refusal, in the order
// the refusals are made: Overflow (with the peak after scaling and the full scale),
// NotFinite, TooSmall, Cancel (compared with componentPower; 0 skips it), NotANumber,
// AllZero. *gain and *peak are set whatever the verdict.
Result setLevel(const SignalMeasure &m, int size, int taper, const LevelTarget &target,
                double componentPower, double *gain, double *peak);

// The highest level L, a whole number of hundredths (perHundredth) or of decibels,
// at which setLevel accepts the measured signal, with toDc(L) the level in dB of the
// format's full-scale constant that L stands for (its reference and unit): L is
// accepted and L + step is not. Levels must stay below full scale (toDc(L) < 0), and
// the search stops at lowest. The refusal of the last level tried when none is
// accepted.
Result highestAcceptedLevel(const SignalMeasure &m, int size, int taper, LevelTarget target,
                            double componentPower, double (*toDc)(double, const void *),
                            const void *context, bool hundredths, double lowest, double *level);

// Scales count samples by gain and truncates them toward zero to 16 bits. The level
// setting has made sure every value lies within +-32767.
void convertBlock(const double *x, int count, double gain, int16_t *out);

// Brings scaled samples to the format: quantizes them (integer formats) and stores
// them little-endian into out, bytesPerSample each. Adds the squares of the stored
// values of samples begin .. end - 1 that lie between the fades to *sum, in index
// order. The state of the dither generator goes on from block to block.
struct Quantizing {
    SampleFormat format = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    uint64_t ditherState = 0;
};
void storeBlock(const double *x, int begin, int end, int size, int taper, double gain,
                Quantizing *q, unsigned char *out, double *sum);

// The run's signal, made in blocks that stay in cache with every per-sample step fused
// per block. While the sum fits the memory budget it is kept (8 bytes a sample) and
// made once: faded and measured block by block, then scaled and converted in place.
// Beyond the budget it is made twice, block by block: the first pass measures the power
// between the fades and the peak, the second makes the same samples again, scales and
// converts them. Either way every sample takes the same operations, and the power the
// same order of additions, so the bytes do not depend on the budget.
constexpr long long SIGNAL_BUDGET_BYTES = 256LL << 20;  // 33554432 samples, 11.6 min at 48 kHz

// Blocks are made on several threads when the request allows it and the run is long
// enough: at least this much work, counted in terms (one sample of one component) with
// each sample counting as SAMPLE_TERMS more for its fades, measurement and output.
// Below it a thread costs more to start than it saves (about 1 ms of work). Whatever
// the number of threads, the blocks are taken in index order, so the bytes are the
// same.
constexpr long long THREAD_MIN_WORK = 1LL << 20;
constexpr int SAMPLE_TERMS = 4;

struct SignalRequest {
    int size = 0;   // samples
    int taper = 0;  // samples, at each end
    double level = 0.0;  // dB relative to the format's full scale
    SampleFormat format = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    uint64_t seed = 1;  // of the dither
    const double *freq = nullptr, *amp = nullptr, *phase = nullptr;
    int count = 0;
    int fs = 0;  // Hz
    SynthKernel kernel = KERNEL_SCALAR;
    long long budgetBytes = SIGNAL_BUDGET_BYTES;
    int threads = 1;  // at most this many threads make blocks; the caller's is one of them
    long long threadMinWork = THREAD_MIN_WORK;
    bool keepSamples = false;  // keep the whole converted signal (for a listing)
    // Called with the samples made so far out of all those to make (both passes count);
    // done == total when the synthesis stops. The library shows nothing itself.
    void (*progress)(void *context, long long done, long long total) = nullptr;
    void *progressContext = nullptr;
};

// A request for count components over size samples with fades of taper samples at
// fs Hz, brought to level dB, on the widest kernel this processor runs; everything
// else keeps its default.
SignalRequest signalRequest(int size, int taper, double level, const double *freq, const double *amp,
                            const double *phase, int count, int fs);

// A measured signal at its level, ready to be emitted once. It holds its own copy of
// the request and of the components, so the caller's may go; a second emission is
// refused (Status::PlanSpent), since the kept sum has by then become 16-bit samples.
struct SignalPlan {
    SignalRequest request;
    std::vector<double> freq, amp, phase;
    std::unique_ptr<double[], FreeDeleter> sum;    // the whole sum, within the budget
    std::unique_ptr<unsigned char[], FreeDeleter> kept;  // the converted signal of a two-pass run
    // After emitSignal: the whole converted signal as stored (little-endian, the
    // format's bytes a sample), if kept; sampleValue reads it.
    const unsigned char *samples = nullptr;
    double gain = 0.0;
    bool spent = false;
};

// The first pass without the level setting: sum, fades and measurement. Fails only on
// sizes that cannot make a signal (BadSizes, naming generateComplexSine).
Result measureSignal(const SignalRequest &req, SignalPlan *plan, SignalMeasure *measure);

// The first pass and the level setting with its refusals.
Result planSignal(const SignalRequest &req, SignalPlan *plan);

// Receives the converted samples in order, a block at a time, as the bytes they take
// on disk: count samples, little-endian, the format's bytes a sample. Returns false to
// stop the run: no further sample is made.
typedef bool (*SampleSink)(const unsigned char *bytes, int count, void *context);

// The second pass: scales and converts every sample and hands them to sink. Stores the
// level of the converted samples in dB of the format's full scale, as calcPower
// measures it, in *levelDb. With keepSamples, plan->samples then holds the whole
// converted signal. Status::Stopped when the sink stopped the run, PlanSpent on a
// second call.
Result emitSignal(SignalPlan *plan, SampleSink sink, void *context, double *levelDb);

// ---- The played period ----------------------------------------------------------
// For the analysis of a recording of a periodic signal (every component a whole number
// of cycles of period samples): one period of the signal between the fades as the
// request's run stores it, made with no more than that period. The samples are the
// first period from a multiple of period that lies wholly between the fades, made in
// the blocks the whole run makes them in, on the request's kernel. The level is set
// by setLevel, with its refusals, on the power of the window between the fades formed
// from the period (its whole periods and the part of one that remains), which agrees
// with the whole run's to within rounding (about 1e-12). They are converted to the
// request's format with its quantizer, rounding in place of dither (dither does not
// repeat from period to period, and shows in an analysis as the noise it is).
// *samples receives the period values as a reader of the stored file sees them:
// integers over 2^(bits - 1), floats as they are; sample n of the signal between the
// fades is (*samples)[n mod period]. Status::Failed when the window holds no whole
// period (or period is below 1), BadSizes for sizes that cannot make a signal.
Result playedPeriod(const SignalRequest &request, long long period, std::vector<double> *samples);

#endif
