// The lines and the summary from the sums, and the analysis as a whole: the checks of
// the recording, the placement, the periods used and their sums.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis.h"
#include "calibration.h"
#include "drift.h"
#include "plausibility.h"
#include "realisations.h"
#include "statistics.h"
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

// The excited lines: gain, phase, noise and SNR of each, with the mean gain and the
// total SNR. Returns the sum of the lines' output powers.
double describeExcited(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                       bool withReference, Analysis *out)
{
    const long long P = played.period;
    const Accumulator &Y = sums.Y, &U = sums.U;
    const double scatter = 1.0 / static_cast<double>(M - 1);
    const double t = tQuantile(TEST_LEVEL, 2.0 * static_cast<double>(M - 1));
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
        // The ratio's noise in the reference mode, so that the total SNR is that of the lines.
        noisePower += withReference ? noise * std::norm(input) : varY;
        LineResult line;
        line.bin = k;
        line.freqHz = static_cast<double>(k) * played.rateHz / static_cast<double>(P);
        line.kind = LINE_EXCITED;
        line.gainOrLevelDb = db10(std::norm(response));
        line.phaseDeg = std::arg(response) * 180.0 / PI;
        line.noiseDb = db10(noise);
        line.snrDb = line.gainOrLevelDb - line.noiseDb;
        describeUncertainty(response, noise, M, t, &line);
        out->excited.push_back(line);
    }
    groupDelays(&out->excited);
    out->meanGainDb = db10(outputPower / inputPower);
    out->snrDb = db10(outputPower / noisePower);
    return outputPower;
}

// The response at bin k from the excited lines (the delay removed): the straight line
// between the neighbours in the complex plane, the nearest one beyond the band.
Complex responseAt(const std::vector<LineResult> &excited, long long k)
{
    auto above = std::lower_bound(excited.begin(), excited.end(), k,
                                  [](const LineResult &l, long long bin) { return l.bin < bin; });
    auto of = [](const LineResult &l) { return std::polar(std::pow(10.0, l.gainOrLevelDb / 20.0), l.phaseDeg * PI / 180.0); };
    if (above == excited.begin()) return of(*above);
    if (above == excited.end()) return of(excited.back());
    const LineResult &below = *(above - 1);
    const double share = static_cast<double>(k - below.bin) / static_cast<double>(above->bin - below.bin);
    return of(below) + share * (of(*above) - of(below));
}

// What is left at bin k, a line not excited, of the mean of M periods once the played
// signal's own content there has gone through the response: its power, and the
// variance of one period's remainder.
struct Remainder {
    Complex content;  // the played content at the response
    double power = 0.0, variance = 0.0;
};

Remainder remainderAt(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M, long long k,
                      bool withReference, const Analysis &a)
{
    const long long P = played.period;
    const size_t i = static_cast<size_t>(k);
    const double scatter = 1.0 / static_cast<double>(M - 1);
    Remainder r;
    r.variance = sums.Y.m2[i] * scatter;
    if (!withReference) {
        // The played spectrum, delayed to the periods' start.
        r.content = responseAt(a.excited, k) * played.spectrum[i] * rotation(k, static_cast<double>(first) - a.delay, P);
    } else {
        // The reference's mean through g, the gain from reference to response, whose own
        // noise comes with it: var Y + |g|^2 var U - 2 Re(conj(g) cov(Y, U)).
        const Complex g = responseAt(a.excited, k) * rotation(k, a.referenceDelay - a.delay, P);
        r.content = g * sums.U.mean(i);
        const Complex covariance(sums.coRe[i], sums.coIm[i]);
        r.variance += (std::norm(g) * sums.U.m2[i] - 2.0 * std::real(std::conj(g) * covariance)) * scatter;
        r.variance = std::max(r.variance, 0.0);
    }
    r.power = std::norm(sums.Y.mean(i) - r.content);
    return r;
}

// The odd and even distortion re the output power from their groups of lines: the
// powers less the floors (an unbiased sum, where each line floored at 0 would add noise
// back), the floors, and whether they stand above them; powers below resolution per
// line are the arithmetic's rounding.
void summarise(const LineGroup &odd, const LineGroup &even, double outputPower, double resolution, long long M,
               Analysis *out)
{
    out->oddDb = odd.lines ? db10(std::max(odd.power - odd.floor, 0.0) / outputPower) : NAN;
    out->evenDb = even.lines ? db10(std::max(even.power - even.floor, 0.0) / outputPower) : NAN;
    out->oddFloorDb = odd.lines ? db10(odd.floor / outputPower) : NAN;
    out->evenFloorDb = even.lines ? db10(even.floor / outputPower) : NAN;
    out->oddSignificant = odd.power > resolution * odd.lines && groupSignificant(odd, M);
    out->evenSignificant = even.power > resolution * even.lines && groupSignificant(even, M);
}

// The lines not excited on the excited lines' grid up to bin top, re the mean excited
// line: the level with the played signal's own content (through the response) and the
// noise of the mean removed, that content, the noise of one period and the noise floor
// of the mean, and whether the level stands above the floor; then the summary.
void describeOthers(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                    long long top, double outputPower, bool withReference, Analysis *out)
{
    const long long P = played.period;
    const double scatter = 1.0 / static_cast<double>(M - 1);
    const double threshold = fQuantile2(TEST_LEVEL, 2.0 * static_cast<double>(M - 1));
    const long long grid = gridOf(played.excited);
    out->oddLines = true;
    for (long long k : played.excited) out->oddLines &= (k / grid) % 2 == 1;
    const long long low = played.excited.front(), high = played.excited.back();
    const double reference = outputPower / static_cast<double>(played.excited.size());
    // Powers below -200 dB re the mean line are the arithmetic's rounding, never distortion.
    const double resolution = 1e-20 * reference;
    LineGroup odd, even;
    out->other.clear();
    size_t next = 0;
    for (long long k = grid; k <= top; k += grid) {
        while (next < played.excited.size() && played.excited[next] < k) next++;
        if (next < played.excited.size() && played.excited[next] == k) continue;
        const Remainder r = remainderAt(sums, played, first, M, k, withReference, *out);
        const double floor = r.variance / static_cast<double>(M);
        LineResult line;
        line.bin = k;
        line.freqHz = static_cast<double>(k) * played.rateHz / static_cast<double>(P);
        line.kind = k < low || k > high ? LINE_OUT_OF_BAND : (k / grid) % 2 ? LINE_ODD : LINE_EVEN;
        line.gainOrLevelDb = db10(std::max(r.power - floor, 0.0) / reference);
        line.noiseDb = db10(sums.Y.m2[static_cast<size_t>(k)] * scatter / reference);
        line.snrDb = line.gainOrLevelDb - line.noiseDb;
        line.floorDb = db10(floor / reference);
        line.playedDb = db10(std::norm(r.content) / reference);
        // M |remainder|^2 / variance is F(2, 2(M - 1)) for a line of noise alone.
        line.significant = r.power > resolution && (r.variance > 0.0 ? r.power > threshold * floor : true);
        if (line.kind != LINE_OUT_OF_BAND) {
            LineGroup &g = line.kind == LINE_ODD ? odd : even;
            g.lines++;
            g.power += r.power;
            g.floor += floor;
            g.floorSquares += floor * floor;
        }
        out->other.push_back(line);
    }
    summarise(odd, even, outputPower, resolution, M, out);
}

// The delays as found, each with its polarity; the response inverted where one of the
// response and the reference is.
void placeDelays(const PeriodSums &sums, const PlayedSignal &played, const Placement &place, long long first,
                 bool withReference, Analysis *out)
{
    bool responseInverted = false, referenceInverted = false;
    out->delay = refineDelay(sums.Y, played, first, place.response.delay, &responseInverted);
    out->referenceDelay =
        withReference ? refineDelay(sums.U, played, first, place.reference.delay, &referenceInverted) : 0.0;
    out->inverted = responseInverted != referenceInverted;
}

// How the onset was found, from the delays in the recording's own frames. A recording
// that starts within a sample of the signal misses none of it (the fade-in starts from
// 0); one that starts later has the onset before its first frame. Where the onset is not
// in the recording, the delays are given modulo the period (which changes no line's
// rotation).
void placeOnset(const PlayedSignal &played, const Placement &place, bool withReference, Analysis *out)
{
    out->onset = place.response.onset;
    if (withReference && place.reference.onset > out->onset) out->onset = place.reference.onset;
    if (out->onset == ONSET_FOUND && std::min(out->delay, withReference ? out->referenceDelay : 0.0) < -1.0)
        out->onset = ONSET_BEFORE_RECORDING;
    if (out->onset != ONSET_FOUND) {
        const double period = static_cast<double>(played.period);
        out->delay -= std::floor(out->delay / period) * period;
        if (withReference) out->referenceDelay -= std::floor(out->referenceDelay / period) * period;
    }
}

}  // namespace

void describeLines(const PeriodSums &sums, const PlayedSignal &played, long long first, long long M,
                   long long top, bool withReference, Analysis *out)
{
    const double outputPower = describeExcited(sums, played, first, M, withReference, out);
    describeOthers(sums, played, first, M, top, outputPower, withReference, out);
    estimateDetectionDistortion(sums, played, M, withReference, out);
}

namespace {

// Every bin up to the highest one reported; a frequency above half the rate means half
// the rate (converted as it stands, a large one would overflow the bin).
long long topBin(const PlayedSignal &played, const AnalyzeSettings &s)
{
    const long long P = played.period;
    const double maxFreqHz = s.maxFreqHz > 0.0 ? std::min(s.maxFreqHz, played.rateHz / 2.0) : played.rateHz / 2.0;
    const long long maxFreqBin = static_cast<long long>(std::floor(maxFreqHz * P / played.rateHz + 1e-9));
    return std::min((P - 1) / 2, std::max(maxFreqBin, played.excited.back()));
}

// The clock, measured on the window's periods (on the loopback where there is one);
// where it is corrected, the same periods are to be read from the recording resampled
// onto the player's clock: the placement and the window move into its frames. The
// resampler reads forward, so the window's search for transients (which removes a common
// delay from each period) is not made again on it.
Result settleClock(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Placement *place,
                   Analysis *out, DriftCorrection *drift)
{
    const double fitted = s.reference > 0 ? place->reference.delay : place->response.delay;
    Result r = settleDrift(rec, played, s, out->firstFrame, out->periodsUsed, fitted, out, drift);
    if (!r.ok() || !drift->reader) return r;
    const double ratio = drift->clock.ratio;
    place->response.delay = drift->delay + (place->response.delay - fitted) / ratio;
    place->reference.delay = drift->delay + (place->reference.delay - fitted) / ratio;
    const double first = std::ceil(static_cast<double>(out->firstFrame - drift->origin) / ratio);
    out->firstFrame = std::max(0LL, static_cast<long long>(first));
    out->periodsUsed = std::min(out->periodsUsed, (drift->frames - out->firstFrame) / played.period);
    if (out->periodsUsed < 2)
        return failure(formatted("\"%s\" holds fewer than 2 whole periods of the signal on the player's clock.",
                                 rec->name.c_str()));
    return Status::Ok;
}

}  // namespace

Result analyze(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out)
{
    Result r = checkRecording(*rec, played, s);
    if (!r.ok()) return r;
    const long long P = played.period;
    const bool withReference = s.reference > 0;
    ChannelReader reader(rec, s.channel - 1, withReference ? s.reference - 1 : -1);
    ChannelReader referenceReader(rec, withReference ? s.reference - 1 : 0, -1);
    out->channels = rec->info.channels;
    out->period = P;
    Placement place;
    r = placeSignal(&reader, withReference ? &referenceReader : nullptr, rec->name, played, s, rec->info.frames,
                    &place, out);
    const long long top = topBin(played, s);
    if (r.ok()) r = placeWindow(&reader, rec->name, played, s, place, top, out);
    DriftCorrection drift;
    if (r.ok()) r = settleClock(rec, played, s, &place, out, &drift);
    if (!r.ok()) return r;
    ChannelReader *periods = drift.reader ? drift.reader.get() : &reader;
    const long long first = out->firstFrame;
    PeriodSums sums;
    r = accumulatePeriods(periods, rec->name, first, out->periodsUsed, P, static_cast<size_t>(top + 1),
                          withReference, &sums);
    if (r.ok()) r = leaveOutOutliers(periods, rec->name, first, out->periodsUsed, P, withReference, &sums, out);
    if (!r.ok()) return r;
    const long long M = sums.count;
    out->periodsUsed = M;
    out->levelDb = db10(sums.power / static_cast<double>(M * P));
    placeDelays(sums, played, place, first, withReference, out);
    describeLines(sums, played, first, M, top, withReference, out);
    if (drift.reader) toRecordingFrames(drift, withReference, out);
    placeOnset(played, place, withReference, out);
    // The phases of the response itself, -H where the system inverts.
    if (out->inverted)
        for (LineResult &line : out->excited) line.phaseDeg += line.phaseDeg > 0.0 ? -180.0 : 180.0;
    // The checks see the recording as it is, before a calibration changes its gains.
    r = checkPlausibility(rec, played, s, out);
    if (r.ok() && s.calibration) applyCalibration(*s.calibration, out);
    return r;
}
