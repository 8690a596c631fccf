// The recorder's clock: measured from the delays of stretches of periods, and
// corrected by a reader that resamples the recording as it streams through.
#include "drift.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#ifdef SONVEL_HAVE_SOXR
#include <soxr.h>
#endif

#include "steps.h"

namespace {

// Frames read before a resampled stream's first frame used: more than the reach of the
// resampler's filter (under 100 frames at a ratio near 1), so that the frames used
// never see the silence a stream starts from. As many are left out before the end of
// the recording, where the stream is flushed with silence.
constexpr long long GUARD_FRAMES = 512;

// Periods a stretch: enough to average the noise of one, few enough that a drift of
// 100 ppm smears the highest line of a 4,800-sample period by less than a cycle.
constexpr long long STRETCH_PERIODS = 4;

#ifdef SONVEL_HAVE_SOXR
struct SoxrCloser {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

// Channels a and b of the recording resampled onto the player's clock: frame j is the
// recording at frame origin + j ratio (libsoxr's high quality: 20 bits, flat within
// 0.01 dB to 91 % of half the rate), a thread a channel (libsoxr resamples each
// channel on its own, so the bytes are the same on one). The stream goes forwards
// only: a seek back starts it again at origin.
class ResampledReader : public ChannelReader {
public:
    ResampledReader(Recording *rec, int a, int b, double ratio, long long origin)
        : ChannelReader(rec, a, b), channels_(b >= 0 ? 2 : 1), origin_(origin)
    {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(static_cast<unsigned>(channels_));
        soxr_error_t error = nullptr;
        soxr_.reset(soxr_create(ratio, 1.0, static_cast<unsigned>(channels_), &error, &io, &quality, &runtime));
        if (error || !soxr_) throw std::bad_alloc();
        x_.resize(CHUNK);
        y_.resize(CHUNK);
        skipX_.resize(CHUNK);
        skipY_.resize(CHUNK);
        in_.resize(static_cast<size_t>(CHUNK * channels_));
        out_.resize(static_cast<size_t>(CHUNK * channels_));
    }

    // Makes the next seek start the stream again at origin.
    void restartAt(long long origin)
    {
        origin_ = origin;
        started_ = false;
    }

    bool seek(long long frame) override
    {
        if (!started_ || frame < position_) {
            soxr_clear(soxr_.get());
            if (!ChannelReader::seek(origin_)) return false;
            started_ = true;
            ended_ = false;
            position_ = pending_ = at_ = 0;
        }
        while (position_ < frame) {
            const long long want = std::min(frame - position_, CHUNK);
            if (read(want, skipX_.data(), skipY_.data()) != want) return false;
        }
        return true;
    }

    long long read(long long count, double *x, double *y) override
    {
        if (!started_ && !seek(0)) return 0;
        long long done = 0;
        while (done < count) {
            if (pending_ == 0 && !ended_) refill();
            size_t used = 0, made = 0;
            const size_t want = static_cast<size_t>(std::min(count - done, CHUNK));
            const double *in = pending_ > 0 ? in_.data() + at_ * channels_ : nullptr;
            if (soxr_process(soxr_.get(), in, static_cast<size_t>(pending_), &used, out_.data(), want, &made))
                break;
            at_ += static_cast<long long>(used);
            pending_ -= static_cast<long long>(used);
            for (size_t i = 0; i < made; i++) {
                x[done + static_cast<long long>(i)] = out_[i * static_cast<size_t>(channels_)];
                if (channels_ == 2) y[done + static_cast<long long>(i)] = out_[2 * i + 1];
            }
            done += static_cast<long long>(made);
            position_ += static_cast<long long>(made);
            if (made == 0 && ended_ && pending_ == 0) break;
        }
        return done;
    }

private:
    static constexpr long long CHUNK = 16384;

    // The next frames of the recording, interleaved for the resampler; the end of the
    // file (or a read error) ends the input.
    void refill()
    {
        const long long got = ChannelReader::read(CHUNK, x_.data(), y_.data());
        for (long long i = 0; i < got; i++) {
            in_[static_cast<size_t>(i * channels_)] = x_[static_cast<size_t>(i)];
            if (channels_ == 2) in_[static_cast<size_t>(2 * i + 1)] = y_[static_cast<size_t>(i)];
        }
        pending_ = got;
        at_ = 0;
        ended_ = got < CHUNK;
    }

    std::unique_ptr<struct soxr, SoxrCloser> soxr_;
    int channels_;
    long long origin_;
    bool started_ = false, ended_ = false;
    long long position_ = 0;         // the next frame out
    long long pending_ = 0, at_ = 0; // frames of in_ not yet taken, from at_
    std::vector<double> x_, y_, in_, out_;  // the recording's frames; the resampler's
    std::vector<double> skipX_, skipY_;     // frames passed over by a seek
};
#endif

std::unique_ptr<ChannelReader> resampledReader(Recording *rec, int a, int b, double ratio, long long origin)
{
#ifdef SONVEL_HAVE_SOXR
    return std::make_unique<ResampledReader>(rec, a, b, ratio, origin);
#else
    (void)rec, (void)a, (void)b, (void)ratio, (void)origin;
    return nullptr;
#endif
}

// Where a stretch read on another clock begins in the recording: the resampler's
// stream is started again there (made once per reading of the stretches: its filter
// takes a while to design).
void restartAt(ChannelReader *resampled, long long origin)
{
#ifdef SONVEL_HAVE_SOXR
    static_cast<ResampledReader *>(resampled)->restartAt(origin);
#else
    (void)resampled, (void)origin;
#endif
}

// The degrees by which a drift of ratio turns the highest excited line over M periods:
// its delay moves by (ratio - 1) M P samples, a cycle every P / k of them.
double swingDeg(double ratio, const PlayedSignal &played, long long M)
{
    return 360.0 * std::fabs(ratio - 1.0) * static_cast<double>(played.excited.back()) * static_cast<double>(M);
}

// Stretches of K periods of the periods used, from frame start[i], evenly spread, the
// first at the first period and the last ending at the last; neighbours no further
// apart than keeps the delay between them within an eighth of the spacing at which the
// correlation of the design repeats (P over the lines' common divisor) up to
// MAX_DRIFT_PPM, so that each delay is found from its neighbour's.
struct Stretches {
    long long K = 1;
    std::vector<long long> start;
};

Stretches layOut(const PlayedSignal &played, long long first, long long M, long long *repeat)
{
    long long grid = 0;
    for (long long k : played.excited) grid = std::gcd(grid, k);
    *repeat = played.period / std::max(grid, 1LL);
    Stretches st;
    st.K = std::max(1LL, std::min(STRETCH_PERIODS, M / 2));
    const double widest = 1.0 / (8.0 * static_cast<double>(std::max(grid, 1LL)) * MAX_DRIFT_PPM * 1e-6);
    const long long spacing = std::max(1LL, static_cast<long long>(widest));
    const long long S = std::max(2LL, (M - st.K + spacing - 1) / spacing + 1);
    for (long long i = 0; i < S; i++) st.start.push_back(first + i * (M - st.K) / (S - 1) * played.period);
    return st;
}

// The delay (frame minus played sample) at the middle of each stretch, read on the
// clock prior (the recording as it is where its ratio is 1), and the straight line
// through them: its slope 1 - 1 / ratio, its value delay0 / ratio at frame 0. Each
// delay is taken near its neighbour's towards the middle, moved along prior's slope;
// the middle one near prior's line.
Result fitStretches(Recording *rec, int channel, const PlayedSignal &played, const Stretches &st, long long repeat,
                    long long frames, const ClockFit &prior, ClockFit *fit)
{
    const long long P = played.period, K = st.K;
    const double rho = prior.ratio, slope = 1.0 - 1.0 / rho;
    const size_t S = st.start.size();
    const size_t bins = static_cast<size_t>(played.excited.back() + 1);
    std::vector<double> t(S), d(S);
    ChannelReader raw(rec, channel, -1);
    std::unique_ptr<ChannelReader> resampled;
    if (rho != 1.0) resampled = resampledReader(rec, channel, -1, rho, 0);
    // The middle first, then outwards one to the right and one to the left.
    const size_t middle = S / 2;
    std::vector<size_t> order{middle};
    for (size_t step = 1; order.size() < S; step++) {
        if (middle + step < S) order.push_back(middle + step);
        if (step <= middle) order.push_back(middle - step);
    }
    for (size_t i : order) {
        const long long origin = rho == 1.0 ? 0 : std::max(0LL, st.start[i] - GUARD_FRAMES);
        if (resampled) restartAt(resampled.get(), origin);
        ChannelReader *reader = resampled ? resampled.get() : &raw;
        // A resampled stretch moved back as far as the recording ends sooner on the
        // player's clock, and its filter reaches further.
        long long u0 = static_cast<long long>(std::ceil(static_cast<double>(st.start[i] - origin) / rho));
        if (rho != 1.0) {
            const double room = std::floor(static_cast<double>(frames - origin) / rho);
            u0 = std::max(0LL, std::min(u0, static_cast<long long>(room) - K * P - GUARD_FRAMES));
        }
        const double centre = static_cast<double>(u0) + static_cast<double>(K * P) / 2.0;
        t[i] = static_cast<double>(origin) + centre * rho;
        double near = t[i] - (t[i] - prior.delay0) / rho;
        if (i != middle) {
            const size_t j = i > middle ? i - 1 : i + 1;
            near = d[j] + slope * (t[i] - t[j]);
        }
        PeriodSums sums;
        Result r = accumulatePeriods(reader, rec->name, u0, K, P, bins, false, &sums);
        if (!r.ok()) return r;
        // In the stream's frames; the design's correlation repeats every `repeat` samples.
        const double local = near - static_cast<double>(origin) - centre * (rho - 1.0);
        double delay = refineDelay(sums.Y, played, u0, local, nullptr);
        delay = local + std::remainder(delay - local, static_cast<double>(repeat));
        d[i] = static_cast<double>(origin) + centre * (rho - 1.0) + delay;
    }
    // Least squares, about the mean of the stretches' middles.
    const double tMean = std::accumulate(t.begin(), t.end(), 0.0) / static_cast<double>(S);
    const double dMean = std::accumulate(d.begin(), d.end(), 0.0) / static_cast<double>(S);
    double stt = 0.0, std_ = 0.0;
    for (size_t i = 0; i < S; i++) {
        stt += (t[i] - tMean) * (t[i] - tMean);
        std_ += (t[i] - tMean) * (d[i] - dMean);
    }
    const double b = std_ / stt, a = dMean - b * tMean;
    fit->ratio = 1.0 / (1.0 - b);
    fit->delay0 = a * fit->ratio;
    return Status::Ok;
}

// A ratio within MAX_DRIFT_PPM of 1: what the stretches can tell apart.
bool plausible(const ClockFit &fit) { return std::fabs(fit.ratio - 1.0) <= MAX_DRIFT_PPM * 1e-6; }

// The clock from the recording itself: the stretches as recorded, then, where this
// build resamples and the drift matters, read again on the clock found (a stretch
// of a large drift is smeared, and its neighbouring lines leak into each other) until
// the estimate moves by less than a tenth of the threshold, twice at most.
Result measureClock(Recording *rec, int channel, const PlayedSignal &played, long long first, long long M,
                    double delay, long long frames, ClockFit *fit)
{
    long long repeat = 0;
    const Stretches st = layOut(played, first, M, &repeat);
    ClockFit prior;
    prior.delay0 = delay;
    Result r = fitStretches(rec, channel, played, st, repeat, frames, prior, fit);
    for (int pass = 0; r.ok() && pass < 2 && driftCorrectable(); pass++) {
        if (!(swingDeg(fit->ratio, played, M) >= DRIFT_THRESHOLD_DEG) || !plausible(*fit)) break;
        prior = *fit;
        r = fitStretches(rec, channel, played, st, repeat, frames, prior, fit);
        if (swingDeg(1.0 + (fit->ratio - prior.ratio), played, M) < DRIFT_THRESHOLD_DEG / 10.0) break;
    }
    return r;
}

}  // namespace

bool driftCorrectable()
{
#ifdef SONVEL_HAVE_SOXR
    return true;
#else
    return false;
#endif
}

Result settleDrift(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, long long first,
                   long long M, double delay, Analysis *out, DriftCorrection *correction)
{
    ClockFit clock;
    if (s.drift == DriftMode::Given) {
        // The placement's delay holds near the middle of the periods used.
        const double middle = static_cast<double>(first) + static_cast<double>(M * played.period) / 2.0;
        clock.ratio = 1.0 + s.driftPpm * 1e-6;
        clock.delay0 = middle - (middle - delay) * clock.ratio;
        out->driftPpm = s.driftPpm;
        out->driftGiven = true;
    } else {
        // The loopback, where there is one, is the cleanest copy of what was played.
        // A recording that gives no clock (it ends early on the player's clock, it has
        // nothing at the lines) is analysed as it is.
        const int channel = (s.reference > 0 ? s.reference : s.channel) - 1;
        const Result r = measureClock(rec, channel, played, first, M, delay, out->frames, &clock);
        if (!r.ok() || !plausible(clock)) {
            out->driftPpm = NAN;
            out->warnings.push_back("the recorder's clock against the player's could not be measured, and no "
                                    "drift was corrected (--drift PPM gives it).");
            return Status::Ok;
        }
        out->driftPpm = (clock.ratio - 1.0) * 1e6;
    }
    out->driftForbidden = s.drift == DriftMode::Off;
    const bool correct = s.drift == DriftMode::Given ? clock.ratio != 1.0
                                                      : s.drift == DriftMode::Auto &&
                                                            swingDeg(clock.ratio, played, M) >= DRIFT_THRESHOLD_DEG;
    if (!correct) return Status::Ok;
    if (!driftCorrectable()) {
        out->driftUnsupported = true;
        out->warnings.push_back(formatted("the clocks of player and recorder differ by %+.2f ppm, which this build "
                                          "cannot correct (it was built without libsoxr).",
                                          out->driftPpm));
        return Status::Ok;
    }
    const bool withReference = s.reference > 0;
    correction->clock = clock;
    correction->origin = std::max(0LL, first - GUARD_FRAMES);
    correction->reader =
        resampledReader(rec, s.channel - 1, withReference ? s.reference - 1 : -1, clock.ratio, correction->origin);
    correction->delay = (clock.delay0 - static_cast<double>(correction->origin)) / clock.ratio;
    correction->frames =
        static_cast<long long>(std::floor(static_cast<double>(out->frames - correction->origin) / clock.ratio)) -
        GUARD_FRAMES;
    out->driftCorrected = true;
    return Status::Ok;
}

void toRecordingFrames(const DriftCorrection &correction, bool withReference, Analysis *out)
{
    const double origin = static_cast<double>(correction.origin), ratio = correction.clock.ratio;
    out->delay = origin + out->delay * ratio;
    if (withReference) out->referenceDelay = origin + out->referenceDelay * ratio;
    out->firstFrame = std::llround(origin + static_cast<double>(out->firstFrame) * ratio);
}
