// Where the played signal lies in the recording: the onset from the energies of
// windows against the played envelope, the delay from the cross-correlation.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis.h"
#include "steps.h"

namespace {

// The recording's samples reach 16-bit full scale at this magnitude.
constexpr double FULL_SCALE_READ = 32767.0 / 32768.0;

// How much larger in magnitude the correlation's negative peak than its positive one
// shows an inverted system.
constexpr double INVERTED_PEAK = 2.0;


// Energies of consecutive windows of window frames from frame 0 of channel a, and of
// channel b where both; the frames read, the peak of both channels and any sample that
// is not a number.
struct EnergyScan {
    std::vector<double> energy, energyB;
    long long frames = 0;
    double peak = 0.0;
    bool nonFinite = false;
};

void scanEnergies(ChannelReader *reader, long long window, bool both, EnergyScan *scan)
{
    const long long CHUNK = 65536;
    std::vector<double> x(CHUNK), y(CHUNK);
    scan->energy.clear();
    scan->energyB.clear();
    if (!reader->seek(0)) return;
    double sum = 0.0, sumB = 0.0, peak = scan->peak;
    long long inWindow = 0, frames = 0;
    bool nonFinite = false;
    for (;;) {
        const long long got = reader->read(CHUNK, x.data(), y.data());
        for (long long i = 0; i < got; i++) {
            const double v = x[i], a = std::fabs(v), b = both ? std::fabs(y[i]) : 0.0;
            sum += v * v;
            sumB += b * b;
            peak = std::max(peak, std::max(a, b));
            nonFinite |= !std::isfinite(v) || !std::isfinite(b);
            if (++inWindow == window) {
                scan->energy.push_back(sum);
                if (both) scan->energyB.push_back(sumB);
                sum = sumB = 0.0;
                inWindow = 0;
            }
        }
        frames += got;
        if (got < CHUNK) break;
    }
    scan->frames = frames;
    scan->peak = peak;
    scan->nonFinite = nonFinite;
}

// The played signal's squared envelope (fade factors) averaged over windows of window
// samples from sample 0: 1 in a window wholly between the fades.
std::vector<double> playedEnvelope(long long size, long long taper, long long window)
{
    const long long count = (size + window - 1) / window;
    std::vector<double> w(static_cast<size_t>(count), 0.0);
    for (long long n = 0; n < taper; n++) {
        const double in = static_cast<double>(n) / static_cast<double>(taper);
        const double out = static_cast<double>(taper - n) / static_cast<double>(taper);
        w[static_cast<size_t>(n / window)] += in * in;
        w[static_cast<size_t>((size - taper + n) / window)] += out * out;
    }
    for (long long i = 0; i < count; i++) {
        const long long lo = std::max(i * window, taper), hi = std::min((i + 1) * window, size - taper);
        if (hi > lo) w[static_cast<size_t>(i)] += static_cast<double>(hi - lo);
        w[static_cast<size_t>(i)] /= static_cast<double>(window);
    }
    return w;
}

double at(const std::vector<double> &v, long long i) { return v[static_cast<size_t>(i)]; }

// The longest run lo .. hi - 1 of windows of the envelope w that lie wholly between
// the fades (exactly 1).
void longestWholeRun(const std::vector<double> &w, long long *lo, long long *hi)
{
    const long long K = static_cast<long long>(w.size());
    *lo = *hi = 0;
    for (long long i = 0; i < K;) {
        long long j = i;
        while (j < K && at(w, j) == 1.0) j++;
        if (j - i > *hi - *lo) *lo = i, *hi = j;
        i = j + 1;
    }
}

// The shift m (recorded window m + i holds played window i) at which the recorded
// energies look most like the played envelope: the largest correlation over the norm
// of the envelope's part that lies within the recording, so that a recording of the
// fade-in alone is not taken for a part between the fades. Windows of w that are
// exactly 1 are summed from running sums. Returns false when every product is 0;
// *unique tells whether both neighbouring shifts score lower, which they do not where
// the recording holds neither fade (every shift inside the signal scores the same).
bool bestShift(const std::vector<double> &e, const std::vector<double> &w, long long *shift, bool *unique)
{
    const long long J = static_cast<long long>(e.size()), K = static_cast<long long>(w.size());
    std::vector<double> prefix(static_cast<size_t>(J + 1), 0.0), squares(static_cast<size_t>(K + 1), 0.0);
    for (long long j = 0; j < J; j++) prefix[static_cast<size_t>(j + 1)] = at(prefix, j) + at(e, j);
    for (long long i = 0; i < K; i++) squares[static_cast<size_t>(i + 1)] = at(squares, i) + at(w, i) * at(w, i);
    // The longest run of whole windows between the fades, and the rest.
    long long lo = 0, hi = 0;
    longestWholeRun(w, &lo, &hi);
    std::vector<long long> rest;
    for (long long i = 0; i < K; i++)
        if ((i < lo || i >= hi) && at(w, i) > 0.0) rest.push_back(i);
    auto clampJ = [J](long long j) { return std::min(std::max(j, 0LL), J); };
    // The score of shift m; 0 where the envelope misses the recording.
    auto score = [&](long long m) {
        double c = at(prefix, clampJ(m + hi)) - at(prefix, clampJ(m + lo));
        for (long long i : rest) {
            const long long j = m + i;
            if (j >= 0 && j < J) c += at(w, i) * at(e, j);
        }
        const long long from = std::max(0LL, -m), to = std::min(K, J - m);
        const double norm = to > from ? at(squares, to) - at(squares, from) : 0.0;
        return norm > 0.0 ? c / std::sqrt(norm) : 0.0;
    };
    double best = 0.0;
    bool found = false;
    for (long long m = -K + 1; m < J; m++) {
        const double c = score(m);
        if (c > best) {
            best = c;
            *shift = m;
            found = true;
        }
    }
    // Equal sums of the same windows may differ in the last places of their running sums.
    const double tie = best * (1.0 - 1e-9);
    *unique = found && score(*shift - 1) < tie && score(*shift + 1) < tie;
    return found;
}

// Reads exactly count frames of the response (and reference) from frame start.
bool readPeriod(ChannelReader *reader, long long start, long long count, double *y, double *u)
{
    return reader->seek(start) && reader->read(count, y, u) == count;
}

}  // namespace

double circularDelay(const std::vector<Complex> &cross, long long n, bool *negative, long long from, long long span)
{
    // The correlation on the integer delays by an inverse real transform.
    RealTransform inverse;
    openTransform(&inverse, n, RealTransform::INVERSE);
    fftw_complex *crossBins = inverse.spectrum();
    for (long long k = 0; k <= n / 2; k++) {
        crossBins[k][0] = cross[static_cast<size_t>(k)].real();
        crossBins[k][1] = cross[static_cast<size_t>(k)].imag();
    }
    inverse.toSignal();
    const double *corr = inverse.signal();
    // The largest value; with negative asked for, the lowest instead where it is at least
    // INVERTED_PEAK times as large in magnitude: a system that inverts the signal. A
    // band-pass system's lobes of either sign come close to each other: they do not count.
    if (span <= 0 || span > n) from = 0, span = n;
    from = (from % n + n) % n;
    long long best = from, lowest = from;
    for (long long j = 1; j < span; j++) {
        const long long t = (from + j) % n;
        if (corr[t] > corr[best]) best = t;
        if (corr[t] < corr[lowest]) lowest = t;
    }
    if (negative) {
        *negative = -corr[lowest] > INVERTED_PEAK * corr[best];
        if (*negative) best = lowest;
    }
    // Newton's steps on the derivative of c(t) = sum Re(cross_k e^(i w_k t)), from the
    // integer peak to the maximum.
    double t = static_cast<double>(best);
    for (int it = 0; it < 30; it++) {
        double d1 = 0.0, d2 = 0.0;
        for (long long k = 1; 2 * k < n; k++) {
            const Complex c = cross[static_cast<size_t>(k)];
            if (c == Complex()) continue;
            const double w = 2.0 * PI * static_cast<double>(k) / static_cast<double>(n);
            const Complex r = c * std::polar(1.0, w * t);
            d1 -= w * r.imag();
            d2 -= w * w * r.real();
        }
        if (d2 == 0.0) break;
        double stepT = -d1 / d2;
        stepT = std::clamp(stepT, -0.5, 0.5);
        t += stepT;
        if (std::fabs(stepT) < 1e-12) break;
    }
    t = std::fmod(t, static_cast<double>(n));
    return t < 0.0 ? t + static_cast<double>(n) : t;
}

namespace {

// As many repeats of the lines (Q samples) a window of the onset search as keep its
// correlation within about 2^20 windows and 2^27 products.
long long repeatsPerWindow(const PlayedSignal &played, long long Q, long long claimedFrames)
{
    long long g = 1;
    for (;; g *= 2) {
        const long long window = g * Q;
        const long long windows = std::max(claimedFrames, 1LL) / window + played.size / window + 2;
        const long long products = windows * (2 * played.taper / window + 4);
        if (windows <= (1LL << 20) && products <= (1LL << 27)) return g;
    }
}

// The delay modulo the lines' repeat Q, to a fraction of a sample, and the polarity
// there, from the period of the channel that starts at frame middle.
Result delayModRepeat(ChannelReader *reader, const std::string &name, const PlayedSignal &played, int channel,
                      long long middle, long long Q, double *delay, bool *negative)
{
    const long long P = played.period;
    std::vector<double> y(static_cast<size_t>(P)), u(static_cast<size_t>(P));
    if (!readPeriod(reader, middle, P, y.data(), u.data()))
        return failure(formatted("\"%s\" cannot be read at frame %lld.", name.c_str(), middle));
    RealTransform fft;
    openTransform(&fft, P, RealTransform::FORWARD);
    std::copy(y.begin(), y.end(), fft.signal());
    fft.toSpectrum();
    std::vector<Complex> cross(static_cast<size_t>(P / 2 + 1));
    double atLines = 0.0;
    for (long long k : played.excited) {
        const Complex Y = fft.bin(k);
        cross[static_cast<size_t>(k)] = Y * std::conj(played.spectrum[static_cast<size_t>(k)]);
        atLines += std::norm(Y);
    }
    if (atLines == 0.0)
        return failure(formatted("channel %d of \"%s\" holds nothing at the played lines.", channel, name.c_str()));
    const double d = static_cast<double>(middle) + circularDelay(cross, P, negative);
    const double repeats = std::floor(d / static_cast<double>(Q));
    *delay = d - repeats * static_cast<double>(Q);
    if (lineRepeat(played).flips && std::fmod(repeats, 2.0) != 0.0) *negative = !*negative;
    return Status::Ok;
}

// A channel's delay modulo the repeat, and whether the correlation is negative there.
struct ModRepeat {
    double delay = 0.0;
    bool negative = false;
};

// The first step of placing a channel, from its energies on windows from frame 0
// (coarse, first): the delay modulo the repeat from one period in the middle of the
// signal.
Result placeModRepeat(ChannelReader *reader, const std::string &name, const PlayedSignal &played, int channel,
                      const std::vector<double> &coarse, const std::vector<double> &envelope, long long window,
                      long long frames, ModRepeat *m)
{
    const long long P = played.period;
    long long shift = 0;
    bool unique = false;
    if (!bestShift(coarse, envelope, &shift, &unique))
        return failure(formatted("channel %d of \"%s\" is silent.", channel, name.c_str()));
    const long long middle = std::clamp(shift * window + played.size / 2 - P / 2, 0LL, frames - P);
    return delayModRepeat(reader, name, played, channel, middle, lineRepeat(played).samples, &m->delay,
                          &m->negative);
}

// Energies of consecutive windows of channel a from frame startA on, and of channel b
// from startB on (none where startB < 0), in one pass.
void scanAligned(ChannelReader *reader, long long startA, long long startB, long long window,
                 std::vector<double> *energyA, std::vector<double> *energyB)
{
    const long long CHUNK = 65536;
    std::vector<double> x(CHUNK), y(CHUNK);
    energyA->clear();
    energyB->clear();
    long long frame = startB >= 0 ? std::min(startA, startB) : startA;
    if (!reader->seek(frame)) return;
    double sumA = 0.0, sumB = 0.0;
    long long inA = 0, inB = 0;
    for (;;) {
        const long long got = reader->read(CHUNK, x.data(), y.data());
        for (long long i = 0; i < got; i++, frame++) {
            if (frame >= startA) {
                sumA += x[i] * x[i];
                if (++inA == window) energyA->push_back(sumA), sumA = 0.0, inA = 0;
            }
            if (startB >= 0 && frame >= startB) {
                sumB += y[i] * y[i];
                if (++inB == window) energyB->push_back(sumB), sumB = 0.0, inB = 0;
            }
        }
        if (got < CHUNK) break;
    }
}

// The second step: the whole repeats from the energies on windows aligned with the
// recorded repeats, window j from frame ceil(delay mod Q) + j window. It holds the played
// window j - shift when the played signal starts at delay mod Q + shift window.
void placeRepeats(const std::vector<double> &aligned, const std::vector<double> &envelope, const ModRepeat &m,
                  const PlayedSignal &played, long long window, ChannelPlace *place)
{
    const LineRepeat repeat = lineRepeat(played);
    const long long Q = repeat.samples;
    long long shift = 0;
    bool unique = false;
    if (!bestShift(aligned, envelope, &shift, &unique) || !unique) {
        // Neither fade is in the recording: the delay is known modulo the period, and on
        // a design that repeats inverted, the polarity is taken as it is.
        place->onset = ONSET_UNKNOWN;
        place->delay = m.delay + (repeat.flips && m.negative ? static_cast<double>(Q) : 0.0);
        return;
    }
    place->delay = m.delay + static_cast<double>(shift * (window / Q)) * static_cast<double>(Q);
    place->onset = ONSET_FOUND;
}

}  // namespace

LineRepeat lineRepeat(const PlayedSignal &played)
{
    const long long P = played.period;
    long long g = P;
    for (long long k : played.excited) g = std::gcd(g, k);
    bool odd = true;
    for (long long k : played.excited) odd &= (k / g) % 2 == 1;
    LineRepeat r;
    r.flips = odd && (P / g) % 2 == 0;
    r.samples = r.flips ? P / g / 2 : P / g;
    return r;
}

double delayNear(const std::vector<Complex> &cross, const PlayedSignal &played, double near, bool *inverted)
{
    // Within half a repeat of near: an odd design's correlation has its peaks of either
    // sign half a period apart, and near (from the fades) tells which is the onset.
    const long long P = played.period, Q = lineRepeat(played).samples;
    const long long from = static_cast<long long>(std::floor(near - static_cast<double>(Q) / 2.0));
    const double t = circularDelay(cross, P, inverted, from, Q);
    return t + std::round((near - t) / static_cast<double>(P)) * static_cast<double>(P);
}

Result placeSignal(ChannelReader *reader, ChannelReader *referenceReader, const std::string &name,
                   const PlayedSignal &played, const AnalyzeSettings &s, long long claimedFrames, Placement *place,
                   Analysis *out)
{
    const long long P = played.period, Q = lineRepeat(played).samples;
    place->window = repeatsPerWindow(played, Q, claimedFrames) * Q;
    out->groupPeriods = std::max(1LL, (place->window + P - 1) / P);

    EnergyScan scan;
    scanEnergies(reader, place->window, s.reference > 0, &scan);
    out->frames = scan.frames;
    out->peak = scan.peak;
    out->fullScale = scan.peak >= FULL_SCALE_READ;
    if (scan.frames == 0)
        return failure(formatted("\"%s\" holds no sample.", name.c_str()));
    if (scan.nonFinite)
        return failure(formatted("\"%s\" holds samples that are not finite numbers.", name.c_str()));
    if (scan.frames < P)
        return failure(formatted("\"%s\" is shorter (%lld frames) than one period of the signal (%lld samples).",
                                 name.c_str(), scan.frames, P));
    // Both channels' delays modulo the repeat, then their whole repeats from one more pass.
    const std::vector<double> envelope = playedEnvelope(played.size, played.taper, place->window);
    ModRepeat response, reference;
    Result r = placeModRepeat(reader, name, played, s.channel, scan.energy, envelope, place->window, scan.frames,
                              &response);
    if (r.ok() && referenceReader)
        r = placeModRepeat(referenceReader, name, played, s.reference, scan.energyB, envelope, place->window,
                           scan.frames, &reference);
    if (!r.ok()) return r;
    std::vector<double> alignedResponse, alignedReference;
    const auto startOf = [](const ModRepeat &m) { return static_cast<long long>(std::ceil(m.delay)); };
    scanAligned(reader, startOf(response), referenceReader ? startOf(reference) : -1, place->window,
                &alignedResponse, &alignedReference);
    placeRepeats(alignedResponse, envelope, response, played, place->window, &place->response);
    if (referenceReader) placeRepeats(alignedReference, envelope, reference, played, place->window, &place->reference);
    return Status::Ok;
}
