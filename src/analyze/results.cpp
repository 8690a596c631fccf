// The lines and the summary from the sums, and the analysis as a whole: the checks of
// the recording, the placement, the periods used and their sums.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis.h"
#include "drift.h"
#include "steps.h"

namespace {

// The bins' greatest common divisor: the grid of the design's lines.
long long gridOf(const std::vector<long long> &bins)
{
    long long g = 0;
    for (long long k : bins) g = std::gcd(g, k);
    return g > 0 ? g : 1;
}

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

}  // namespace

namespace {

// The whole periods between the fades, after the settling time, of a recording of frames
// frames that holds played sample 0 at delay: the first frame and their count. Where a
// window of the onset search held several periods, a window less at each end for its
// uncertainty.
Result periodWindow(const std::string &name, const PlayedSignal &played, const AnalyzeSettings &s,
                    const Placement &place, double delay, long long frames, long long *firstFrame, long long *count)
{
    const long long P = played.period;
    const long long settle = s.settle >= 0 ? s.settle : P;
    const long long margin = place.window - P;
    const double from = static_cast<double>(played.taper + settle + margin) + delay;
    const double to = static_cast<double>(played.size - played.taper - margin) + delay;
    const long long first = std::max(0LL, static_cast<long long>(std::ceil(from)));
    const long long last = std::min(frames, static_cast<long long>(std::floor(to)));
    long long M = last > first ? (last - first) / P : 0;
    if (s.maxPeriods > 0) M = std::min(M, s.maxPeriods);
    if (M < 2)
        return failure(formatted("\"%s\" holds %lld whole period%s of the signal after the fade-in and "
                                 "settling and before the fade-out; 2 at least are needed.",
                                 name.c_str(), M, M == 1 ? "" : "s"));
    *firstFrame = first;
    *count = M;
    return Status::Ok;
}

// The excited lines: gain, phase, noise and SNR of each, with the mean gain and the
// total SNR. Returns the sum of the lines' output powers.
double describeExcited(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                       bool withReference, Analysis *out)
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
        line.gainOrLevelDb = db10(std::norm(response));
        line.phaseDeg = std::arg(response) * 180.0 / PI;
        line.noiseDb = db10(noise);
        line.snrDb = line.gainOrLevelDb - line.noiseDb;
        out->excited.push_back(line);
    }
    out->meanGainDb = db10(outputPower / inputPower);
    out->snrDb = db10(outputPower / noisePower);
    return outputPower;
}

// The lines not excited on the excited lines' grid up to bin top: level and noise re
// the mean excited line, and the odd and even distortion re the output power.
void describeOthers(const PeriodSums &sums, const PlayedSignal &played, long long M, long long top,
                    double outputPower, Analysis *out)
{
    const long long P = played.period;
    const Accumulator &Y = sums.Y;
    const double scatter = 1.0 / static_cast<double>(M - 1);
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
        line.gainOrLevelDb = db10(std::norm(Y.mean(i)) / reference);
        line.noiseDb = db10(Y.m2[i] * scatter / reference);
        line.snrDb = line.gainOrLevelDb - line.noiseDb;
        if (line.kind == LINE_ODD) odd += std::norm(Y.mean(i)), anyOdd = true;
        if (line.kind == LINE_EVEN) even += std::norm(Y.mean(i)), anyEven = true;
        out->other.push_back(line);
    }
    out->oddDb = anyOdd ? db10(odd / outputPower) : NAN;
    out->evenDb = anyEven ? db10(even / outputPower) : NAN;
}

}  // namespace

void describeLines(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                   long long top, bool withReference, Analysis *out)
{
    const double outputPower = describeExcited(sums, played, first, M, withReference, out);
    describeOthers(sums, played, M, top, outputPower, out);
}

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

    long long first = 0, M = 0;
    r = periodWindow(rec->name, played, s, place, place.delay, out->frames, &first, &M);
    if (!r.ok()) return r;
    // The clock, measured on those periods; where it is corrected, the periods are those
    // of the recording resampled onto the player's clock.
    DriftCorrection drift;
    r = settleDrift(rec, played, s, first, M, place.delay, out, &drift);
    if (!r.ok()) return r;
    if (drift.reader) {
        r = periodWindow(rec->name, played, s, place, drift.delay, drift.frames, &first, &M);
        if (!r.ok()) return r;
    }
    ChannelReader *periods = drift.reader ? drift.reader.get() : &reader;
    out->periodsUsed = M;
    out->firstFrame = first;

    // Every bin up to the highest one reported; a frequency above half the rate means
    // half the rate (converted as it stands, a large one would overflow the bin).
    const double maxFreqHz = s.maxFreqHz > 0.0 ? std::min(s.maxFreqHz, played.rateHz / 2.0) : played.rateHz / 2.0;
    const long long maxFreqBin = static_cast<long long>(std::floor(maxFreqHz * P / played.rateHz + 1e-9));
    const long long top = std::min((P - 1) / 2, std::max(maxFreqBin, played.excited.back()));
    PeriodSums sums;
    r = accumulatePeriods(periods, rec->name, first, M, P, static_cast<size_t>(top + 1), withReference, &sums);
    if (!r.ok()) return r;
    out->levelDb = db10(sums.power / static_cast<double>(M * P));
    out->delay = refineDelay(sums.Y, played, first, drift.reader ? drift.delay : place.delay);
    out->referenceDelay = withReference ? refineDelay(sums.U, played, first, out->delay) : 0.0;
    describeLines(sums, played, first, M, top, withReference, out);
    if (drift.reader) toRecordingFrames(drift, withReference, out);
    return Status::Ok;
}
