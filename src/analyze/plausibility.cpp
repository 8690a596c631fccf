// The plausibility of a recording, from the lines already described: whether any line
// stands above the noise, whether the recording holds this list's signal, whether the
// response channel is a loopback while another channel holds the system's response,
// and whether enough periods were averaged. The thresholds are set so that a real
// measurement, even a noisy one (10 dB SNR per line), draws none of these warnings.
#include "plausibility.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "steps.h"

namespace {

// A line counts as above the noise where noise alone would reach its SNR with a chance
// below this.
constexpr double LINE_ALARM = 1e-3;
// No line is above the noise where none passes at this chance split over the lines
// (so that a recording of noise alone shows one in a thousand runs), and M times the
// total SNR stays below NOTHING_POOLED (noise alone gives about 1, a signal at 0 dB
// SNR gives M).
constexpr double RECORDING_ALARM = 1e-3;
constexpr double NOTHING_POOLED = 4.0;
// Another list: at least this share of the excited lines empty, while the lines not
// excited within the band hold at least this much of the excited lines' power. Another
// seed of the same design leaves about a quarter of the lines empty and puts -4.4 dB
// on the detection lines; a signal clipped to a quarter of its peak puts -16 dB there.
constexpr double MISMATCH_SHARE = 0.1;
constexpr double MISMATCH_OTHER_DB = -10.0;
// A line this far below the median line holds next to nothing; a notch or a band
// edge takes a few lines this low, not a tenth of them with the detection lines full.
constexpr double EMPTY_BELOW_DB = 40.0;
// A loopback: the gains (10th to 90th percentile) within this spread, the median SNR
// of a line above this; a converter's own loopback is flat to 0.1 dB below 20 kHz and
// 90 dB or more above its noise. A system's response: half its lines above the noise
// at least, and their gains spread more than this.
constexpr double LOOPBACK_SPREAD_DB = 0.5;
constexpr double LOOPBACK_SNR_DB = 60.0;
constexpr double SYSTEM_SHARE = 0.5;
constexpr double SYSTEM_SPREAD_DB = 3.0;
// The channels looked at for a system's response, besides the one analysed.
constexpr int MAX_CHANNELS = 16;
constexpr long long FEW_PERIODS = 5;

// The gains and SNRs (dB, one period's noise) of one channel's excited lines.
struct ChannelLook {
    std::vector<double> gainDb, snrDb;
};

// The q-quantile, linear between the sorted values; v is not empty.
double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(at));
    const size_t hi = std::min(lo + 1, v.size() - 1);
    const double part = at - static_cast<double>(lo);
    return part == 0.0 || v[hi] == v[lo] ? v[lo] : v[lo] + part * (v[hi] - v[lo]);  // inf stays inf
}

double spreadDb(const std::vector<double> &gainDb) { return quantile(gainDb, 0.9) - quantile(gainDb, 0.1); }

size_t countAbove(const std::vector<double> &snrDb, long long M, double alarm)
{
    return static_cast<size_t>(std::count_if(snrDb.begin(), snrDb.end(),
                                             [&](double snr) { return noiseChance(snr, M) < alarm; }));
}

ChannelLook lookAt(const std::vector<LineResult> &lines)
{
    ChannelLook look;
    for (const LineResult &l : lines) {
        look.gainDb.push_back(l.gainOrLevelDb);
        look.snrDb.push_back(l.snrDb);
    }
    return look;
}

// One channel of rec on its own against the played signal, over the periods analysed.
Result lookAlone(Recording *rec, int channel, const PlayedSignal &played, const Analysis &a, ChannelLook *look)
{
    ChannelReader reader(rec, channel - 1, -1);
    PeriodSums sums;
    const size_t bins = static_cast<size_t>(played.excited.back() + 1);
    const Result r = accumulatePeriods(&reader, rec->name, a.firstFrame, a.periodsUsed, a.period, bins, false, &sums);
    if (!r.ok()) return r;
    const double scatter = 1.0 / static_cast<double>(a.periodsUsed - 1);
    for (long long k : played.excited) {
        const size_t i = static_cast<size_t>(k);
        const double power = std::norm(sums.Y.mean(i));
        look->gainDb.push_back(db10(power / std::norm(played.spectrum[i])));
        look->snrDb.push_back(db10(power / (sums.Y.m2[i] * scatter)));
    }
    return Status::Ok;
}

bool looksLikeLoopback(const ChannelLook &c)
{
    return spreadDb(c.gainDb) <= LOOPBACK_SPREAD_DB && quantile(c.snrDb, 0.5) >= LOOPBACK_SNR_DB;
}

bool looksLikeSystem(const ChannelLook &c, long long M)
{
    std::vector<double> above;
    for (size_t i = 0; i < c.gainDb.size(); i++)
        if (noiseChance(c.snrDb[i], M) < LINE_ALARM) above.push_back(c.gainDb[i]);
    return !above.empty() && static_cast<double>(above.size()) >= SYSTEM_SHARE * static_cast<double>(c.gainDb.size()) &&
           spreadDb(above) > SYSTEM_SPREAD_DB;
}

std::string loopbackText(int channel, const ChannelLook &c)
{
    return formatted("channel %d looks like a loopback of the signal (gains within %.2f dB, median SNR %.0f dB)",
                     channel, spreadDb(c.gainDb), quantile(c.snrDb, 0.5));
}

// Without a reference: the response channel a loopback, another one a system's output.
Result checkLoopbackTaken(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s,
                          const ChannelLook &response, Analysis *out)
{
    if (out->channels < 2 || !looksLikeLoopback(response)) return Status::Ok;
    for (int c = 1, looked = 0; c <= out->channels && looked < MAX_CHANNELS; c++) {
        if (c == s.channel) continue;
        looked++;
        ChannelLook other;
        const Result r = lookAlone(rec, c, played, *out, &other);
        if (!r.ok()) return r;
        if (looksLikeSystem(other, out->periodsUsed)) {
            out->warnings.push_back(loopbackText(s.channel, response) +
                                    formatted(" while channel %d holds a system's response: does --channel name "
                                              "the response?",
                                              c));
            break;
        }
    }
    return Status::Ok;
}

// With a reference that comes after the response: the two swapped, the response
// channel a loopback and the reference a system's output.
Result checkReferenceSwapped(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out)
{
    if (!(out->delay < out->referenceDelay - 1.0)) return Status::Ok;
    ChannelLook response, reference;
    Result r = lookAlone(rec, s.channel, played, *out, &response);
    if (r.ok()) r = lookAlone(rec, s.reference, played, *out, &reference);
    if (!r.ok()) return r;
    if (looksLikeLoopback(response) && looksLikeSystem(reference, out->periodsUsed))
        out->warnings.push_back(loopbackText(s.channel, response) +
                                formatted(" and comes %.1f samples before channel %d, the reference, which holds a "
                                          "system's response: are --channel and --reference swapped?",
                                          out->referenceDelay - out->delay, s.reference));
    return Status::Ok;
}

// No line above the noise, or lines above it that do not fit the list.
void checkSignal(const ChannelLook &response, Analysis *out)
{
    const long long M = out->periodsUsed;
    const size_t n = response.snrDb.size();
    const double best = *std::max_element(response.snrDb.begin(), response.snrDb.end());
    if (countAbove(response.snrDb, M, RECORDING_ALARM / static_cast<double>(n)) == 0 &&
        !(static_cast<double>(M) * std::pow(10.0, out->snrDb / 10.0) >= NOTHING_POOLED)) {
        out->warnings.push_back(formatted("no excited line stands above the noise (total SNR %.1f dB, the best line "
                                          "%.1f dB, over %lld periods): the recording may hold no signal, or another "
                                          "one.",
                                          out->snrDb, best, M));
        return;
    }
    // Lines that hold next to nothing: below the noise, or, in a recording without
    // noise, far below the median line.
    const double median = quantile(response.gainDb, 0.5);
    size_t quiet = 0;
    for (size_t i = 0; i < n; i++)
        quiet += noiseChance(response.snrDb[i], M) >= LINE_ALARM || response.gainDb[i] < median - EMPTY_BELOW_DB;
    // The power of the lines not excited within the band that stand above their noise
    // (so that the noise of the mean of a few periods does not count), re the excited
    // lines' power: their levels are re the mean excited line.
    double other = 0.0;
    for (const LineResult &l : out->other)
        if (l.kind != LINE_OUT_OF_BAND && noiseChance(l.gainOrLevelDb - l.noiseDb, M) < LINE_ALARM)
            other += std::pow(10.0, l.gainOrLevelDb / 10.0);
    const double otherDb = db10(other / static_cast<double>(n));
    if (static_cast<double>(quiet) >= MISMATCH_SHARE * static_cast<double>(n) && otherDb >= MISMATCH_OTHER_DB)
        out->warnings.push_back(formatted("the recording does not match the list: %zu of %zu excited lines hold next "
                                          "to nothing (below the noise or 40 dB under the median line) while the "
                                          "lines not excited hold %.1f dB of their power; was another list or seed "
                                          "played?",
                                          quiet, n, otherDb));
}

}  // namespace

double noiseChance(double snrDb, long long M)
{
    // For complex Gaussian noise, M |mean|^2 / s^2 (s^2 the scatter of one period)
    // follows F(2, 2(M - 1)), whose tail is (1 + x / (M - 1))^-(M - 1).
    if (std::isnan(snrDb)) return 1.0;
    const double x = static_cast<double>(M) * std::pow(10.0, snrDb / 10.0);
    const double d = static_cast<double>(M - 1);
    return std::pow(1.0 + x / d, -d);
}

Result checkPlausibility(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out)
{
    const ChannelLook response = lookAt(out->excited);
    if (response.snrDb.empty()) return Status::Ok;
    checkSignal(response, out);
    const Result r = s.reference > 0 ? checkReferenceSwapped(rec, played, s, out)
                                     : checkLoopbackTaken(rec, played, s, response, out);
    if (!r.ok()) return r;
    if (out->periodsUsed < FEW_PERIODS)
        out->warnings.push_back(formatted("only %lld periods were averaged: the noise, the SNR, the distortion and "
                                          "the uncertainty of fewer than %lld periods are rough.",
                                          out->periodsUsed, FEW_PERIODS));
    return Status::Ok;
}
