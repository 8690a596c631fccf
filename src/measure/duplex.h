// The sound side of a measurement: a stream that plays the signal and records the
// inputs in the same periods, through JACK (here) or ALSA (alsa_duplex.h). The code run
// each period never blocks, takes no lock and allocates nothing: the signal reaches it
// through one lock-free ring buffer and the recording leaves it through another, filled
// and emptied by threads of their own (record.h). Nothing here prints.
#ifndef SONVEL_MEASURE_DUPLEX_H
#define SONVEL_MEASURE_DUPLEX_H

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <string>
#include <vector>

#include "result.h"

// What the recording goes on for after the signal, beyond the latency and a period.
constexpr int DEFAULT_TAIL_MS = 100;

struct DuplexSettings {
    std::string device = "default";  // the ALSA device
    std::string server;  // empty: the default server ($JACK_DEFAULT_SERVER or "default")
    // JACK: inputs of other clients, fed with the signal, and outputs of other clients,
    // recorded in order. ALSA: the device's channels, from 1.
    std::vector<std::string> playPorts;
    std::vector<std::string> recordPorts;
    int rateHz = 0;                        // the signal's; the server must run at it
    long long signalFrames = 0;
    int tailMs = DEFAULT_TAIL_MS;
};

// Where a run is. The cycles move it forward; nothing moves it back.
enum class DuplexPhase {
    Waiting,  // silence until the signal's ring buffer is full and the stream is connected
    Playing,  // the signal goes out, the inputs are recorded
    Tail,     // silence goes out, the inputs are still recorded
    Done,     // silence; nothing is recorded any more
};

// The latencies the sound system reports, in frames: for JACK the largest of the play
// ports' playback latencies and of the record ports' capture latencies, and the period.
struct DuplexLatency {
    unsigned playback = 0, capture = 0, period = 0;
};

// What every back end shares: the ring buffers, the phases, the fade at a stop and the
// dropout rule, all driven by cycle(), which a back end calls once a period from its
// real-time callback or its I/O thread. cycle() never blocks, takes no lock and
// allocates nothing.
class Duplex {
public:
    Duplex() = default;
    Duplex(const Duplex &) = delete;
    Duplex &operator=(const Duplex &) = delete;
    virtual ~Duplex();

    // Checks the sound system against the settings and makes the ring buffers.
    // Nothing sounds yet.
    virtual Result open(const DuplexSettings &settings) = 0;
    // Starts the stream; silence is played until the signal's ring buffer is primed.
    virtual Result start() = 0;
    // Ends the stream: cycle() no longer runs.
    virtual void stop() = 0;
    // The refusal when the sound system went away during the run.
    virtual const char *goneMessage() const = 0;

    // Asks the cycle to fade the output to silence (within FADE_MS) and end the run.
    void requestStop() { stopRequested_.store(true); }

    // The ring buffer of the signal (mono floats), written by the feeder, and the one of
    // the recording (interleaved floats, one per recorded channel a frame), read by the
    // collector.
    jack_ringbuffer_t *signalRing() const { return play_; }
    jack_ringbuffer_t *recordingRing() const { return capture_; }
    // The feeder says the signal's ring buffer is full, or holds the whole rest of it.
    void setPrimed() { primed_.store(true, std::memory_order_release); }

    DuplexPhase phase() const { return phase_.load(std::memory_order_acquire); }
    int inputs() const { return inputs_; }
    long long playedFrames() const { return played_.load(std::memory_order_relaxed); }
    long long recordedFrames() const { return recorded_.load(std::memory_order_relaxed); }
    long long signalFrames() const { return signalFrames_; }
    // The frames recorded when nothing stops the run: the signal and the tail after it
    // (a period more at most).
    long long recordFrames() const { return recordFrames_; }
    // Cycles so far, to see that the sound system still runs.
    long long cycles() const { return cycles_.load(std::memory_order_relaxed); }
    // The first frame of a dropout after the signal began (an xrun, the signal not
    // ready in time, the recording not taken in time), or -1.
    long long dropoutFrame() const { return dropout_.load(); }
    bool serverGone() const { return shutdown_.load(); }
    DuplexLatency latency() const { return latency_; }

    static constexpr int FADE_MS = 5;

protected:
    // Once the latency and the number of inputs are known: the length of the recording,
    // the fade and the ring buffers.
    Result prepare(const DuplexSettings &s, int inputs);
    // One period: the output (mono) to play, and the inputs to record, channel c's
    // frame i at in[c][i * stride].
    void cycle(float *out, unsigned frames, const float *const *in, size_t stride);
    // Cycles play silence until this is set.
    void setConnected() { connected_.store(true, std::memory_order_release); }
    void markDropout(long long frame);
    // A dropout reported by the sound system, which counts once the signal began.
    void markXrun();
    void markGone() { shutdown_.store(true); }
    // Ends the run where it is, for a stream that cannot go on.
    void endRun() { phase_.store(DuplexPhase::Done, std::memory_order_release); }

    DuplexLatency latency_;

private:
    unsigned playCycle(float *out, unsigned frames, DuplexPhase *phase);
    void fadeCycle(float *out, unsigned frames, DuplexPhase *phase);
    void captureCycle(unsigned frames, const float *const *in, size_t stride, DuplexPhase *phase);

    jack_ringbuffer_t *play_ = nullptr;
    jack_ringbuffer_t *capture_ = nullptr;
    int inputs_ = 0;
    long long signalFrames_ = 0;
    long long recordFrames_ = 0;  // the signal and its tail
    long long fadeFrames_ = 1;
    // State of the cycle's own thread.
    long long fadeLeft_ = 0;
    // Shared with the other threads.
    std::atomic<DuplexPhase> phase_{DuplexPhase::Waiting};
    std::atomic<bool> primed_{false}, connected_{false}, stopRequested_{false}, shutdown_{false};
    std::atomic<long long> played_{0}, recorded_{0}, dropout_{-1}, cycles_{0};
};

// The JACK back end: one client with an output port for every --play port and an input
// port for every --record port, run by one process callback that plays the signal and
// records the inputs in the same cycles.
class JackDuplex : public Duplex {
public:
    ~JackDuplex() override;

    // Connects to the server and checks it against the settings: its rate, and the
    // named ports, which must exist and take the right direction. Registers the
    // client's ports and makes the ring buffers.
    Result open(const DuplexSettings &settings) override;
    // Activates the client and connects its ports.
    Result start() override;
    // Deactivates the client: the callback no longer runs.
    void stop() override;
    const char *goneMessage() const override { return "the JACK server stopped: the measurement is refused."; }

private:
    static int processCallback(jack_nframes_t frames, void *self);
    static int xrunCallback(void *self);
    static void shutdownCallback(void *self);
    Result openClient(const DuplexSettings &s);
    Result registerPorts(const DuplexSettings &s);
    int process(jack_nframes_t frames);
    Result checkPort(const std::string &name, bool play);

    jack_client_t *client_ = nullptr;
    std::vector<jack_port_t *> outs_, ins_;
    std::vector<const float *> inBuffers_;  // filled per cycle; sized before activation
    std::vector<std::string> playPorts_, recordPorts_;
    bool active_ = false;
};

#endif
