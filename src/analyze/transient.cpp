// The window of periods analysed: from the onset, after the fade-in and the settling
// time, to a guard before the fade-out; and the periods at its ends that still differ
// from the steady response (a start transient, a response that reaches the fade-out).
#include <algorithm>
#include <cmath>

#include "analysis.h"
#include "steps.h"

namespace {

// The reference: at most this many periods from the middle of the window.
constexpr long long REFERENCE_PERIODS = 32;

// A difference below this power re the mean excited line (-130 dB) counts as none, so
// that a recording without noise is not searched for differences in its last bits.
constexpr double DIFFERENCE_FLOOR = 1e-13;

// A search ends after this many settled periods in a row.
constexpr long long SETTLED_RUN = 2;

// Fewer periods than this left after the transients: the transient is reported, not
// left out.
constexpr long long MIN_PERIODS_LEFT = 5;

// The steady spectrum: mean and the variance of one period's difference from the mean,
// bins 0 .. top, and the mean power of the excited lines.
struct Steady {
    std::vector<Complex> mean;
    std::vector<double> variance;
    double linePower = 0.0;
    double threshold = 0.0;  // the largest |difference|^2 / variance of a settled period
};

// One period's spectrum, bins 0 .. top, from frame start.
bool readSpectrum(ChannelReader *reader, RealTransform *fft, long long start, long long P, long long top,
                  std::vector<double> *y, std::vector<Complex> *spectrum)
{
    // The second half of y takes the reference channel, which is not looked at.
    if (!reader->seek(start) || reader->read(P, y->data(), y->data() + P) != P) return false;
    std::copy(y->begin(), y->begin() + P, fft->signal());
    fft->toSpectrum();
    for (long long k = 0; k <= top; k++) (*spectrum)[static_cast<size_t>(k)] = fft->bin(k);
    return true;
}

// Whether a period's spectrum differs from the steady one beyond the noise, at any bin,
// once the common delay between them is taken out: a clock drift the analysis does not
// correct moves the whole period, not a few lines.
bool differs(const std::vector<Complex> &Y, const Steady &steady, const PlayedSignal &played, long long top)
{
    const long long P = played.period;
    std::vector<Complex> cross(static_cast<size_t>(P / 2 + 1));
    for (long long k : played.excited)
        if (k <= top) cross[static_cast<size_t>(k)] = Y[static_cast<size_t>(k)] * std::conj(steady.mean[static_cast<size_t>(k)]);
    const double shift = std::remainder(circularDelay(cross, P), static_cast<double>(P));
    for (long long k = 1; k <= top; k++) {
        const size_t i = static_cast<size_t>(k);
        const double d = std::norm(Y[i] * rotation(k, shift, P) - steady.mean[i]);
        if (d > steady.threshold * steady.variance[i]) return true;
    }
    return false;
}

}  // namespace

Result findTransients(ChannelReader *reader, const std::string &name, const PlayedSignal &played, long long first,
                      long long M, long long top, EdgeTransients *out)
{
    *out = EdgeTransients();
    const long long P = played.period;
    const long long R = std::clamp(M / 4, 2LL, REFERENCE_PERIODS);
    const size_t bins = static_cast<size_t>(top + 1);
    RealTransform fft;
    openTransform(&fft, P, RealTransform::FORWARD);
    std::vector<double> y(static_cast<size_t>(2 * P));
    std::vector<Complex> Y(bins);
    auto cannotRead = [&](long long frame) {
        return failure(formatted("\"%s\" cannot be read at frame %lld.", name.c_str(), frame));
    };

    // The steady spectrum from R periods in the middle of the window.
    Steady steady;
    steady.mean.assign(bins, Complex());
    steady.variance.assign(bins, 0.0);
    const long long middle = first + (M - R) / 2 * P;
    for (long long m = 0; m < R; m++) {
        if (!readSpectrum(reader, &fft, middle + m * P, P, top, &y, &Y)) return cannotRead(middle + m * P);
        const double inverse = 1.0 / static_cast<double>(m + 1);
        for (size_t k = 0; k < bins; k++) {
            const Complex d = Y[k] - steady.mean[k];
            steady.mean[k] += d * inverse;
            steady.variance[k] += std::real(std::conj(d) * (Y[k] - steady.mean[k]));
        }
    }
    for (long long k : played.excited)
        if (k <= top) steady.linePower += std::norm(steady.mean[static_cast<size_t>(k)]);
    steady.linePower /= static_cast<double>(played.excited.size());
    // A period's difference from the mean of R has variance sigma^2 (1 + 1 / R); with sigma^2
    // estimated from R periods, |difference|^2 / variance is F(2, 2 (R - 1)) distributed,
    // and the threshold leaves a chance of 1e-9 a bin that a settled period passes it.
    const double dof = static_cast<double>(R - 1);
    steady.threshold = dof * (std::pow(1e9, 1.0 / dof) - 1.0);
    for (double &v : steady.variance)
        v = v / dof * (1.0 + 1.0 / static_cast<double>(R)) + DIFFERENCE_FLOOR * steady.linePower;

    // From each end inwards, up to the reference, until SETTLED_RUN periods in a row agree.
    const long long limit = (M - R) / 2;
    for (int end = 0; end < 2; end++) {
        long long count = 0, m = 0;
        for (; m < limit && m - count < SETTLED_RUN; m++) {
            const long long start = first + (end ? M - 1 - m : m) * P;
            if (!readSpectrum(reader, &fft, start, P, top, &y, &Y)) return cannotRead(start);
            if (differs(Y, steady, played, top)) count = m + 1;
        }
        (end ? out->end : out->start) = count;
        (end ? out->endOpen : out->startOpen) = count > 0 && m == limit && m - count < SETTLED_RUN;
    }
    return Status::Ok;
}

Result placeWindow(ChannelReader *reader, const std::string &name, const PlayedSignal &played,
                   const AnalyzeSettings &s, const Placement &place, long long top, Analysis *out)
{
    const long long P = played.period;
    // The guard before the fade-out is the settling time: what the response needs after
    // the fade-in to settle, a response that starts before its peak (a long filter's
    // pre-ringing, a resonance's group delay) needs before the fade-out.
    const long long settle = s.settle >= 0 ? s.settle : P;
    const long long guard = settle;
    // Where a window of the onset search held several repeats, a window less at each end
    // for its uncertainty.
    const long long margin = place.window - lineRepeat(played).samples;
    long long first = 0, last = out->frames;
    for (const ChannelPlace *c : {&place.response, &place.reference}) {
        if (c == &place.reference && s.reference == 0) continue;
        if (c->onset == ONSET_UNKNOWN) continue;  // the recording holds the steady signal only
        const double from = static_cast<double>(played.taper + settle + margin) + c->delay;
        const double to = static_cast<double>(played.size - played.taper - guard - margin) + c->delay;
        first = std::max(first, static_cast<long long>(std::ceil(from)));
        last = std::min(last, static_cast<long long>(std::floor(to)));
    }
    long long M = last > first ? (last - first) / P : 0;

    EdgeTransients t;
    if (M > MIN_PERIODS_LEFT) {
        Result r = findTransients(reader, name, played, first, M, top, &t);
        if (!r.ok()) return r;
    }
    const int rateHz = played.rateHz;
    auto settleMs = [rateHz](long long samples) { return (samples * 1000 + rateHz - 1) / rateHz; };
    if (t.end > 0 && M - t.end >= MIN_PERIODS_LEFT && !t.endOpen) {
        out->fadeOutPeriods = t.end;
        M -= t.end;
    }
    if (t.startOpen) {
        out->warnings.push_back(formatted("the response still differs from its steady state %lld periods after "
                                          "the fade-in, half the window: a start transient as long, or a clock "
                                          "drift; the periods are analysed as they are.", t.start));
    } else if (t.start > 0 && s.settle >= 0) {
        out->warnings.push_back(formatted("the first %lld periods after the settling time differ from the later "
                                          "ones beyond the noise (a start transient): --settle %lld leaves them out.",
                                          t.start, settleMs(settle + t.start * P)));
    } else if (t.start > 0 && M - t.start < MIN_PERIODS_LEFT) {
        out->warnings.push_back(formatted("the first %lld periods differ from the later ones beyond the noise (a "
                                          "start transient); --settle %lld leaves them out, but only %lld periods with them.",
                                          t.start, settleMs(settle + t.start * P), M - t.start));
    } else if (t.start > 0) {
        out->settledPeriods = t.start;
        first += t.start * P;
        M -= t.start;
    }
    if (s.maxPeriods > 0) M = std::min(M, s.maxPeriods);
    if (M < 2)
        return failure(formatted("\"%s\" holds %lld whole period%s of the signal after the fade-in and "
                                 "settling and before the fade-out; 2 at least are needed.",
                                 name.c_str(), M, M == 1 ? "" : "s"));
    out->periodsUsed = M;
    out->firstFrame = first;
    return Status::Ok;
}
