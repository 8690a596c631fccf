// The JACK side of a measurement: one client with an output port for every --play port
// and an input port for every --record port, run by one process callback that plays the
// signal and records the inputs in the same cycles. The callback never blocks, takes
// no lock and allocates nothing: the signal reaches it through one lock-free ring
// buffer and the recording leaves it through another, filled and emptied by threads of
// their own (record.h). Nothing here prints.
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
    std::string server;  // empty: the default server ($JACK_DEFAULT_SERVER or "default")
    std::vector<std::string> playPorts;    // inputs of other clients, fed with the signal
    std::vector<std::string> recordPorts;  // outputs of other clients, recorded in order
    int rateHz = 0;                        // the signal's; the server must run at it
    long long signalFrames = 0;
    int tailMs = DEFAULT_TAIL_MS;
};

// Where a run is. The callback moves it forward; nothing moves it back.
enum class DuplexPhase {
    Waiting,  // silence until the signal's ring buffer is full and the ports are connected
    Playing,  // the signal goes out, the inputs are recorded
    Tail,     // silence goes out, the inputs are still recorded
    Done,     // silence; nothing is recorded any more
};

// The latencies JACK reports, in frames: the largest of the play ports' playback
// latencies and of the record ports' capture latencies, and the period.
struct DuplexLatency {
    unsigned playback = 0, capture = 0, period = 0;
};

class JackDuplex {
public:
    JackDuplex() = default;
    JackDuplex(const JackDuplex &) = delete;
    JackDuplex &operator=(const JackDuplex &) = delete;
    ~JackDuplex();

    // Connects to the server and checks it against the settings: its rate, and the
    // named ports, which must exist and take the right direction. Registers the
    // client's ports and makes the ring buffers. Nothing sounds yet.
    Result open(const DuplexSettings &settings);

    // Activates the client and connects its ports; the callback plays silence until
    // the signal's ring buffer is primed.
    Result start();

    // Asks the callback to fade the output to silence (within FADE_MS) and end the run.
    void requestStop() { stopRequested_.store(true); }

    // Deactivates the client: the callback no longer runs.
    void stop();

    // The ring buffer of the signal (mono floats), written by the feeder, and the one of
    // the recording (interleaved floats, one per record port a frame), read by the
    // collector.
    jack_ringbuffer_t *signalRing() const { return play_; }
    jack_ringbuffer_t *recordingRing() const { return capture_; }
    // The feeder says the signal's ring buffer is full, or holds the whole rest of it.
    void setPrimed() { primed_.store(true, std::memory_order_release); }

    DuplexPhase phase() const { return phase_.load(std::memory_order_acquire); }
    int inputs() const { return static_cast<int>(ins_.size()); }
    long long playedFrames() const { return played_.load(std::memory_order_relaxed); }
    long long recordedFrames() const { return recorded_.load(std::memory_order_relaxed); }
    long long signalFrames() const { return signalFrames_; }
    // The frames recorded when nothing stops the run: the signal and the tail after it
    // (a period more at most).
    long long recordFrames() const { return recordFrames_; }
    // Process cycles so far, to see that the server still runs the client.
    long long cycles() const { return cycles_.load(std::memory_order_relaxed); }
    // The first frame of a dropout after the signal began (an xrun of the server, the
    // signal not ready in time, the recording not taken in time), or -1.
    long long dropoutFrame() const { return dropout_.load(); }
    bool serverGone() const { return shutdown_.load(); }
    DuplexLatency latency() const { return latency_; }

    static constexpr int FADE_MS = 5;

private:
    static int processCallback(jack_nframes_t frames, void *self);
    static int xrunCallback(void *self);
    static void shutdownCallback(void *self);
    Result openClient(const DuplexSettings &s);
    Result registerPorts(const DuplexSettings &s);
    int process(jack_nframes_t frames);
    jack_nframes_t playCycle(float *out, jack_nframes_t frames, DuplexPhase *phase);
    void fadeCycle(float *out, jack_nframes_t frames, DuplexPhase *phase);
    void captureCycle(jack_nframes_t frames, DuplexPhase *phase);
    void markDropout(long long frame);
    Result checkPort(const std::string &name, bool play);

    jack_client_t *client_ = nullptr;
    std::vector<jack_port_t *> outs_, ins_;
    std::vector<float *> inBuffers_;  // filled per cycle; sized before activation
    std::vector<std::string> playPorts_, recordPorts_;
    jack_ringbuffer_t *play_ = nullptr;
    jack_ringbuffer_t *capture_ = nullptr;
    long long signalFrames_ = 0;
    long long recordFrames_ = 0;  // the signal and its tail
    long long fadeFrames_ = 1;
    // State of the callback's own thread.
    long long fadeLeft_ = 0;
    bool active_ = false;
    DuplexLatency latency_;
    // Shared with the other threads.
    std::atomic<DuplexPhase> phase_{DuplexPhase::Waiting};
    std::atomic<bool> primed_{false}, connected_{false}, stopRequested_{false}, shutdown_{false};
    std::atomic<long long> played_{0}, recorded_{0}, dropout_{-1}, cycles_{0};
};

#endif
