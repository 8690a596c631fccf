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

// Where the played signal lies in the recording: its delay in samples (played sample
// 0 at that frame) and the window of whole periods the onset search used.
struct Placement {
    double delay = 0.0;
    long long window = 0;  // frames, a whole number of periods
};

// Finds the delay in three steps: the recorded energies on windows from frame 0 against
// the played envelope place the signal to within a window; one period from its middle
// gives the delay modulo the period to a fraction of a sample; the energies again, on
// windows aligned with the recorded periods, give the whole periods. Also reads the
// frames, the peak and whether a sample is not a number into out.
Result placeSignal(ChannelReader *reader, const std::string &name, const PlayedSignal &played,
                   const AnalyzeSettings &s, long long claimedFrames, Placement *place, Analysis *out);

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
// cross-correlation with the played period, taken within half a period of near; within
// 1e-9 of a whole number of samples (the refinement's rounding) it is that number.
double refineDelay(const Accumulator &sums, const PlayedSignal &played, long long first, double near);

// The excited lines and the others on their grid up to bin top, and the summary, from
// the sums of M periods from frame first.
void describeLines(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                   long long top, bool withReference, Analysis *out);

#endif
