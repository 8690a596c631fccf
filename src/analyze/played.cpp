// The played list, its period and the played signal made from them by the engine.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>

#include "analysis.h"
#include "engine.h"
#include "params.h"
#include "played_file.h"
#include "result.h"
#include "steps.h"

namespace {

// A line is a whole number of cycles of a period of q samples when its cycles per
// period lie within 1e-9 of a whole number, and the rounding of the list's own
// frequencies (a few units of the last place of q x) more.
double cycleTolerance(double x, long long q) { return 1e-9 + 8.0 * DBL_EPSILON * x * static_cast<double>(q); }

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

}  // namespace

bool readText(FILE *fp, long limit, std::string *text)
{
    text->clear();
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, fp)) > 0) {
        text->append(buffer, n);
        if (static_cast<long>(text->size()) > limit) return false;
    }
    return true;
}

Result readList(FILE *fp, PlayedList *list)
{
    std::string text;
    if (!readText(fp, MAX_LIST_BYTES, &text))
        return failure(formatted("the parameter list is longer than %ld MiB.", MAX_LIST_BYTES >> 20));
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
    return describePlayed(list, played);
}

Result describePlayed(const PlayedList &list, PlayedSignal *played)
{
    const long long period = played->period;
    const int count = static_cast<int>(list.freq.size());
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
        const long long k = binOf(list.freq[j] / played->rateHz, period);
        if (list.amp[j] == 0.0 || k == 0 || 2 * k == period) continue;
        if (std::abs(played->spectrum[static_cast<size_t>(k)]) <= 1e-9 * largest) continue;
        played->excited.push_back(k);
    }
    std::sort(played->excited.begin(), played->excited.end());
    played->excited.erase(std::unique(played->excited.begin(), played->excited.end()), played->excited.end());
    if (played->excited.empty()) return failure("the list has no line between 0 Hz and half the rate to analyse.");
    return Status::Ok;
}

