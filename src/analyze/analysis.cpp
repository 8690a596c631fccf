#include "analysis.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>

#include "engine.h"
#include "fft.h"
#include "params.h"
#include "result.h"
#include "sizes.h"

namespace {

constexpr double PI = 3.14159265358979323846;

// A line is a whole number of cycles of a period of q samples when its cycles per
// period lie within 1e-9 of a whole number, and the rounding of the list's own
// frequencies (a few units of the last place of q x) more.
double cycleTolerance(double x, long long q) { return 1e-9 + 8.0 * DBL_EPSILON * x * static_cast<double>(q); }

// The recording's samples reach 16-bit full scale at this magnitude.
constexpr double FULL_SCALE_READ = 32767.0 / 32768.0;

// A transform of n points with the plans asked for; a transform that cannot be made
// counts as memory that is not to be had.
void openTransform(RealTransform *t, long long n, RealTransform::Plans plans)
{
    if (!t->open(n, plans)) throw std::bad_alloc();
}

// The smallest q up to limit for which x q lies within the tolerance of a whole
// number, or 0. Such a q is a denominator of a convergent of x's continued fraction:
// every smaller q comes no closer than the convergent before it.
long long smallestCycles(double x, long long limit)
{
    long long h1 = 1, h2 = 0, k1 = 0, k2 = 1;
    double r = x;
    for (int step = 0; step < 64; step++) {
        const double a = std::floor(r);
        if (a > 1e18) return 0;
        const long long ai = static_cast<long long>(a);
        const long long h = ai * h1 + h2, k = ai * k1 + k2;
        if (k > limit || k <= 0) return 0;
        if (std::fabs(x * static_cast<double>(k) - static_cast<double>(h)) <= cycleTolerance(x, k)) return k;
        const double frac = r - a;
        if (!(frac > 0.0)) return 0;
        r = 1.0 / frac;
        h2 = h1, h1 = h;
        k2 = k1, k1 = k;
    }
    return 0;
}

bool wholeCycles(double x, long long period)
{
    const double c = x * static_cast<double>(period);
    return std::fabs(c - std::round(c)) <= cycleTolerance(x, period);
}

// The bin of a line of x cycles a sample in a period: its cycles a period, folded into
// 0 .. period / 2 as a real signal's spectrum folds.
long long binOf(double x, long long period)
{
    const double c = std::round(x * static_cast<double>(period));
    long long k = static_cast<long long>(std::fmod(c, static_cast<double>(period)));
    if (k < 0) k += period;
    return k > period / 2 ? period - k : k;
}

double db10(double ratio) { return 10.0 * std::log10(ratio); }

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

// The shift m (recorded window m + i holds played window i) at which the recorded
// energies look most like the played envelope: the largest correlation over the norm
// of the envelope's part that lies within the recording, so that a recording of the
// fade-in alone is not taken for a part between the fades. Windows of w that are
// exactly 1 are summed from running sums. Returns false when every product is 0.
bool bestShift(const std::vector<double> &e, const std::vector<double> &w, long long *shift)
{
    const long long J = static_cast<long long>(e.size()), K = static_cast<long long>(w.size());
    auto at = [](const std::vector<double> &v, long long i) { return v[static_cast<size_t>(i)]; };
    std::vector<double> prefix(static_cast<size_t>(J + 1), 0.0), squares(static_cast<size_t>(K + 1), 0.0);
    for (long long j = 0; j < J; j++) prefix[static_cast<size_t>(j + 1)] = at(prefix, j) + at(e, j);
    for (long long i = 0; i < K; i++) squares[static_cast<size_t>(i + 1)] = at(squares, i) + at(w, i) * at(w, i);
    // The longest run of whole windows between the fades, and the rest.
    long long lo = 0, hi = 0;
    for (long long i = 0; i < K;) {
        long long j = i;
        while (j < K && at(w, j) == 1.0) j++;
        if (j - i > hi - lo) lo = i, hi = j;
        i = j + 1;
    }
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

// The bins' greatest common divisor: the grid of the design's lines.
long long gridOf(const std::vector<long long> &bins)
{
    long long g = 0;
    for (long long k : bins) g = std::gcd(g, k);
    return g > 0 ? g : 1;
}

// Reads exactly count frames of the response (and reference) from frame start.
bool readPeriod(ChannelReader *reader, long long start, long long count, double *y, double *u)
{
    return reader->seek(start) && reader->read(count, y, u) == count;
}

}  // namespace

Result readList(FILE *fp, PlayedList *list)
{
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, fp)) > 0) {
        text.append(buffer, n);
        if (static_cast<long>(text.size()) > MAX_LIST_BYTES)
            return failure(formatted("the parameter list is longer than %ld MiB.", MAX_LIST_BYTES >> 20));
    }
    Result r(std::ferror(fp) ? Status::ReadError : Status::NoParameters);
    // The designer's comment line, wherever it is.
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, std::min<size_t>(end - at, 200));
        long long period = 0, rate = 0;
        if (line.rfind("# lines: ", 0) == 0 &&
            std::sscanf(line.c_str(), "# lines: %*d from %*g to %*g Hz, period %lld samples at %lld Hz",
                        &period, &rate) == 2) {
            list->designerPeriod = period;
            list->designerRate = rate;
        }
        at = end + 1;
    }
    int count = 0;
    list->freq.resize(MAXSINES);
    list->amp.resize(MAXSINES);
    list->phase.resize(MAXSINES);
    if (r.status == Status::NoParameters && !text.empty()) {
        FILE *mem = fmemopen(text.data(), text.size(), "r");
        if (!mem) throw std::bad_alloc();
        r = readParams(list->freq.data(), list->amp.data(), list->phase.data(), mem, &count);
        std::fclose(mem);
    }
    list->freq.resize(static_cast<size_t>(count));
    list->amp.resize(static_cast<size_t>(count));
    list->phase.resize(static_cast<size_t>(count));
    return r;
}

Result findPeriod(const PlayedList &list, int rateHz, long long *period)
{
    auto fits = [&](long long period) {
        for (double f : list.freq)
            if (!wholeCycles(std::fabs(f) / rateHz, period)) return false;
        return true;
    };
    if (list.designerRate == rateHz && list.designerPeriod >= 2 &&
        list.designerPeriod <= MAX_PERIOD_SAMPLES && fits(list.designerPeriod)) {
        *period = list.designerPeriod;
        return Status::Ok;
    }
    long long found = 1;
    for (double f : list.freq) {
        const long long q = std::isfinite(f) ? smallestCycles(std::fabs(f) / rateHz, MAX_PERIOD_SAMPLES) : 0;
        const long long next = q > 0 ? found / std::gcd(found, q) * q : 0;
        if (q == 0 || next > MAX_PERIOD_SAMPLES)
            return failure(formatted("no period of at most %lld samples at %d Hz holds a whole number of "
                                     "cycles of every line (%g Hz is the first that does not fit).",
                                     MAX_PERIOD_SAMPLES, rateHz, f));
        found = next;
    }
    // A period of 1 sample holds only 0 Hz or whole multiples of the rate: 2 at least.
    found = std::max(found, 2LL);
    if (!fits(found))
        return failure(formatted("no period of at most %lld samples at %d Hz holds a whole number of "
                                 "cycles of every line.", MAX_PERIOD_SAMPLES, rateHz));
    *period = found;
    return Status::Ok;
}

Result playedSignal(const PlayedList &list, int rateHz, long long size, long long taper, LevelTarget target,
                    long long period, PlayedSignal *played)
{
    const int count = static_cast<int>(list.freq.size());
    SignalRequest request = signalRequest(static_cast<int>(size), static_cast<int>(taper), target.level,
                                          list.freq.data(), list.amp.data(), list.phase.data(), count, rateHz);
    request.format = target.format;
    request.quantizer = target.quantizer;
    Result r = playedPeriod(request, period, &played->samples);
    if (r.status == Status::Overflow)
        return failure(formatted("sonvel refuses this list at %g dB: its peak would be %.6g, above "
                                 "the full scale of %s samples.", target.level, r.peak, nameOf(target.format)));
    if (!r.levelCause().empty()) return failure("sonvel refuses this list: " + r.levelCause());
    if (!r.ok()) return r;
    played->rateHz = rateHz;
    played->size = size;
    played->taper = taper;
    played->period = period;
    RealTransform fft;
    openTransform(&fft, period, RealTransform::FORWARD);
    std::copy(played->samples.begin(), played->samples.end(), fft.signal());
    fft.toSpectrum();
    played->spectrum.resize(static_cast<size_t>(period / 2 + 1));
    double largest = 0.0;
    for (long long k = 0; k <= period / 2; k++) {
        played->spectrum[static_cast<size_t>(k)] = fft.bin(k);
        largest = std::max(largest, std::abs(fft.bin(k)));
    }
    // Every line of non-zero amplitude strictly between 0 Hz and half the rate whose
    // bin the played signal holds.
    played->excited.clear();
    for (int j = 0; j < count; j++) {
        const long long k = binOf(list.freq[j] / rateHz, period);
        if (list.amp[j] == 0.0 || k == 0 || 2 * k == period) continue;
        if (std::abs(played->spectrum[static_cast<size_t>(k)]) <= 1e-9 * largest) continue;
        played->excited.push_back(k);
    }
    std::sort(played->excited.begin(), played->excited.end());
    played->excited.erase(std::unique(played->excited.begin(), played->excited.end()), played->excited.end());
    if (played->excited.empty()) return failure("the list has no line between 0 Hz and half the rate to analyse.");
    return Status::Ok;
}

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

// Whether the recording can hold the response at all: its rate, its channels, a sample.
Result checkRecording(const Recording &rec, const PlayedSignal &played, const AnalyzeSettings &s)
{
    const SF_INFO &info = rec.info;
    if (info.samplerate != played.rateHz)
        return failure(formatted("\"%s\" is recorded at %d Hz, and -s says %d Hz.", rec.name.c_str(),
                                 info.samplerate, played.rateHz));
    for (int c : {s.channel, s.reference}) {
        if (c > info.channels)
            return failure(formatted("%s %d: \"%s\" has %d channel%s.", c == s.channel ? "--channel" : "--reference",
                                     c, rec.name.c_str(), info.channels, info.channels == 1 ? "" : "s"));
    }
    if (s.reference == s.channel)
        return failure("--reference: the reference must be another channel than the response.");
    if (info.frames <= 0)
        return failure(formatted("\"%s\" holds no sample.", rec.name.c_str()));
    return Status::Ok;
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
                   const AnalyzeSettings &s, long long claimedFrames, Placement *place, Analysis *out)
{
    const long long P = played.period;
    // As many periods a window as keep the correlation within about 2^20 windows and
    // 2^27 products.
    long long g = 1;
    for (;; g *= 2) {
        const long long window = g * P;
        const long long windows = std::max(claimedFrames, 1LL) / window + played.size / window + 2;
        const long long products = windows * (2 * played.taper / window + 4);
        if (windows <= (1LL << 20) && products <= (1LL << 27)) break;
    }
    place->window = g * P;
    out->groupPeriods = g;

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
    const double delayModP = std::fmod(static_cast<double>(middle) + circularDelay(cross, P), static_cast<double>(P));

    // Window j starts at frame ceil(delay mod P) + j window: it holds the played window
    // j - shift when the played signal starts at delay mod P + shift window.
    EnergyScan aligned;
    scanEnergies(reader, static_cast<long long>(std::ceil(delayModP)), place->window, false, false, &aligned);
    if (!bestShift(aligned.energy, envelope, &shift)) shift = 0;
    place->delay = delayModP + static_cast<double>(shift * place->window);
    return Status::Ok;
}

// The periods' spectra, bins 0 .. top: running mean and scatter of the response's and
// the reference's, and their co-moment; the sum of the response's squares.
struct PeriodSums {
    Accumulator Y, U;
    std::vector<double> coRe, coIm;
    double power = 0.0;
};

Result accumulatePeriods(ChannelReader *reader, const std::string &name, long long first, long long M,
                         long long P, size_t bins, bool withReference, PeriodSums *sums)
{
    sums->Y.resize(bins);
    if (withReference) {
        sums->U.resize(bins);
        sums->coRe.assign(bins, 0.0);
        sums->coIm.assign(bins, 0.0);
    }
    Accumulator &Y = sums->Y, &U = sums->U;
    RealTransform fft;
    openTransform(&fft, P, RealTransform::FORWARD);
    std::vector<double> y(static_cast<size_t>(P)), u(static_cast<size_t>(P));
    std::vector<Complex> spectrumU(withReference ? bins : 0);
    if (!reader->seek(first))
        return failure(formatted("\"%s\" cannot be read at frame %lld.", name.c_str(), first));
    for (long long m = 0; m < M; m++) {
        if (reader->read(P, y.data(), u.data()) != P)
            return failure(formatted("\"%s\" ends early, in period %lld.", name.c_str(), m + 1));
        for (double v : y) sums->power += v * v;
        if (withReference) {
            std::copy(u.begin(), u.end(), fft.signal());
            fft.toSpectrum();
            for (size_t k = 0; k < bins; k++) spectrumU[k] = fft.bin(static_cast<long long>(k));
        }
        std::copy(y.begin(), y.end(), fft.signal());
        fft.toSpectrum();
        // Welford's steps in real arithmetic (a product of std::complex values checks for
        // infinities, at several times the cost).
        const double inverse = 1.0 / static_cast<double>(m + 1);
        const fftw_complex *spectrum = fft.spectrum();
        for (size_t k = 0; k < bins; k++) {
            const double vr = spectrum[k][0], vi = spectrum[k][1];
            const double dr = vr - Y.re[k], di = vi - Y.im[k];
            Y.re[k] += dr * inverse;
            Y.im[k] += di * inverse;
            Y.m2[k] += dr * (vr - Y.re[k]) + di * (vi - Y.im[k]);
            if (withReference) {
                const double wr = spectrumU[k].real(), wi = spectrumU[k].imag();
                const double er = wr - U.re[k], ei = wi - U.im[k];
                U.re[k] += er * inverse;
                U.im[k] += ei * inverse;
                U.m2[k] += er * (wr - U.re[k]) + ei * (wi - U.im[k]);
                // (v - mean before) conj(w - mean after)
                const double fr = wr - U.re[k], fi = wi - U.im[k];
                sums->coRe[k] += dr * fr + di * fi;
                sums->coIm[k] += di * fr - dr * fi;
            }
        }
    }
    return Status::Ok;
}

// e^(i 2 pi k samples / period): a delay of -samples at bin k.
Complex rotation(long long k, double samples, long long period)
{
    return std::polar(1.0, 2.0 * PI * static_cast<double>(k) * samples / static_cast<double>(period));
}

// The delay of a mean spectrum whose periods start at frame first, from the
// cross-correlation with the played period, taken within half a period of near; within
// 1e-9 of a whole number of samples (the refinement's rounding) it is that number.
double refineDelay(const Accumulator &sums, const PlayedSignal &played, long long first, double near)
{
    const long long P = played.period;
    std::vector<Complex> cross(static_cast<size_t>(P / 2 + 1));
    for (long long k : played.excited)
        cross[static_cast<size_t>(k)] = sums.mean(static_cast<size_t>(k)) *
                                        rotation(k, -static_cast<double>(first), P) *
                                        std::conj(played.spectrum[static_cast<size_t>(k)]);
    const double d = near + std::remainder(circularDelay(cross, P) - near, static_cast<double>(P));
    return std::fabs(d - std::round(d)) < 1e-9 ? std::round(d) + 0.0 : d;
}

// The excited lines and the others on their grid up to bin top, and the summary.
void describeLines(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                   long long top, bool withReference, Analysis *out)
{
    const long long P = played.period;
    const Accumulator &Y = sums.Y, &U = sums.U;
    const double scatter = 1.0 / static_cast<double>(M - 1);
    double outputPower = 0.0, inputPower = 0.0, noisePower = 0.0;
    out->excited.clear();
    for (long long k : played.excited) {
        const size_t i = static_cast<size_t>(k);
        const Complex y1 = Y.mean(i);
        const double varY = Y.m2[i] * scatter;
        Complex response, input;
        double noise = 0.0;
        if (withReference) {
            // The ratio's variance: var Y + |G|^2 var U - 2 Re(conj(G) cov(Y, U)), over |U|^2.
            input = U.mean(i);
            const Complex g1 = y1 / input;
            response = g1 * rotation(k, out->delay - out->referenceDelay, P);
            noise = (varY + std::norm(g1) * U.m2[i] * scatter -
                     2.0 * std::real(std::conj(g1) * Complex(sums.coRe[i], sums.coIm[i]) * scatter)) /
                    std::norm(input);
            noise = std::max(noise, 0.0);
        } else {
            input = played.spectrum[i] * rotation(k, static_cast<double>(first), P);
            response = y1 / input * rotation(k, out->delay, P);
            noise = varY / std::norm(input);
        }
        outputPower += std::norm(y1);
        inputPower += std::norm(input);
        noisePower += varY;
        LineResult line;
        line.bin = k;
        line.freqHz = static_cast<double>(k) * played.rateHz / static_cast<double>(P);
        line.kind = LINE_EXCITED;
        line.levelDb = db10(std::norm(response));
        line.phaseDeg = std::arg(response) * 180.0 / PI;
        line.noiseDb = db10(noise);
        line.snrDb = line.levelDb - line.noiseDb;
        out->excited.push_back(line);
    }
    out->meanGainDb = db10(outputPower / inputPower);
    out->snrDb = db10(outputPower / noisePower);

    const long long grid = gridOf(played.excited);
    out->oddLines = true;
    for (long long k : played.excited) out->oddLines &= (k / grid) % 2 == 1;
    const long long low = played.excited.front(), high = played.excited.back();
    const double reference = outputPower / static_cast<double>(played.excited.size());
    double odd = 0.0, even = 0.0;
    bool anyOdd = false, anyEven = false;
    out->other.clear();
    size_t next = 0;
    for (long long k = grid; k <= top; k += grid) {
        while (next < played.excited.size() && played.excited[next] < k) next++;
        if (next < played.excited.size() && played.excited[next] == k) continue;
        const size_t i = static_cast<size_t>(k);
        LineResult line;
        line.bin = k;
        line.freqHz = static_cast<double>(k) * played.rateHz / static_cast<double>(P);
        line.kind = k < low || k > high ? LINE_OUT_OF_BAND : (k / grid) % 2 ? LINE_ODD : LINE_EVEN;
        line.levelDb = db10(std::norm(Y.mean(i)) / reference);
        line.noiseDb = db10(Y.m2[i] * scatter / reference);
        line.snrDb = line.levelDb - line.noiseDb;
        if (line.kind == LINE_ODD) odd += std::norm(Y.mean(i)), anyOdd = true;
        if (line.kind == LINE_EVEN) even += std::norm(Y.mean(i)), anyEven = true;
        out->other.push_back(line);
    }
    out->oddDb = anyOdd ? db10(odd / outputPower) : NAN;
    out->evenDb = anyEven ? db10(even / outputPower) : NAN;
}

}  // namespace

Result analyze(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out)
{
    Result r = checkRecording(*rec, played, s);
    if (!r.ok()) return r;
    const long long P = played.period;
    const bool withReference = s.reference > 0;
    ChannelReader reader(rec, s.channel - 1, withReference ? s.reference - 1 : -1);
    out->channels = rec->info.channels;
    out->period = P;
    Placement place;
    r = placeSignal(&reader, rec->name, played, s, rec->info.frames, &place, out);
    if (!r.ok()) return r;

    // The whole periods between the fades, after the settling time; where a window of the
    // onset search held several periods, a window less at each end for its uncertainty.
    const long long settle = s.settle >= 0 ? s.settle : P;
    const long long margin = place.window - P;
    const double from = static_cast<double>(played.taper + settle + margin) + place.delay;
    const double to = static_cast<double>(played.size - played.taper - margin) + place.delay;
    const long long first = std::max(0LL, static_cast<long long>(std::ceil(from)));
    const long long last = std::min(out->frames, static_cast<long long>(std::floor(to)));
    long long M = last > first ? (last - first) / P : 0;
    if (s.maxPeriods > 0) M = std::min(M, s.maxPeriods);
    if (M < 2)
        return failure(formatted("\"%s\" holds %lld whole period%s of the signal after the fade-in and "
                                 "settling and before the fade-out; 2 at least are needed.",
                                 rec->name.c_str(), M, M == 1 ? "" : "s"));
    out->periodsUsed = M;
    out->firstFrame = first;

    // Every bin up to the highest one reported.
    const long long maxFreqBin = static_cast<long long>(
        std::floor((s.maxFreqHz > 0.0 ? s.maxFreqHz : played.rateHz / 2.0) * P / played.rateHz + 1e-9));
    const long long top = std::min((P - 1) / 2, std::max(maxFreqBin, played.excited.back()));
    PeriodSums sums;
    r = accumulatePeriods(&reader, rec->name, first, M, P, static_cast<size_t>(top + 1), withReference, &sums);
    if (!r.ok()) return r;
    out->levelDb = db10(sums.power / static_cast<double>(M * P));
    out->delay = refineDelay(sums.Y, played, first, place.delay);
    out->referenceDelay = withReference ? refineDelay(sums.U, played, first, out->delay) : 0.0;
    describeLines(sums, played, first, M, top, withReference, out);
    return Status::Ok;
}
