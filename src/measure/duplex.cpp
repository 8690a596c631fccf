#include "duplex.h"

#include <algorithm>
#include <cstring>

#include "cli.h"
#include "format.h"

namespace {

// The ring buffers hold at least this much of the signal and of the recording: room
// for the threads around the callback to be late by a good part of a second.
constexpr int RING_MS = 500;
constexpr size_t RING_MIN_FRAMES = 16384;

// libjack's own messages (a missing server takes five lines) would stand beside the
// program's one line; the failures come back through its return values instead.
void quiet(const char *) {}

unsigned largestLatency(jack_port_t *port, jack_latency_callback_mode_t mode)
{
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(port, mode, &range);
    return range.max;
}

}  // namespace

Duplex::~Duplex()
{
    if (play_) jack_ringbuffer_free(play_);
    if (capture_) jack_ringbuffer_free(capture_);
}

Result Duplex::prepare(const DuplexSettings &s, int inputs)
{
    inputs_ = inputs;
    signalFrames_ = s.signalFrames;
    // The recording goes on after the signal for the latency there and back, a period
    // and the tail asked for, so that the signal's end is captured whole.
    recordFrames_ = signalFrames_ + latency_.playback + latency_.capture + latency_.period +
                    static_cast<long long>(s.tailMs) * s.rateHz / 1000;
    fadeFrames_ = std::max<long long>(1, static_cast<long long>(s.rateHz) * FADE_MS / 1000);
    fadeLeft_ = fadeFrames_;

    const size_t ringFrames =
        std::max<size_t>({RING_MIN_FRAMES, static_cast<size_t>(s.rateHz) * RING_MS / 1000, 8 * size_t{latency_.period}});
    play_ = jack_ringbuffer_create(ringFrames * sizeof(float));
    capture_ = jack_ringbuffer_create(ringFrames * static_cast<size_t>(inputs) * sizeof(float));
    if (!play_ || !capture_) return failure("out of memory.");
    // The cycles must not wait for a page: the ring buffers stay in memory where the
    // system allows it (a lock refused leaves them as they are).
    jack_ringbuffer_mlock(play_);
    jack_ringbuffer_mlock(capture_);
    return Result();
}

JackDuplex::~JackDuplex()
{
    stop();
    if (client_) jack_client_close(client_);
}

Result JackDuplex::checkPort(const std::string &name, bool play)
{
    const char *option = play ? "--play" : "--record";
    jack_port_t *port = jack_port_by_name(client_, name.c_str());
    if (!port) return failure(formatted("%s: no JACK port \"%s\".", option, escaped(name.c_str()).c_str()));
    const int flags = jack_port_flags(port);
    // The signal goes into another client's input; the recording comes from an output.
    if (play && !(flags & JackPortIsInput))
        return failure(formatted("--play: \"%s\" is not an input port.", escaped(name.c_str()).c_str()));
    if (!play && !(flags & JackPortIsOutput))
        return failure(formatted("--record: \"%s\" is not an output port.", escaped(name.c_str()).c_str()));
    if (play)
        latency_.playback = std::max(latency_.playback, largestLatency(port, JackPlaybackLatency));
    else
        latency_.capture = std::max(latency_.capture, largestLatency(port, JackCaptureLatency));
    return Result();
}

Result JackDuplex::open(const DuplexSettings &s)
{
    Result r = openClient(s);
    for (size_t i = 0; r.ok() && i < s.playPorts.size() + s.recordPorts.size(); i++) {
        const bool out = i < s.playPorts.size();
        r = checkPort(out ? s.playPorts[i] : s.recordPorts[i - s.playPorts.size()], out);
    }
    if (r.ok()) r = registerPorts(s);
    if (!r.ok()) return r;

    latency_.period = jack_get_buffer_size(client_);
    r = prepare(s, static_cast<int>(ins_.size()));
    if (!r.ok()) return r;

    jack_set_process_callback(client_, processCallback, this);
    jack_set_xrun_callback(client_, xrunCallback, this);
    jack_on_shutdown(client_, shutdownCallback, this);
    return Result();
}

// The client, on the server named or the default one, never starting one; refused
// when the server runs at another rate than the signal.
Result JackDuplex::openClient(const DuplexSettings &s)
{
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    jack_status_t status{};
    const bool named = !s.server.empty();
    const int options = JackNoStartServer | (named ? JackServerName : 0);
    client_ = named ? jack_client_open("sonvel-measure", static_cast<jack_options_t>(options), &status,
                                       s.server.c_str())
                    : jack_client_open("sonvel-measure", static_cast<jack_options_t>(options), &status);
    if (!client_) {
        if (named) return failure(formatted("no JACK server \"%s\" is running.", escaped(s.server.c_str()).c_str()));
        return failure("no JACK server is running.");
    }
    const int serverHz = static_cast<int>(jack_get_sample_rate(client_));
    if (serverHz != s.rateHz)
        return failure(formatted("the JACK server runs at %d Hz, the signal at %d Hz (-s).", serverHz, s.rateHz));
    return Result();
}

// The client's own ports: out_1 .. for the ports played to, in_1 .. for those recorded.
Result JackDuplex::registerPorts(const DuplexSettings &s)
{
    playPorts_ = s.playPorts;
    recordPorts_ = s.recordPorts;
    for (size_t i = 0; i < s.playPorts.size() + s.recordPorts.size(); i++) {
        const bool out = i < s.playPorts.size();
        const std::string name = formatted(out ? "out_%zu" : "in_%zu", out ? i + 1 : i + 1 - s.playPorts.size());
        jack_port_t *port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               out ? JackPortIsOutput : JackPortIsInput, 0);
        if (!port) return failure(formatted("JACK refuses the port \"%s\".", name.c_str()));
        (out ? outs_ : ins_).push_back(port);
    }
    inBuffers_.assign(ins_.size(), nullptr);
    return Result();
}

Result JackDuplex::start()
{
    if (jack_activate(client_) != 0) return failure("JACK does not activate the client.");
    active_ = true;
    for (size_t i = 0; i < outs_.size(); i++)
        if (jack_connect(client_, jack_port_name(outs_[i]), playPorts_[i].c_str()) != 0)
            return failure(formatted("--play: JACK does not connect \"%s\".", escaped(playPorts_[i].c_str()).c_str()));
    for (size_t i = 0; i < ins_.size(); i++)
        if (jack_connect(client_, recordPorts_[i].c_str(), jack_port_name(ins_[i])) != 0)
            return failure(
                formatted("--record: JACK does not connect \"%s\".", escaped(recordPorts_[i].c_str()).c_str()));
    setConnected();
    return Result();
}

void JackDuplex::stop()
{
    // A server that went away has nothing left to deactivate.
    if (active_ && client_ && !serverGone()) jack_deactivate(client_);
    active_ = false;
}

int JackDuplex::processCallback(jack_nframes_t frames, void *self)
{
    return static_cast<JackDuplex *>(self)->process(frames);
}

// Called by JACK's notification thread, not the process thread.
int JackDuplex::xrunCallback(void *self)
{
    static_cast<JackDuplex *>(self)->markXrun();
    return 0;
}

void JackDuplex::shutdownCallback(void *self) { static_cast<JackDuplex *>(self)->markGone(); }

// The real-time part: the first output port's buffer takes the cycle's output, copied
// to the others after it.
int JackDuplex::process(jack_nframes_t frames)
{
    float *out = static_cast<float *>(jack_port_get_buffer(outs_[0], frames));
    for (size_t c = 0; c < ins_.size(); c++)
        inBuffers_[c] = static_cast<const float *>(jack_port_get_buffer(ins_[c], frames));
    cycle(out, frames, inBuffers_.data(), 1);
    for (size_t p = 1; p < outs_.size(); p++)
        std::memcpy(jack_port_get_buffer(outs_[p], frames), out, frames * sizeof(float));
    return 0;
}

void Duplex::markXrun()
{
    const DuplexPhase phase = phase_.load();
    if (phase == DuplexPhase::Playing || phase == DuplexPhase::Tail) markDropout(recorded_.load());
}

void Duplex::markDropout(long long frame)
{
    long long none = -1;
    dropout_.compare_exchange_strong(none, frame);
    stopRequested_.store(true);
}

// Reads the signal and writes the recording through the ring buffers, which copy
// without locking; no call here blocks or allocates.
void Duplex::cycle(float *out, unsigned frames, const float *const *in, size_t stride)
{
    cycles_.fetch_add(1, std::memory_order_relaxed);
    DuplexPhase phase = phase_.load(std::memory_order_relaxed);
    if (phase == DuplexPhase::Waiting && primed_.load(std::memory_order_acquire) &&
        connected_.load(std::memory_order_acquire))
        phase = DuplexPhase::Playing;
    const bool recording = phase == DuplexPhase::Playing || phase == DuplexPhase::Tail;
    const unsigned made = phase == DuplexPhase::Playing ? playCycle(out, frames, &phase) : 0;
    std::fill(out + made, out + frames, 0.0f);
    if (stopRequested_.load(std::memory_order_relaxed) && phase != DuplexPhase::Done) fadeCycle(out, frames, &phase);
    if (recording) captureCycle(frames, in, stride, &phase);
    phase_.store(phase, std::memory_order_release);
}
// The signal's next frames from the ring into out; how many there were. Fewer than
// the cycle wants before the signal's end is a dropout.
unsigned Duplex::playCycle(float *out, unsigned frames, DuplexPhase *phase)
{
    long long played = played_.load(std::memory_order_relaxed);
    const unsigned wanted = static_cast<unsigned>(std::min<long long>(frames, signalFrames_ - played));
    const size_t ready = jack_ringbuffer_read_space(play_) / sizeof(float);
    const unsigned made = static_cast<unsigned>(std::min<size_t>(wanted, ready));
    jack_ringbuffer_read(play_, reinterpret_cast<char *>(out), made * sizeof(float));
    if (made < wanted) markDropout(played + made);
    played += made;
    played_.store(played, std::memory_order_relaxed);
    if (played == signalFrames_) *phase = DuplexPhase::Tail;
    return made;
}

// A stop fades what is playing to silence along a straight line, then ends the run.
void Duplex::fadeCycle(float *out, unsigned frames, DuplexPhase *phase)
{
    for (unsigned i = 0; i < frames; i++) {
        out[i] *= static_cast<float>(fadeLeft_) / static_cast<float>(fadeFrames_);
        if (fadeLeft_ > 0) fadeLeft_--;
    }
    if (fadeLeft_ == 0) *phase = DuplexPhase::Done;
}

// The inputs' frames, interleaved straight into the capture ring's free space; no room
// for them is a dropout. Both parts of that space start on a float: the buffer's size
// is a power of two and every write a whole number of floats.
void Duplex::captureCycle(unsigned frames, const float *const *in, size_t stride, DuplexPhase *phase)
{
    const long long recorded = recorded_.load(std::memory_order_relaxed);
    const size_t channels = static_cast<size_t>(inputs_);
    const size_t bytes = frames * channels * sizeof(float);
    if (jack_ringbuffer_write_space(capture_) < bytes) {
        markDropout(recorded);
    } else {
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_write_vector(capture_, parts);
        float *first = reinterpret_cast<float *>(parts[0].buf);
        float *second = reinterpret_cast<float *>(parts[1].buf);
        const size_t firstCount = parts[0].len / sizeof(float);
        for (unsigned i = 0; i < frames; i++)
            for (size_t c = 0; c < channels; c++) {
                const size_t k = i * channels + c;
                (k < firstCount ? first[k] : second[k - firstCount]) = in[c][i * stride];
            }
        jack_ringbuffer_write_advance(capture_, bytes);
        recorded_.store(recorded + frames, std::memory_order_relaxed);
    }
    if (*phase == DuplexPhase::Tail && recorded_.load(std::memory_order_relaxed) >= recordFrames_)
        *phase = DuplexPhase::Done;
}
