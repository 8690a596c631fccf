// Where the played signal lies in the recording: the onset from the energies of
// windows against the played envelope, the delay from the cross-correlation.
#include <algorithm>
#include <cmath>

#include "analysis.h"
#include "steps.h"

namespace {

// The recording's samples reach 16-bit full scale at this magnitude.
constexpr double FULL_SCALE_READ = 32767.0 / 32768.0;


// Energies of consecutive windows of window frames of channel a from frame start on;
// on the first pass (track) also the frames read, the peak of both channels and any
// sample that is not a number.
struct EnergyScan {
    std::vector<double> energy;
    long long frames = 0;
    double peak = 0.0;
    bool nonFinite = false;
};

void scanEnergies(ChannelReader *reader, long long start, long long window, bool track, bool both,
                  EnergyScan *scan)
{
    const long long CHUNK = 65536;
    std::vector<double> x(CHUNK), y(CHUNK);
    scan->energy.clear();
    if (!reader->seek(start)) return;
    double sum = 0.0, peak = scan->peak;
    long long inWindow = 0, frames = 0;
    bool nonFinite = false;
    for (;;) {
        const long long got = reader->read(CHUNK, x.data(), y.data());
        for (long long i = 0; i < got; i++) {
            const double v = x[i];
            sum += v * v;
            if (track) {
                const double a = std::fabs(v), b = both ? std::fabs(y[i]) : 0.0;
                peak = std::max(peak, std::max(a, b));
                nonFinite |= !std::isfinite(v) || !std::isfinite(b);
            }
            if (++inWindow == window) {
                scan->energy.push_back(sum);
                sum = 0.0;
                inWindow = 0;
            }
        }
        frames += got;
        if (got < CHUNK) break;
    }
    if (track) {
        scan->frames = frames;
        scan->peak = peak;
        scan->nonFinite = nonFinite;
    }
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
// exactly 1 are summed from running sums. Returns false when every product is 0.
bool bestShift(const std::vector<double> &e, const std::vector<double> &w, long long *shift)
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
    double best = 0.0;
    bool found = false;
    for (long long m = -K + 1; m < J; m++) {
        double c = at(prefix, clampJ(m + hi)) - at(prefix, clampJ(m + lo));
        for (long long i : rest) {
            const long long j = m + i;
            if (j >= 0 && j < J) c += at(w, i) * at(e, j);
        }
        const long long from = std::max(0LL, -m), to = std::min(K, J - m);
        const double norm = at(squares, to) - at(squares, from);
        if (!(norm > 0.0)) continue;
        c /= std::sqrt(norm);
        if (c > best) {
            best = c;
            *shift = m;
            found = true;
        }
    }
    return found;
}

// Reads exactly count frames of the response (and reference) from frame start.
bool readPeriod(ChannelReader *reader, long long start, long long count, double *y, double *u)
{
    return reader->seek(start) && reader->read(count, y, u) == count;
}

}  // namespace

double circularDelay(const std::vector<Complex> &cross, long long n)
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
    // The largest value, not the largest magnitude: an odd multisine is antiperiodic in
    // half a period, and would show its delay and the delay plus half a period with
    // opposite signs and the same magnitude.
    long long best = 0;
    for (long long t = 1; t < n; t++)
        if (corr[t] > corr[best]) best = t;
    inverse.close();
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

// As many periods a window of the onset search as keep its correlation within about
// 2^20 windows and 2^27 products.
long long periodsPerWindow(const PlayedSignal &played, long long claimedFrames)
{
    const long long P = played.period;
    long long g = 1;
    for (;; g *= 2) {
        const long long window = g * P;
        const long long windows = std::max(claimedFrames, 1LL) / window + played.size / window + 2;
        const long long products = windows * (2 * played.taper / window + 4);
        if (windows <= (1LL << 20) && products <= (1LL << 27)) return g;
    }
}

// The delay modulo the period, to a fraction of a sample, from the period of the
// response that starts at frame middle.
Result delayModPeriod(ChannelReader *reader, const std::string &name, const PlayedSignal &played,
                      const AnalyzeSettings &s, long long middle, double *delay)
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
        return failure(formatted("channel %d of \"%s\" holds nothing at the played lines.", s.channel, name.c_str()));
    *delay = std::fmod(static_cast<double>(middle) + circularDelay(cross, P), static_cast<double>(P));
    return Status::Ok;
}

}  // namespace

Result placeSignal(ChannelReader *reader, const std::string &name, const PlayedSignal &played,
                   const AnalyzeSettings &s, long long claimedFrames, Placement *place, Analysis *out)
{
    const long long P = played.period;
    out->groupPeriods = periodsPerWindow(played, claimedFrames);
    place->window = out->groupPeriods * P;

    EnergyScan scan;
    scanEnergies(reader, 0, place->window, true, s.reference > 0, &scan);
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
    const std::vector<double> envelope = playedEnvelope(played.size, played.taper, place->window);
    long long shift = 0;
    if (!bestShift(scan.energy, envelope, &shift))
        return failure(formatted("channel %d of \"%s\" is silent.", s.channel, name.c_str()));

    const long long middle = std::clamp(shift * place->window + played.size / 2 - P / 2, 0LL, scan.frames - P);
    double delayModP = 0.0;
    Result r = delayModPeriod(reader, name, played, s, middle, &delayModP);
    if (!r.ok()) return r;

    // Window j starts at frame ceil(delay mod P) + j window: it holds the played window
    // j - shift when the played signal starts at delay mod P + shift window.
    EnergyScan aligned;
    scanEnergies(reader, static_cast<long long>(std::ceil(delayModP)), place->window, false, false, &aligned);
    if (!bestShift(aligned.energy, envelope, &shift)) shift = 0;
    place->delay = delayModP + static_cast<double>(shift * place->window);
    return Status::Ok;
}

