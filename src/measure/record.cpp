#include "record.h"

#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "format.h"

namespace {

// Set by SIGINT and SIGTERM while a measurement runs.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onInterrupt(int) { interrupted.store(true); }

// SIGINT and SIGTERM set the flag while it lives, and do what they did before after.
class InterruptCatcher {
public:
    InterruptCatcher()
    {
        interrupted.store(false);
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &int_);
        sigaction(SIGTERM, &action, &term_);
    }
    ~InterruptCatcher()
    {
        sigaction(SIGINT, &int_, nullptr);
        sigaction(SIGTERM, &term_, nullptr);
    }

private:
    struct sigaction int_ {}, term_{};
};

// The threads around the callback look at their ring buffer this often: a small part
// of the half second they hold, with few wake-ups.
constexpr auto POLL = std::chrono::milliseconds(10);
// The watcher looks this often, and gives up on a server that runs no cycle for
// SERVER_SILENT.
constexpr auto WATCH = std::chrono::milliseconds(50);
constexpr auto SERVER_SILENT = std::chrono::seconds(5);
constexpr int FEED_BLOCK = 1024;  // floats handed over at a time
constexpr int COLLECT_FRAMES = 4096;

// The feeder: the engine's samples as floats into the signal's ring buffer (a
// SampleSink), waiting while it is full.
struct Feeder {
    Duplex *duplex;
    SampleFormat format;
    float scale;  // 2^-(bits - 1) for integers, 1 for floats, as libsndfile reads them
    std::atomic<bool> *quit;
    float block[FEED_BLOCK];
};

bool feed(const unsigned char *bytes, int count, void *context)
{
    Feeder *f = static_cast<Feeder *>(context);
    jack_ringbuffer_t *ring = f->duplex->signalRing();
    for (int at = 0; at < count;) {
        const int n = std::min(FEED_BLOCK, count - at);
        for (int i = 0; i < n; i++)
            f->block[i] = static_cast<float>(sampleValue(bytes, f->format, at + i)) * f->scale;
        const size_t size = static_cast<size_t>(n) * sizeof(float);
        while (jack_ringbuffer_write_space(ring) < size) {
            f->duplex->setPrimed();  // full: the callback may begin
            if (f->quit->load()) return false;
            std::this_thread::sleep_for(POLL);
        }
        jack_ringbuffer_write(ring, reinterpret_cast<const char *>(f->block), size);
        at += n;
    }
    return !f->quit->load();
}

// The collector: frames from the recording's ring buffer into the file, until the
// callback is done and the ring buffer empty.
struct Collector {
    Duplex *duplex;
    SNDFILE *file;
    std::atomic<bool> *quit;  // the callback no longer runs
    std::atomic<float> peak{0.0f};  // largest magnitude since the progress line last took it
    std::atomic<bool> failed{false};
};

void collect(Collector *c)
{
    const size_t channels = static_cast<size_t>(c->duplex->inputs());
    const size_t frameBytes = channels * sizeof(float);
    std::vector<float> frames(COLLECT_FRAMES * channels);
    jack_ringbuffer_t *ring = c->duplex->recordingRing();
    for (;;) {
        // The phase first: once it is Done, nothing more comes into the ring buffer.
        const bool done = c->duplex->phase() == DuplexPhase::Done || c->quit->load();
        const size_t ready = std::min<size_t>(jack_ringbuffer_read_space(ring) / frameBytes, COLLECT_FRAMES);
        if (ready == 0) {
            if (done) return;
            std::this_thread::sleep_for(POLL);
            continue;
        }
        jack_ringbuffer_read(ring, reinterpret_cast<char *>(frames.data()), ready * frameBytes);
        float peak = 0.0f;
        for (size_t i = 0; i < ready * channels; i++) peak = std::max(peak, std::fabs(frames[i]));
        float shown = c->peak.load();
        while (peak > shown && !c->peak.compare_exchange_weak(shown, peak)) {
        }
        if (!c->failed.load() &&
            sf_writef_float(c->file, frames.data(), static_cast<sf_count_t>(ready)) != static_cast<sf_count_t>(ready)) {
            c->failed.store(true);
            c->duplex->requestStop();
        }
    }
}

struct SoundFileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

// "played 12.3 of 120.0 s, input peak -6.0 dB", rewritten in place.
void showProgress(const Duplex &duplex, Collector *collector, int rateHz)
{
    const float peak = collector->peak.exchange(0.0f);
    const double peakDb = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY;
    std::fprintf(stderr, "\rplayed %.1f of %.1f s, input peak %.1f dB   ",
                 static_cast<double>(duplex.playedFrames()) / rateHz,
                 static_cast<double>(duplex.signalFrames()) / rateHz, peakDb);
}

// Watches the run until it is done, the server is gone or silent, turning an interrupt
// into a stop and showing the progress; true when the server fell silent.
bool watchRun(Duplex *duplex, Collector *collector, const RecordOptions &options)
{
    long long cycles = duplex->cycles();
    auto lastCycle = std::chrono::steady_clock::now();
    while (duplex->phase() != DuplexPhase::Done && !duplex->serverGone()) {
        if (interrupted.load()) duplex->requestStop();
        if (options.progress) showProgress(*duplex, collector, options.rateHz);
        std::this_thread::sleep_for(WATCH);
        const auto now = std::chrono::steady_clock::now();
        if (duplex->cycles() != cycles) {
            cycles = duplex->cycles();
            lastCycle = now;
        } else if (now - lastCycle > SERVER_SILENT) {
            return true;
        }
    }
    return false;
}

// What a run that started makes of the measurement: refused after an interrupt, a
// dropout, a server that went away or a recording not written whole.
Result verdict(const Duplex &duplex, bool silent, bool written, int rateHz, const std::string &path)
{
    if (interrupted.load()) return failure("interrupted: nothing is analysed or saved.");
    if (duplex.dropoutFrame() >= 0)
        return failure(formatted("a dropout at %.3f s: the measurement is refused.",
                                 static_cast<double>(duplex.dropoutFrame()) / rateHz));
    if (duplex.serverGone() || silent) return failure(duplex.goneMessage());
    if (!written) return failure(formatted("fail to write the recording to \"%s\".", path.c_str()));
    return Result();
}

}  // namespace

ScratchFile::~ScratchFile()
{
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
}

bool ScratchFile::create()
{
    const char *dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/sonvel-measure-XXXXXX.wav";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = mkstemps(name.data(), 4);
    if (fd_ < 0) return false;
    path_ = name.data();
    return true;
}

Result recordMeasurement(Duplex *duplex, SignalPlan *plan, const RecordOptions &options,
                         const ScratchFile &scratch)
{
    SF_INFO info{};
    info.samplerate = options.rateHz;
    info.channels = duplex->inputs();
    // A plain float WAVE file (format 3, which most readers take) where the samples fit
    // its 32-bit sizes with room for a period and the headers; RF64 beyond.
    const long long bytes = (duplex->recordFrames() + duplex->latency().period) * info.channels * 4LL;
    info.format = (bytes < (1LL << 32) - (1 << 20) ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_FLOAT;
    std::unique_ptr<SNDFILE, SoundFileCloser> file(sf_open_fd(scratch.fd(), SFM_WRITE, &info, SF_FALSE));
    if (!file) return failure(formatted("fail to open \"%s\".", scratch.path().c_str()));

    InterruptCatcher catcher;
    std::atomic<bool> quit{false};
    const SampleFormat format = plan->request.format;
    Feeder feeder{duplex, format, isFloat(format) ? 1.0f : std::ldexp(1.0f, 1 - 8 * bytesPerSample(format)), &quit, {}};
    Collector collector;
    collector.duplex = duplex;
    collector.file = file.get();
    collector.quit = &quit;
    // While the signal plays the engine makes it on one thread: it needs a fraction of
    // real time, and leaves the processors to the callbacks (the bytes are the same on
    // any number of threads).
    plan->request.threads = 1;
    std::thread feeding([&] {
        double level = 0.0;
        emitSignal(plan, feed, &feeder, &level);
        duplex->setPrimed();  // the whole signal is in the ring buffer
    });
    std::thread collecting(collect, &collector);

    Result result = duplex->start();
    const bool silent = result.ok() && watchRun(duplex, &collector, options);
    if (options.progress) std::fputs("\r                                                  \r", stderr);
    duplex->stop();
    quit.store(true);
    feeding.join();
    // The callback no longer runs: whatever it left in the ring buffer is the rest.
    collecting.join();
    const bool written = sf_close(file.release()) == 0 && !collector.failed.load();

    return result.ok() ? verdict(*duplex, silent, written, options.rateHz, scratch.path()) : result;
}
