// The played signal from the file sonvel wrote: its rate and length from the header,
// its fades fitted to its samples, and its period as the mean of its whole periods
// between the fades (exact without dither, and the best estimate of the played period
// with it), so that the analysis needs neither sonvel's options nor its synthesis.
#include <algorithm>
#include <cmath>
#include <vector>

#include "played_file.h"
#include "recording.h"
#include "sizes.h"
#include "steps.h"

namespace {

// The least-squares sums of one fade. Its m-th sample (m from 0 at the fade-in's
// first sample, from 1 at the fade-out's last) holds s = (m / T) r + c q (1 - m / T)
// for a fade of T samples, where r is the steady sample and q its sign: c takes up
// the half step that truncation toward zero takes off each of s and r (0 after
// rounding or dither, and for floats). Past the fade s = r.
struct RampSums {
    double ss = 0, msr = 0, mmrr = 0, dd = 0;  // s^2, m s r, m^2 r^2, (s - r)^2
    double sq = 0, msq = 0, mr = 0, mmr = 0;   // s q, m s q, m |r|, m^2 |r|
    double count = 0, m1 = 0, m2 = 0;          // over r != 0: 1, m, m^2

    void add(double m, double s, double r)
    {
        ss += s * s;
        msr += m * s * r;
        mmrr += m * m * r * r;
        dd += (s - r) * (s - r);
        if (r == 0.0) return;
        const double q = r > 0.0 ? 1.0 : -1.0;
        sq += s * q;
        msq += m * s * q;
        mr += m * std::fabs(r);
        mmr += m * m * std::fabs(r);
        count += 1.0;
        m1 += m;
        m2 += m * m;
    }
    // The squared residual of a fade of T samples over the samples added, less that of
    // no fade there.
    double residual(double T) const
    {
        if (T == 0.0) return 0.0;
        double r = ss - 2.0 * msr / T + mmrr / (T * T);
        const double num = sq - msq / T - mr / T + mmr / (T * T);
        const double den = count - 2.0 * m1 / T + m2 / (T * T);
        if (den > 0.0) r -= num * num / den;
        return r - dd;
    }
};

// The fade lengths sonvel can make at rateHz (the samples of a whole number of ms) up
// to half the signal, rising; each once.
std::vector<long long> fadeCandidates(int rateHz, long long size)
{
    std::vector<long long> out;
    for (int ms = 0;; ms++) {
        const long long T = samplesOf(rateHz, ms);
        if (2 * T > size) break;
        if (out.empty() || out.back() != T) out.push_back(T);
    }
    return out;
}

// Frames from .. to - 1 of the file's one channel.
Result readFrames(ChannelReader *reader, const Recording &file, long long from, long long to, std::vector<double> *x)
{
    x->resize(static_cast<size_t>(to - from));
    if (to > from && !(reader->seek(from) && reader->read(to - from, x->data(), nullptr) == to - from))
        return failure(formatted("--played: \"%s\" cannot be read at frame %lld.", escaped(file.name.c_str()).c_str(),
                                 from));
    return Status::Ok;
}

// The fade length of the file, from the candidates, that fits its samples best against
// the steady period ref (sample n of the signal between the fades is ref[n mod P]):
// the fade-in read forward from frame 0, the fade-out backward from the end.
Result fitFades(ChannelReader *reader, const Recording &file, const std::vector<double> &ref, long long *taper)
{
    const long long size = file.info.frames, P = static_cast<long long>(ref.size());
    const std::vector<long long> T = fadeCandidates(file.info.samplerate, size);
    const long long last = T.back();
    const long long BLOCK = 65536;
    std::vector<double> fit(T.size(), 0.0), x;
    RampSums in, out;
    size_t next = 0;
    for (long long from = 0; from <= last; from += BLOCK) {
        Result r = readFrames(reader, file, from, std::min(from + BLOCK, last + 1), &x);
        if (!r.ok()) return r;
        for (long long n = from; n < from + static_cast<long long>(x.size()); n++) {
            for (; next < T.size() && T[next] == n; next++) fit[next] = in.residual(static_cast<double>(n));
            in.add(static_cast<double>(n), x[static_cast<size_t>(n - from)], ref[static_cast<size_t>(n % P)]);
        }
    }
    next = 0;
    for (long long to = size; to > size - last; to -= BLOCK) {
        const long long from = std::max(to - BLOCK, size - last);
        Result r = readFrames(reader, file, from, to, &x);
        if (!r.ok()) return r;
        for (long long n = to - 1; n >= from; n--) {
            const long long m = size - n;
            for (; next < T.size() && T[next] < m; next++) fit[next] += out.residual(static_cast<double>(T[next]));
            out.add(static_cast<double>(m), x[static_cast<size_t>(n - from)], ref[static_cast<size_t>(n % P)]);
        }
    }
    for (; next < T.size(); next++) fit[next] += out.residual(static_cast<double>(T[next]));
    *taper = T[static_cast<size_t>(std::min_element(fit.begin(), fit.end()) - fit.begin())];
    return Status::Ok;
}

// The mean of count periods of P frames from frame first.
Result meanPeriod(ChannelReader *reader, const Recording &file, long long first, long long count, long long P,
                  std::vector<double> *mean)
{
    mean->assign(static_cast<size_t>(P), 0.0);
    std::vector<double> x;
    for (long long j = 0; j < count; j++) {
        Result r = readFrames(reader, file, first + j * P, first + (j + 1) * P, &x);
        if (!r.ok()) return r;
        for (long long k = 0; k < P; k++) (*mean)[static_cast<size_t>(k)] += x[static_cast<size_t>(k)];
    }
    for (double &v : *mean) v /= static_cast<double>(count);
    return Status::Ok;
}

// The fades and the period of the file: a period's mean from the middle of the file
// gives the fades, and the mean of the whole periods between them the period; where the
// fades reach into that middle, once more from the period found.
Result fadesAndPeriod(ChannelReader *reader, const Recording &file, long long P, PlayedSignal *played)
{
    const long long size = file.info.frames;
    const std::string name = escaped(file.name.c_str());
    if (size < P) return failure(formatted("--played: \"%s\" is shorter than one period of the list (%lld samples).",
                                           name.c_str(), P));
    // Up to 16 periods within the file's middle half, or the one nearest its middle.
    const long long K = std::clamp(size / 2 / P, 1LL, 16LL);
    const long long middle = std::clamp((size / 2 - K * P / 2) / P * P, 0LL, size / P * P - K * P);
    Result r = meanPeriod(reader, file, middle, K, P, &played->samples);
    for (int pass = 0; r.ok() && pass < 2; pass++) {
        r = fitFades(reader, file, played->samples, &played->taper);
        const long long first = (played->taper + P - 1) / P, end = (size - played->taper) / P;
        if (r.ok() && end <= first)
            return failure(formatted("--played: \"%s\" holds no whole period (%lld samples) between its fades.",
                                     name.c_str(), P));
        if (r.ok()) r = meanPeriod(reader, file, first * P, end - first, P, &played->samples);
        if (middle >= played->taper && middle + K * P <= size - played->taper) break;
    }
    return r;
}

// The format of the file's samples; false for one sonvel does not write.
bool formatOf(const SF_INFO &info, SampleFormat *format)
{
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_16: *format = SampleFormat::S16; return true;
    case SF_FORMAT_PCM_24: *format = SampleFormat::S24; return true;
    case SF_FORMAT_PCM_32: *format = SampleFormat::S32; return true;
    case SF_FORMAT_FLOAT: *format = SampleFormat::F32; return true;
    default: return false;
    }
}

// The level of the played signal between its fades in dB re a full-scale constant, as
// sonvel measures it, from its period.
double windowLevelDb(const PlayedSignal &played, bool known, SampleFormat format)
{
    const long long P = played.period;
    std::vector<double> prefix(static_cast<size_t>(P + 1), 0.0);
    for (long long k = 0; k < P; k++) {
        const double v = played.samples[static_cast<size_t>(k)];
        prefix[static_cast<size_t>(k + 1)] = prefix[static_cast<size_t>(k)] + v * v;
    }
    auto upTo = [&](long long n) {
        return static_cast<double>(n / P) * prefix.back() + prefix[static_cast<size_t>(n % P)];
    };
    const long long lo = played.taper, hi = played.size - played.taper;
    // Samples read as integers over 2^(bits - 1), and sonvel's full scale 2^(bits - 1) - 1.
    const double scale = known && !isFloat(format) ? (fullScaleOf(format) + 1.0) / fullScaleOf(format) : 1.0;
    return db10((upTo(hi) - upTo(lo)) / static_cast<double>(hi - lo) * scale * scale);
}

// The warnings for the options given beside the file that disagree with it.
void compareOptions(const SignalOptions &given, double levelDb, const Recording &file, PlayedSignal *played)
{
    const std::string name = escaped(file.name.c_str());
    const int rate = played->rateHz;
    std::vector<std::string> &w = played->warnings;
    if (given.samplingText && given.samplingHz != rate)
        w.push_back(formatted("-s %d disagrees with \"%s\", written at %d Hz: the file's rate is used.",
                              given.samplingHz, name.c_str(), rate));
    if (given.durationText && samplesOf(rate, given.durationMs) != played->size)
        w.push_back(formatted("-t %d makes %lld samples at %d Hz, and \"%s\" holds %lld: the file's length is used.",
                              given.durationMs, samplesOf(rate, given.durationMs), rate, name.c_str(),
                              played->size));
    if (given.taperText && samplesOf(rate, given.taperMs) != played->taper)
        w.push_back(formatted("-T %d makes fades of %lld samples at %d Hz, and \"%s\" fades over %lld: the file's "
                              "fades are used.", given.taperMs, samplesOf(rate, given.taperMs), rate, name.c_str(),
                              played->taper));
    SampleFormat format = SampleFormat::S16;
    const bool known = formatOf(file.info, &format);
    if (known && given.sampleFormat != SampleFormat::S16 && given.sampleFormat != format)
        w.push_back(formatted("--sample-format %s disagrees with \"%s\", which holds %s samples: the file's samples "
                              "are used.", nameOf(given.sampleFormat), name.c_str(), nameOf(format)));
    // sonvel sets the level before the quantizer, which moves it by far less than this.
    const double fileDb = windowLevelDb(*played, known, format);
    if ((given.levelOption || given.levelText) && !(std::fabs(fileDb - levelDb) <= 0.05)) {
        const std::string option = given.levelOption ? std::string("--level ") + given.levelOption
                                                     : std::string("-l ") + given.levelText;
        w.push_back(formatted("%s aims at %.2f dB re a full-scale constant, and \"%s\" holds %.2f dB: the file's "
                              "samples are used.", escaped(option.c_str()).c_str(), levelDb, name.c_str(), fileDb));
    }
}

// The share of the period's power at the bins of the list (its lines, 0 Hz and half
// the rate).
double shareAtLines(const PlayedSignal &played)
{
    const long long P = played.period;
    double total = 0.0;
    for (double v : played.samples) total += v * v;
    if (!(total > 0.0)) return 0.0;
    double lines = std::norm(played.spectrum[0]);
    if (P % 2 == 0) lines += std::norm(played.spectrum[static_cast<size_t>(P / 2)]);
    for (long long k : played.excited) lines += 2.0 * std::norm(played.spectrum[static_cast<size_t>(k)]);
    return lines / (static_cast<double>(P) * total);
}

}  // namespace

Result playedFromFile(const char *path, const PlayedList &list, const SignalOptions &given, double levelDb,
                      PlayedSignal *played)
{
    Recording file;
    const std::string name = escaped(path);
    if (!openRecording(path, &file).ok())
        return failure(formatted("--played: \"%s\" is not a sound file that can be read (%s); sonvel's raw output "
                                 "has no header to give its rate: give sonvel's options instead.",
                                 name.c_str(), sf_strerror(nullptr)));
    if (file.info.channels != 1)
        return failure(formatted("--played: \"%s\" has %d channels, and sonvel writes one.", name.c_str(),
                                 file.info.channels));
    played->file = path;
    played->rateHz = file.info.samplerate;
    played->rateFrom = "\"" + name + "\" was written at";
    played->size = file.info.frames;
    Result r = findPeriod(list, played->rateHz, &played->period);
    if (!r.ok()) return r;
    ChannelReader reader(&file, 0, -1);
    r = fadesAndPeriod(&reader, file, played->period, played);
    if (!r.ok()) return r;
    // sonvel's file holds the list's lines and the quantizer's noise, far below them.
    r = describePlayed(list, played);
    const double share = shareAtLines(*played);
    if (!(share >= 0.9))
        return failure(formatted("--played: \"%s\" does not hold the lines of the list (%.0f %% of its power is at "
                                 "them).", name.c_str(), 100.0 * share));
    if (!r.ok()) return r;
    compareOptions(given, levelDb, file, played);
    return Status::Ok;
}
