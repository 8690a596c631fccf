// Where the recording holds the signal, against the played signal's length and fades.
// The analysis places the signal by the envelope that -t and -T describe, and places a
// recording of a longer or shorter signal, or of other fades, all the same: its
// results are then those of the wrong periods. Here the recording's energies on blocks
// of about 5 ms, aligned with the periods used and each relative to the median of the
// same part of those periods, give the signal's extent at half its amplitude and its
// fade-in from a tenth to nine tenths of its amplitude (0.8 T of a linear fade of T).
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "played_file.h"

namespace {

// The blocks: `perCycle` blocks of about equal length in each cycle of `cycle` frames
// (whole periods) from frame start, which may lie before the recording: its blocks
// before first are left out (0).
struct Blocks {
    long long start = 0, cycle = 0, perCycle = 1;
    size_t first = 0;
    long long begin(long long i) const { return i * cycle / perCycle; }  // within a cycle
    double length() const { return static_cast<double>(cycle) / static_cast<double>(perCycle); }
};

// The energies of the consecutive blocks of the response.
std::vector<double> blockEnergies(Recording *rec, int channel, Blocks *b)
{
    const long long CHUNK = 65536;
    ChannelReader reader(rec, channel - 1, -1);
    std::vector<long long> ends;  // of the blocks within a cycle
    for (long long i = 1; i <= b->perCycle; i++) ends.push_back(b->begin(i));
    size_t i = 0;
    while (b->start + b->begin(static_cast<long long>(i)) < 0) i++;
    b->first = i;
    long long t = b->begin(static_cast<long long>(i));  // within the cycle
    std::vector<double> energies(i, 0.0), x(CHUNK);
    if (!reader.seek(b->start + t)) return energies;
    if (i == ends.size()) i = 0, t = 0;
    double sum = 0.0;
    for (long long got = CHUNK; got == CHUNK;) {
        got = reader.read(CHUNK, x.data(), nullptr);
        for (long long n = 0; n < got; n++) {
            sum += x[static_cast<size_t>(n)] * x[static_cast<size_t>(n)];
            if (++t < ends[i]) continue;
            energies.push_back(sum);
            sum = 0.0;
            if (++i == ends.size()) i = 0, t = 0;
        }
    }
    return energies;
}

// The blocks' amplitudes, each relative to the median of the blocks at its place in
// the cycle over cycles c0 .. c1 - 1 (the periods used); empty where a median is 0.
void toAmplitudes(std::vector<double> *e, size_t perCycle, size_t c0, size_t c1)
{
    for (size_t i = 0; i < perCycle; i++) {
        std::vector<double> used;
        for (size_t c = c0; c < c1; c++) used.push_back((*e)[c * perCycle + i]);
        std::nth_element(used.begin(), used.begin() + static_cast<long>(used.size() / 2), used.end());
        const double median = used[used.size() / 2];
        if (!(median > 0.0)) return e->clear();
        for (size_t k = i; k < e->size(); k += perCycle) (*e)[k] = std::sqrt((*e)[k] / median);
    }
}

// Where the amplitude crosses level between blocks j - 1 and j, in blocks from the
// first block's start, interpolated between the blocks' middles.
double crossing(const std::vector<double> &amp, size_t j, double level)
{
    const double a0 = amp[j - 1], a1 = amp[j];
    return static_cast<double>(j) - 0.5 + (a1 != a0 ? (level - a0) / (a1 - a0) : 0.5);
}

// From block j, the first block of the run leftward whose amplitudes are at least level,
// not before block first.
size_t runStart(const std::vector<double> &amp, size_t first, size_t j, double level)
{
    while (j > first && amp[j - 1] >= level) j--;
    return j;
}

struct Extent {
    double halfLength = 0.0;  // blocks between the crossings of half the amplitude
    bool cut = false;         // the recording starts or ends within the signal
    double fadeIn = NAN;      // blocks from a tenth to nine tenths, over 0.8; NAN: unknown
};

// The run of blocks at half the amplitude or more around block middle, and the fade-in
// at its start.
Extent extentOf(const std::vector<double> &amp, size_t first, size_t middle)
{
    Extent x;
    const size_t lo = runStart(amp, first, middle, 0.5);
    size_t hi = middle, top = lo;
    while (hi < amp.size() && amp[hi] >= 0.5) hi++;
    while (top < hi && amp[top] < 0.9) top++;
    x.cut = lo == first || hi == amp.size();
    x.halfLength = x.cut ? static_cast<double>(hi - lo) : crossing(amp, hi, 0.5) - crossing(amp, lo, 0.5);
    const size_t bottom = runStart(amp, first, lo, 0.1);
    if (top > first && bottom > first) x.fadeIn = (crossing(amp, top, 0.9) - crossing(amp, bottom, 0.1)) / 0.8;
    return x;
}

}  // namespace

void checkEnvelope(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *a)
{
    // Blocks of about 5 ms: parts of a period, each compared with the same part of the
    // periods used, or whole periods where a period is shorter.
    const long long P = played.period, wanted = std::max(1, played.rateHz / 200);
    const long long g = std::max(1LL, (wanted + P - 1) / P);
    Blocks b;
    b.cycle = g * P;
    b.perCycle = std::max(1LL, P / wanted);
    b.start = a->firstFrame % b.cycle;
    if (b.start > 0) b.start -= b.cycle;  // the part of a cycle before the first whole one
    const size_t c0 = static_cast<size_t>((a->firstFrame - b.start) / b.cycle);
    const size_t c1 = c0 + static_cast<size_t>(a->periodsUsed / g);
    const size_t perCycle = static_cast<size_t>(b.perCycle);
    std::vector<double> amp = blockEnergies(rec, s.channel, &b);
    if (c1 <= c0 || c1 * perCycle > amp.size()) return;
    toAmplitudes(&amp, perCycle, c0, c1);
    const size_t middle = (c0 + c1) / 2 * perCycle;
    if (amp.empty() || amp[middle] < 0.5) return;
    const Extent x = extentOf(amp, b.first, middle);

    const double msOf = 1000.0 / played.rateHz;
    const std::string name = escaped(rec->name.c_str()), file = escaped(played.file.c_str());
    // The fade-in as recorded, where it shows; a system's response smears it by its own
    // length, some 10 ms more here.
    const double fade = x.fadeIn * b.length(), taper = static_cast<double>(played.taper);
    const bool fadeDiffers = std::fabs(fade - taper) > 1.5 * b.length() + taper / 4.0 + played.rateHz / 100.0;
    if (fadeDiffers)
        a->warnings.push_back(
            played.file.empty()
                ? formatted("the fade-in in \"%s\" lasts about %.0f ms, and -T says %.0f ms: give -T as sonvel was "
                            "given it.", name.c_str(), fade * msOf, taper * msOf)
                : formatted("the fade-in in \"%s\" lasts about %.0f ms, and \"%s\" fades in over %.0f ms: it may be "
                            "of another signal.", name.c_str(), fade * msOf, file.c_str(), taper * msOf));
    // The signal's length at half its amplitude is its length less one fade.
    const double recordedFade = fadeDiffers ? fade : taper;
    const double half = static_cast<double>(played.size) - recordedFade, length = x.halfLength * b.length();
    const double tolerance = 2.0 * b.length() + static_cast<double>(played.size) / 50.0;
    if (length > half + tolerance || (!x.cut && length < half - tolerance)) {
        const double ms = (length + recordedFade) * msOf, playedMs = played.size * msOf;
        a->warnings.push_back(
            played.file.empty()
                ? formatted("the signal in \"%s\" lasts %s%.0f ms, and -t says %.0f ms: give -t as sonvel was "
                            "given it.", name.c_str(), x.cut ? "at least " : "about ", ms, playedMs)
                : formatted("the signal in \"%s\" lasts %s%.0f ms, and \"%s\" %.0f ms: it may be of another signal.",
                            name.c_str(), x.cut ? "at least " : "about ", ms, file.c_str(), playedMs));
    }
}
