// The window of periods analysed: from the onset, after the fade-in and the settling
// time, to a guard before the fade-out; and the periods at its ends that still differ
// from the steady response (a start transient, a response that reaches the fade-out).
#include <algorithm>
#include <cmath>
#include <functional>

#include "analysis.h"
#include "steps.h"

namespace {

// The periods a period is compared with, and those the noise is taken from: at most
// this many, and at most a quarter of the window.
constexpr long long REFERENCE_PERIODS = 32;

// The reference periods' spectra are held at once: at most this many bins in all.
constexpr long long REFERENCE_BINS = 1LL << 21;

// A difference below this power re the mean excited line (-130 dB) counts as none, so
// that a recording without noise is not searched for differences in its last bits.
constexpr double DIFFERENCE_FLOOR = 1e-13;

// A search ends after this many settled periods in a row.
constexpr long long SETTLED_RUN = 2;

// Fewer periods than this left after the transients: the transient is reported, not
// left out.
constexpr long long MIN_PERIODS_LEFT = 5;

using Spectrum = std::vector<Complex>;

// What a period is compared with: the variance of one period's difference from the
// mean of R periods, bins 0 .. top (its noise, from R periods in the middle of the
// window, and the floor), and the largest |difference|^2 / variance of a settled period.
struct Noise {
    std::vector<double> variance;
    double threshold = 0.0;
};

// Reads periods of P frames and gives their spectra, bins 0 .. top.
class PeriodSpectra {
public:
    PeriodSpectra(ChannelReader *reader, const std::string &name, long long P, long long top)
        : reader_(reader), name_(name), P_(P), top_(top), y_(static_cast<size_t>(2 * P))
    {
        openTransform(&fft_, P, RealTransform::FORWARD);
    }
    Result read(long long start, Spectrum *spectrum)
    {
        // The second half of y takes the reference channel, which is not looked at.
        if (!reader_->seek(start) || reader_->read(P_, y_.data(), y_.data() + P_) != P_)
            return failure(formatted("\"%s\" cannot be read at frame %lld.", name_.c_str(), start));
        std::copy(y_.begin(), y_.begin() + P_, fft_.signal());
        fft_.toSpectrum();
        spectrum->resize(static_cast<size_t>(top_ + 1));
        for (long long k = 0; k <= top_; k++) (*spectrum)[static_cast<size_t>(k)] = fft_.bin(k);
        return Status::Ok;
    }

private:
    ChannelReader *reader_;
    const std::string &name_;
    long long P_, top_;
    std::vector<double> y_;
    RealTransform fft_;
};

// The noise of R periods from frame start: the scatter of their spectra, with the floor.
Result noiseOf(PeriodSpectra *spectra, const PlayedSignal &played, long long start, long long R, long long top,
               Noise *noise)
{
    const size_t bins = static_cast<size_t>(top + 1);
    Spectrum Y, mean(bins);
    noise->variance.assign(bins, 0.0);
    for (long long m = 0; m < R; m++) {
        Result r = spectra->read(start + m * played.period, &Y);
        if (!r.ok()) return r;
        const double inverse = 1.0 / static_cast<double>(m + 1);
        for (size_t k = 0; k < bins; k++) {
            const Complex d = Y[k] - mean[k];
            mean[k] += d * inverse;
            noise->variance[k] += std::real(std::conj(d) * (Y[k] - mean[k]));
        }
    }
    double linePower = 0.0;
    for (long long k : played.excited) linePower += std::norm(mean[static_cast<size_t>(k)]);
    linePower /= static_cast<double>(played.excited.size());
    // With sigma^2 estimated from R periods, |difference|^2 / variance is F(2, 2 (R - 1))
    // distributed: the threshold leaves a chance of 1e-9 a bin that a settled period
    // passes it.
    const double dof = static_cast<double>(R - 1);
    noise->threshold = dof * (std::pow(1e9, 1.0 / dof) - 1.0);
    for (double &v : noise->variance)
        v = v / dof * (1.0 + 1.0 / static_cast<double>(R)) + DIFFERENCE_FLOOR * linePower;
    return Status::Ok;
}

// Whether a period's spectrum differs from sum / R beyond the noise at any bin, once the
// common delay between them is taken out: a clock drift moves the whole period.
bool differs(const Spectrum &Y, const Spectrum &sum, long long R, const Noise &noise, const PlayedSignal &played)
{
    const long long P = played.period, top = static_cast<long long>(Y.size()) - 1;
    const double inverse = 1.0 / static_cast<double>(R);
    std::vector<Complex> cross(static_cast<size_t>(P / 2 + 1));
    for (long long k : played.excited)
        cross[static_cast<size_t>(k)] = Y[static_cast<size_t>(k)] * std::conj(sum[static_cast<size_t>(k)]);
    const double shift = std::remainder(circularDelay(cross, P), static_cast<double>(P));
    for (long long k = 1; k <= top; k++) {
        const size_t i = static_cast<size_t>(k);
        const double d = std::norm(Y[i] * rotation(k, shift, P) - sum[i] * inverse);
        if (d > noise.threshold * noise.variance[i]) return true;
    }
    return false;
}

// From one end of the window inwards (period i from that end at frame at(i)), the
// periods up to the last that differs from the R periods after it, and whether the
// difference lasts to limit.
Result searchEnd(PeriodSpectra *spectra, const PlayedSignal &played, const Noise &noise, long long R,
                 long long limit, const std::function<long long(long long)> &at, long long *count, bool *open)
{
    // ring holds periods i + 1 .. i + R, sum their sum, Y period i.
    std::vector<Spectrum> ring(static_cast<size_t>(R));
    Spectrum Y, sum;
    Result r = spectra->read(at(0), &Y);
    sum.assign(Y.size(), Complex());
    for (long long j = 1; r.ok() && j <= R; j++) {
        Spectrum &slot = ring[static_cast<size_t>(j % R)];
        r = spectra->read(at(j), &slot);
        for (size_t k = 0; k < sum.size(); k++) sum[k] += slot[k];
    }
    *count = 0;
    long long i = 0;
    for (; r.ok() && i < limit && i - *count < SETTLED_RUN; i++) {
        if (differs(Y, sum, R, noise, played)) *count = i + 1;
        // Period i + 1 leaves the ring for Y, period i + R + 1 takes its place.
        Spectrum &slot = ring[static_cast<size_t>((i + 1) % R)];
        Y.swap(slot);
        r = spectra->read(at(i + R + 1), &slot);
        for (size_t k = 0; k < sum.size(); k++) sum[k] += slot[k] - Y[k];
    }
    *open = *count > 0 && i == limit && i - *count < SETTLED_RUN;
    return r;
}

// Leaves the transients found out of the window of M periods from first, or warns: the
// start's where the settling time was not given and 5 periods remain, the end's where
// 5 remain.
void leaveOutTransients(const EdgeTransients &t, const PlayedSignal &played, const AnalyzeSettings &s,
                        long long settle, long long *first, long long *M, Analysis *out)
{
    const long long P = played.period;
    const int rateHz = played.rateHz;
    auto settleMs = [rateHz](long long samples) { return (samples * 1000 + rateHz - 1) / rateHz; };
    if (t.end > 0 && *M - t.end >= MIN_PERIODS_LEFT && !t.endOpen) {
        out->fadeOutPeriods = t.end;
        *M -= t.end;
    }
    if (t.startOpen) {
        out->warnings.push_back(formatted("the response still differs from its steady state %lld periods after "
                                          "the fade-in, half the window: a start transient as long, or a clock "
                                          "drift; the periods are analysed as they are.", t.start));
    } else if (t.start > 0 && s.settle >= 0) {
        out->warnings.push_back(formatted("the first %lld periods after the settling time differ from the later "
                                          "ones beyond the noise (a start transient): --settle %lld leaves them out.",
                                          t.start, settleMs(settle + t.start * P)));
    } else if (t.start > 0 && *M - t.start < MIN_PERIODS_LEFT) {
        out->warnings.push_back(formatted("the first %lld periods differ from the later ones beyond the noise (a "
                                          "start transient); --settle %lld leaves them out, but only %lld periods "
                                          "with them.", t.start, settleMs(settle + t.start * P), *M - t.start));
    } else if (t.start > 0) {
        out->settledPeriods = t.start;
        *first += t.start * P;
        *M -= t.start;
    }
}

}  // namespace

Result findTransients(ChannelReader *reader, const std::string &name, const PlayedSignal &played, long long first,
                      long long M, long long top, EdgeTransients *out)
{
    *out = EdgeTransients();
    const long long P = played.period;
    const long long R = std::min({REFERENCE_PERIODS, M / 4, REFERENCE_BINS / (top + 1)});
    if (R < 2) return Status::Ok;
    PeriodSpectra spectra(reader, name, P, top);
    Noise noise;
    Result r = noiseOf(&spectra, played, first + (M - R) / 2 * P, R, top, &noise);
    // Up to the middle: the ring ahead of the last period tried stays in the window.
    const long long limit = (M - R) / 2;
    if (r.ok())
        r = searchEnd(&spectra, played, noise, R, limit, [&](long long i) { return first + i * P; }, &out->start,
                      &out->startOpen);
    if (r.ok())
        r = searchEnd(&spectra, played, noise, R, limit, [&](long long i) { return first + (M - 1 - i) * P; },
                      &out->end, &out->endOpen);
    return r;
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
    leaveOutTransients(t, played, s, settle, &first, &M, out);
    if (s.maxPeriods > 0) M = std::min(M, s.maxPeriods);
    if (M < 2)
        return failure(formatted("\"%s\" holds %lld whole period%s of the signal after the fade-in and "
                                 "settling and before the fade-out; 2 at least are needed.",
                                 name.c_str(), M, M == 1 ? "" : "s") +
                       s.windowHint);
    out->periodsUsed = M;
    out->firstFrame = first;
    return Status::Ok;
}
