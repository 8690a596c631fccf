// The steps of the analysis that its files share: where the played signal lies in the
// recording (alignment.cpp), the sums over its periods (periods.cpp) and the lines
// they give (results.cpp), with the small tools they have in common.
#ifndef SONVEL_ANALYSIS_STEPS_H
#define SONVEL_ANALYSIS_STEPS_H

#include <cmath>
#include <complex>
#include <new>
#include <string>
#include <vector>

#include "analysis.h"
#include "fft.h"
#include "recording.h"
#include "result.h"

constexpr double PI = 3.14159265358979323846;

// A transform of n points with the plans asked for; a transform that cannot be made
// counts as memory that is not to be had.
inline void openTransform(RealTransform *t, long long n, RealTransform::Plans plans)
{
    if (!t->open(n, plans)) throw std::bad_alloc();
}

inline double db10(double ratio) { return 10.0 * std::log10(ratio); }

// e^(i 2 pi k samples / period): a delay of -samples at bin k.
inline Complex rotation(long long k, double samples, long long period)
{
    return std::polar(1.0, 2.0 * PI * static_cast<double>(k) * samples / static_cast<double>(period));
}

// The shortest shift that repeats the played lines: Q = P / g for lines on a grid of g
// bins; half of that, the sign flipped, where every line is an odd multiple of the grid
// (an odd design is the negative of itself half a period later).
struct LineRepeat {
    long long samples = 0;
    bool flips = false;
};
LineRepeat lineRepeat(const PlayedSignal &played);

// Where one channel's signal lies: its delay in samples (played sample 0 at that frame,
// before frame 0 where negative; the polarity is found with the delay refined), and
// whether a fade placed the onset.
struct ChannelPlace {
    double delay = 0.0;
    OnsetKind onset = ONSET_FOUND;
};

// Where the played signal lies in the recording, in the response and the reference, and
// the window of whole repeats the onset search used.
struct Placement {
    ChannelPlace response, reference;
    long long window = 0;  // frames, a whole number of repeats
};

// Finds the delay in three steps: the recorded energies on windows from frame 0 against
// the played envelope place the signal to within a window; one period from its middle
// gives the delay modulo the repeat to a fraction of a sample, and the polarity from the
// sign of the correlation; the energies again, on windows aligned with the recorded
// repeats, give the whole repeats. The reference channel (through referenceReader, null
// for none) is placed the same way. Also reads the frames, the peak and whether a sample
// is not a number into out.
Result placeSignal(ChannelReader *reader, ChannelReader *referenceReader, const std::string &name,
                   const PlayedSignal &played, const AnalyzeSettings &s, long long claimedFrames, Placement *place,
                   Analysis *out);

// The delay from the cross-spectrum of a channel with the played period: the peak of the
// correlation's magnitude nearest to near, and whether the channel is inverted there.
double delayNear(const std::vector<Complex> &cross, const PlayedSignal &played, double near, bool *inverted);

struct Accumulator {
    // Welford's running mean and sum of squared deviations of a complex value, per bin.
    std::vector<double> re, im, m2;
    void resize(size_t n)
    {
        re.assign(n, 0.0);
        im.assign(n, 0.0);
        m2.assign(n, 0.0);
    }
    Complex mean(size_t k) const { return Complex(re[k], im[k]); }
};

// The periods' spectra, bins 0 .. top: running mean and scatter of the response's and
// the reference's, and their co-moment; the sum of the response's squares.
struct PeriodSums {
    Accumulator Y, U;
    std::vector<double> coRe, coIm;
    double power = 0.0;
    // The periods summed, and for each period after the first the energy of its
    // difference from the one before, in the response and the reference (whose own
    // energy is referencePower).
    long long count = 0;
    std::vector<double> changeY, changeU;
    double referencePower = 0.0;
};

// Sums the spectra of M periods of P frames from frame first, bins 0 .. bins - 1.
Result accumulatePeriods(ChannelReader *reader, const std::string &name, long long first, long long M,
                         long long P, size_t bins, bool withReference, PeriodSums *sums);

// Finds the periods that differ from the rest beyond the noise (a click, a dropout) from
// the changes in the sums of M periods, and takes them out of the sums, reading them
// again; names them in out, with a warning.
Result leaveOutOutliers(ChannelReader *reader, const std::string &name, long long first, long long M,
                        long long P, bool withReference, PeriodSums *sums, Analysis *out);

// The delay of a mean spectrum whose periods start at frame first, from the
// cross-correlation with the played period, taken within half a repeat of near, and its
// polarity; within 1e-9 of a whole number of samples (the refinement's rounding) it is
// that number.
double refineDelay(const Accumulator &sums, const PlayedSignal &played, long long first, double near,
                   bool *inverted);

// The periods at the ends of the window of M periods from frame first whose spectra
// (bins 1 .. top) differ from the steady ones in its middle beyond their noise: the start
// transient and the response's reach into the fade-out. "open" where the difference
// lasts as far as the search goes (half the window from each end).
struct EdgeTransients {
    long long start = 0, end = 0;
    bool startOpen = false, endOpen = false;
};
Result findTransients(ChannelReader *reader, const std::string &name, const PlayedSignal &played, long long first,
                      long long M, long long top, EdgeTransients *out);

// The periods analysed: from the onset, after the fade-in and the settling time, to the
// same time before the fade-out, less the transients found at the ends (the start's only
// where the settling time was not given). Sets periodsUsed, firstFrame, settledPeriods,
// fadeOutPeriods and the warnings of out; refused where fewer than 2 periods are left.
Result placeWindow(ChannelReader *reader, const std::string &name, const PlayedSignal &played,
                   const AnalyzeSettings &s, const Placement &place, long long top, Analysis *out);

// The excited lines and the others on their grid up to bin top, and the summary, from
// the sums of M periods from frame first.
void describeLines(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                   long long top, bool withReference, Analysis *out);

#endif
