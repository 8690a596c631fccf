#include "alsa_duplex.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cli.h"
#include "format.h"

namespace {

// A period of about 5 ms, and a playback buffer of four: the I/O thread may be late by
// three periods before the device runs dry.
constexpr int PERIOD_MS = 5;
constexpr unsigned BUFFER_PERIODS = 4;
// How long the I/O thread waits for the device at a time, looking for a stop between.
constexpr int WAIT_MS = 200;
constexpr unsigned MAX_CHANNEL = 256;

// libasound's own messages would stand beside the program's one line; the failures
// come back through its return values instead.
void quiet(const char *, int, const char *, int, const char *, ...) {}
// The same for libjack's, which ALSA's JACK plugin loads into the program (five lines
// for a server that does not run).
void quietJack(const char *) {}

// The sample formats taken, best first: float as the recording is kept, else the
// widest integers, which the device's plug layer or hardware gives.
const snd_pcm_format_t FORMATS[] = {SND_PCM_FORMAT_FLOAT, SND_PCM_FORMAT_S32, SND_PCM_FORMAT_S16};

// The channels named by --play or --record, from 0; false for a name that is not one.
bool readChannels(const std::vector<std::string> &names, std::vector<unsigned> *at, unsigned *count)
{
    for (const std::string &name : names) {
        int channel = 0;
        if (!readInt(name.c_str(), 1, MAX_CHANNEL, &channel)) return false;
        at->push_back(static_cast<unsigned>(channel - 1));
        *count = std::max(*count, static_cast<unsigned>(channel));
    }
    return true;
}

void toFloats(const unsigned char *raw, snd_pcm_format_t format, size_t count, float *out)
{
    if (format == SND_PCM_FORMAT_FLOAT) {
        std::memcpy(out, raw, count * sizeof(float));
    } else if (format == SND_PCM_FORMAT_S32) {
        const int32_t *v = reinterpret_cast<const int32_t *>(raw);
        for (size_t i = 0; i < count; i++) out[i] = static_cast<float>(std::ldexp(static_cast<double>(v[i]), -31));
    } else {
        const int16_t *v = reinterpret_cast<const int16_t *>(raw);
        for (size_t i = 0; i < count; i++) out[i] = static_cast<float>(v[i]) / 32768.0f;
    }
}

// Floats to the device's integers, rounded, full scale clipped to the largest value.
void fromFloats(const float *in, snd_pcm_format_t format, size_t count, unsigned char *raw)
{
    if (format == SND_PCM_FORMAT_FLOAT) {
        std::memcpy(raw, in, count * sizeof(float));
    } else if (format == SND_PCM_FORMAT_S32) {
        int32_t *v = reinterpret_cast<int32_t *>(raw);
        for (size_t i = 0; i < count; i++) {
            const double x = std::ldexp(static_cast<double>(in[i]), 31);
            v[i] = static_cast<int32_t>(std::lrint(std::min(std::max(x, -2147483648.0), 2147483647.0)));
        }
    } else {
        int16_t *v = reinterpret_cast<int16_t *>(raw);
        for (size_t i = 0; i < count; i++)
            v[i] = static_cast<int16_t>(std::lrint(std::min(std::max(in[i] * 32768.0f, -32768.0f), 32767.0f)));
    }
}

}  // namespace

AlsaDuplex::~AlsaDuplex()
{
    stop();
    if (linked_) snd_pcm_unlink(capture_);
    if (playback_) snd_pcm_close(playback_);
    if (capture_) snd_pcm_close(capture_);
}

Result AlsaDuplex::open(const DuplexSettings &s)
{
    snd_lib_error_set_handler(quiet);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    if (!readChannels(s.playPorts, &playAt_, &playChannels_))
        return failure("--play: the ALSA back end plays to channels of the device: 1, 2, ...");
    if (!readChannels(s.recordPorts, &recordAt_, &recordChannels_))
        return failure("--record: the ALSA back end records channels of the device: 1, 2, ...");
    Result r = openStream(s, SND_PCM_STREAM_PLAYBACK, &playback_);
    if (r.ok()) r = configure(s, playback_, playChannels_, &playFormat_);
    if (r.ok()) r = openStream(s, SND_PCM_STREAM_CAPTURE, &capture_);
    if (r.ok()) r = configure(s, capture_, recordChannels_, &recordFormat_);
    if (!r.ok()) return r;
    // Linked, both start on one call; a device that cannot be linked (some plugins)
    // has its two streams started one right after the other.
    linked_ = snd_pcm_link(playback_, capture_) == 0;

    snd_pcm_uframes_t buffer = 0;
    snd_pcm_get_params(playback_, &buffer, &period_);
    latency_.playback = static_cast<unsigned>(buffer);
    latency_.period = static_cast<unsigned>(period_);
    rawIn_.resize(period_ * snd_pcm_frames_to_bytes(capture_, 1));
    rawOut_.resize(period_ * snd_pcm_frames_to_bytes(playback_, 1));
    in_.resize(period_ * recordChannels_);
    mono_.resize(period_);
    out_.resize(period_ * playChannels_);
    for (unsigned c : recordAt_) inputs_.push_back(in_.data() + c);
    return prepare(s, static_cast<int>(recordAt_.size()));
}

Result AlsaDuplex::openStream(const DuplexSettings &s, snd_pcm_stream_t stream, snd_pcm_t **pcm)
{
    const int err = snd_pcm_open(pcm, s.device.c_str(), stream, 0);
    if (err >= 0) return Result();
    *pcm = nullptr;
    return failure(formatted("--device: the ALSA device \"%s\" does not open for %s (%s).",
                             escaped(s.device.c_str()).c_str(),
                             stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture", snd_strerror(err)));
}

// Interleaved frames of the channels asked for (or more, the rest silent or unread),
// at the signal's rate exactly, in the first of FORMATS the device takes. Both streams
// start only when started.
Result AlsaDuplex::configure(const DuplexSettings &s, snd_pcm_t *pcm, unsigned channels, snd_pcm_format_t *format)
{
    const bool play = snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK;
    const std::string device = escaped(s.device.c_str());
    snd_pcm_hw_params_t *hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm, hw);
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
        return failure(formatted("the ALSA device \"%s\" takes no interleaved frames.", device.c_str()));
    const snd_pcm_format_t *taken =
        std::find_if(std::begin(FORMATS), std::end(FORMATS),
                     [&](snd_pcm_format_t f) { return snd_pcm_hw_params_set_format(pcm, hw, f) == 0; });
    if (taken == std::end(FORMATS))
        return failure(formatted("the ALSA device \"%s\" takes neither float nor 32 or 16-bit samples.", device.c_str()));
    *format = *taken;
    unsigned count = channels;
    if (snd_pcm_hw_params_set_channels_near(pcm, hw, &count) < 0 || count < channels)
        return failure(formatted("%s: the ALSA device \"%s\" has no %s channel %u.", play ? "--play" : "--record",
                                 device.c_str(), play ? "playback" : "capture", channels));
    if (play) playChannels_ = count;
    else recordChannels_ = count;
    if (snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(s.rateHz), 0) < 0)
        return failure(formatted("the ALSA device \"%s\" does not take %d Hz (-s).", device.c_str(), s.rateHz));
    // The capture's period as the playback's, so that one read matches one write.
    snd_pcm_uframes_t period = period_ ? period_ : static_cast<snd_pcm_uframes_t>(s.rateHz) * PERIOD_MS / 1000;
    int dir = 0;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    snd_pcm_uframes_t buffer = period * BUFFER_PERIODS;
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    int err = snd_pcm_hw_params(pcm, hw);
    if (err < 0)
        return failure(formatted("the ALSA device \"%s\" refuses the stream's settings (%s).", device.c_str(),
                                 snd_strerror(err)));
    snd_pcm_hw_params_get_period_size(hw, &period, &dir);
    if (!period_) period_ = period;

    snd_pcm_sw_params_t *sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm, sw);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer * 2);  // started by start() alone
    snd_pcm_sw_params_set_avail_min(pcm, sw, period_);
    err = snd_pcm_sw_params(pcm, sw);
    if (err < 0)
        return failure(formatted("the ALSA device \"%s\" refuses the stream's settings (%s).", device.c_str(),
                                 snd_strerror(err)));
    return Result();
}

// Both streams from prepared, the playback buffer full of silence, started together.
bool AlsaDuplex::startStreams()
{
    if (snd_pcm_prepare(playback_) < 0 || snd_pcm_prepare(capture_) < 0) return false;
    std::fill(rawOut_.begin(), rawOut_.end(), 0);
    for (;;) {
        const snd_pcm_sframes_t room = snd_pcm_avail_update(playback_);
        if (room < 0) return false;
        if (static_cast<snd_pcm_uframes_t>(room) < period_) break;
        if (snd_pcm_writei(playback_, rawOut_.data(), period_) < 0) return false;
    }
    if (snd_pcm_start(playback_) < 0) return false;
    return linked_ || snd_pcm_start(capture_) >= 0;
}

Result AlsaDuplex::start()
{
    if (!startStreams()) return failure("the ALSA device does not start.");
    setConnected();
    io_ = std::thread(&AlsaDuplex::run, this);
    return Result();
}

void AlsaDuplex::stop()
{
    quit_.store(true);
    if (io_.joinable()) io_.join();
    if (playback_) snd_pcm_drop(playback_);
    if (capture_) snd_pcm_drop(capture_);
}

// A period in, a period out, until stopped. Once the run is done, the buffer's worth of
// silence after the fade is written before a stop ends the thread, so that the fade
// is heard whole; a device that stops answering ends it at once.
void AlsaDuplex::run()
{
    const unsigned flush = latency_.playback / static_cast<unsigned>(period_) + 1;
    unsigned flushed = 0;
    while (!quit_.load() || (phase() == DuplexPhase::Done && flushed < flush)) {
        if (!transferPeriod(capture_, rawIn_.data(), true)) return;
        toFloats(rawIn_.data(), recordFormat_, in_.size(), in_.data());
        cycle(mono_.data(), static_cast<unsigned>(period_), inputs_.data(), recordChannels_);
        std::fill(out_.begin(), out_.end(), 0.0f);
        for (size_t i = 0; i < period_; i++)
            for (unsigned c : playAt_) out_[i * playChannels_ + c] = mono_[i];
        fromFloats(out_.data(), playFormat_, out_.size(), rawOut_.data());
        if (!transferPeriod(playback_, rawOut_.data(), false)) return;
        if (quit_.load()) flushed++;
    }
}

// One period read from capture or written to playback, waiting for the device in
// steps of WAIT_MS so that a stop is seen; false when the run ends or an error does
// not recover.
bool AlsaDuplex::transferPeriod(snd_pcm_t *pcm, unsigned char *buffer, bool capture)
{
    const size_t frameBytes = static_cast<size_t>(snd_pcm_frames_to_bytes(pcm, 1));
    for (snd_pcm_uframes_t done = 0; done < period_;) {
        const int ready = snd_pcm_wait(pcm, WAIT_MS);
        if (ready == 0) {
            if (quit_.load()) return false;
            continue;
        }
        unsigned char *at = buffer + done * frameBytes;
        const snd_pcm_sframes_t n = ready < 0 ? ready
                                    : capture ? snd_pcm_readi(pcm, at, period_ - done)
                                              : snd_pcm_writei(pcm, at, period_ - done);
        if (n == -EAGAIN) continue;
        if (n < 0) return recovered(n);
        done += static_cast<snd_pcm_uframes_t>(n);
    }
    return true;
}

// An xrun on either side once the signal began spoils the measurement, which ends
// there; before the signal or after the run, the streams start again. Any other
// error is a device gone. True when the I/O goes on.
bool AlsaDuplex::recovered(snd_pcm_sframes_t err)
{
    const bool xrun = err == -EPIPE || err == -ESTRPIPE;
    const DuplexPhase phase = this->phase();
    if (xrun && (phase == DuplexPhase::Playing || phase == DuplexPhase::Tail)) {
        markXrun();
        endRun();
        return false;
    }
    if (xrun) {
        snd_pcm_drop(playback_);
        snd_pcm_drop(capture_);
        if (startStreams()) return true;
    }
    markGone();
    return false;
}
