// The analysis of a recording of a played multisine: the period of the list, the
// played signal made by the engine, the alignment of the recording, and per
// line the mean response over whole periods with the noise from their scatter. Nothing
// here prints: failures come back as a Result, whose message is one "error: " line.
#ifndef SONVEL_ANALYSIS_H
#define SONVEL_ANALYSIS_H

#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "engine.h"
#include "recording.h"
#include "result.h"

using Complex = std::complex<double>;

// The longest period looked for: room beyond the designer's longest (2^24 samples)
// for lists written by hand.
constexpr long long MAX_PERIOD_SAMPLES = 100000000;

// A list is read into memory whole, up to this size.
constexpr long MAX_LIST_BYTES = 16L << 20;

// The text files the analysis reads (the list, a calibration file), read whole from fp
// up to limit bytes: false where the text is longer; a read error shows in ferror(fp).
bool readText(FILE *fp, long limit, std::string *text);

// The parameter list as sonvel reads it, and the period the designer wrote in its
// comment line "# lines: N from A to B Hz, period P samples at R Hz" (0 where absent).
struct PlayedList {
    std::vector<double> freq, amp, phase;
    long long designerPeriod = 0;
    long long designerRate = 0;
};

// Reads a list from fp with sonvel's reader, and its refusals.
Result readList(FILE *fp, PlayedList *list);

// The period in samples: the designer's, where it was written for rateHz and holds a
// whole number of cycles of every line, else the smallest period that does. Refused
// when no period up to MAX_PERIOD_SAMPLES does.
Result findPeriod(const PlayedList &list, int rateHz, long long *period);

// What sonvel played, as far as the analysis needs it.
struct PlayedSignal {
    int rateHz = 0;
    long long size = 0, taper = 0;  // samples
    long long period = 0;           // samples
    // One period of the stored samples, as libsndfile reads them (integers over
    // 2^(bits - 1), floats as they are), from a multiple of the period: sample n of the
    // signal between the fades is samples[n mod period].
    std::vector<double> samples;
    std::vector<Complex> spectrum;  // its DFT, bins 0 .. period / 2
    std::vector<long long> excited; // bins that hold a line, rising, 0 left out
    // The file sonvel wrote, where the signal was read from it (empty: made from the
    // options); the words before the rate where -s did not give it, for the refusal of
    // a recording at another rate ("the list's comment says"); the options given beside
    // the file that disagree with it, as warnings.
    std::string file;
    std::string rateFrom;
    std::vector<std::string> warnings;
};

// The played signal: one period of what sonvel stored, from the engine (playedPeriod:
// its synthesis, level setting and quantizer, rounding in place of dither), its
// spectrum and the bins of its lines. Refused where sonvel refuses the list, or no
// line is left to analyse.
Result playedSignal(const PlayedList &list, int rateHz, long long size, long long taper, LevelTarget target,
                    long long period, PlayedSignal *played);

struct DeviceCalibration;  // calibration.h
// What becomes of the recorder's clock: measured and corrected where it matters,
// measured and never corrected (--drift off), or given (--drift PPM) and corrected.
enum class DriftMode { Auto, Off, Given };

struct AnalyzeSettings {
    int channel = 1;               // the response, from 1
    int reference = 0;             // the loopback channel, 0 for none
    long long settle = -1;         // samples after the fade-in; -1 for one period
    long long maxPeriods = 0;      // 0 for all
    double maxFreqHz = 0.0;        // 0 for half the rate
    // A microphone's or device's response removed from the excited lines; none if null.
    const DeviceCalibration *calibration = nullptr;
    DriftMode drift = DriftMode::Auto;
    double driftPpm = 0.0;         // the clock's ratio given with DriftMode::Given
    // Added to the refusal of a recording without 2 whole periods: what the options
    // leave room for, where they are the likely cause (empty otherwise).
    std::string windowHint;
};

// Where the played signal's onset (its sample 0) was found: from a fade; before the
// recording's first frame, from the fade-out; or not at all, neither fade being in the
// recording. In the last two, the delay is reported modulo the period.
enum OnsetKind { ONSET_FOUND, ONSET_BEFORE_RECORDING, ONSET_UNKNOWN };

enum LineKind { LINE_EXCITED, LINE_ODD, LINE_EVEN, LINE_OUT_OF_BAND };

// One line of the result. For an excited line: gain and phase of the response (the
// delay removed), noise: the standard deviation of one period's response, in dB like
// the gain, and snr = gain - noise. For a line that is not excited: level and noise in
// dB relative to the RMS of the excited lines' output.
struct LineResult {
    long long bin = 0;
    double freqHz = 0.0;
    LineKind kind = LINE_EXCITED;
    double gainOrLevelDb = 0.0;  // excited: the gain; not excited: the level
    double phaseDeg = 0.0;
    double noiseDb = 0.0;
    double snrDb = 0.0;
    // The uncertainty of the mean over the periods (excited lines): standard
    // uncertainties, the 95 % interval of the gain (dB) and its phase half-width (deg),
    // the coherence, and the group delay (ms) from the phases of the neighbouring lines.
    double gainUncDb = NAN, phaseUncDeg = NAN;
    double gainLowDb = NAN, gainHighDb = NAN, phaseHalfDeg = NAN;
    double coherence = NAN;
    double groupDelayMs = NAN;
    // Lines not excited: the noise floor of the mean (sigma^2 / M) on the level's scale,
    // the played signal's own content at the line (removed from the level), and whether
    // the level is significantly above the floor.
    double floorDb = NAN;
    double playedDb = NAN;
    bool significant = false;
    // Excited lines of an odd design: the variance that the stochastic nonlinear
    // distortion adds to the response, estimated from the nearest odd detection lines,
    // in dB like the gain (nan without odd detection lines).
    double nonlinearDb = NAN;
};

struct Analysis {
    long long frames = 0;          // read from the recording
    int channels = 0;
    long long period = 0;
    long long periodsUsed = 0;
    long long firstFrame = 0;      // of the first period used
    double delay = 0.0;            // samples, from played to the response
    double referenceDelay = 0.0;   // samples, from played to the reference channel
    long long groupPeriods = 1;    // resolution of the onset search, in periods
    double peak = 0.0;             // largest magnitude of the channels used
    bool fullScale = false;        // the peak reached 16-bit full scale
    double levelDb = 0.0;          // mean power of the periods used, re full scale
    double snrDb = 0.0;            // excited lines: signal over noise power
    double oddDb = 0.0, evenDb = 0.0;  // distortion at the detection lines re the signal
    double meanGainDb = 0.0;       // RMS output over RMS input of the excited lines
    bool oddLines = false;         // every excited line an odd multiple of the grid
    std::vector<LineResult> excited, other;
    // The noise floor of the mean at the detection lines, re the signal like oddDb and
    // evenDb, and whether the odd and even distortion stand significantly above it.
    double oddFloorDb = NAN, evenFloorDb = NAN;
    bool oddSignificant = false, evenSignificant = false;
    // The recorder's clock against the player's, in ppm, and whether it was corrected.
    double driftPpm = 0.0;
    bool driftCorrected = false;
    bool inverted = false;                 // the response's polarity is inverted
    long long settledPeriods = 0;          // periods left out as the start transient
    std::vector<long long> outlierPeriods; // periods left out, from 1 in the window
    // Warnings about the recording, each one sentence without "warning: " and newline:
    // on standard error, in the table's header and in the JSON.
    std::vector<std::string> warnings;
    // The window: how the onset was found, and the periods left out before the fade-out
    // where the response still differs there (a response that starts before its peak).
    OnsetKind onset = ONSET_FOUND;
    long long fadeOutPeriods = 0;
    // How driftPpm came about: given by --drift rather than measured; and, where it was
    // not corrected, why: --drift off, or a build without a resampler.
    bool driftGiven = false, driftForbidden = false, driftUnsupported = false;
};

// Analyses the recording against the played signal.
Result analyze(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out);

// The circular delay in [0, n) that maximises the cross-correlation whose spectrum is
// cross (bins 0 .. n / 2), to a fraction of a sample; with negative given, the one that
// minimises it where that peak is decisively larger in magnitude, *negative telling which.
// Only the span integer delays from `from` (modulo n) are looked at, all where span is 0.
double circularDelay(const std::vector<Complex> &cross, long long n, bool *negative = nullptr, long long from = 0,
                     long long span = 0);

#endif
