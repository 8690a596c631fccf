// A JACK client for the measurement tests: a system with a known answer. Every input
// port goes to its output port delayed by a whole number of samples, through a known
// filter if asked, so the program's response, latency and samples can be checked
// exactly. It can also stall its process callback once, to force a dropout.
//
// usage: loop_client NAME [--channels C] [--delay N] [--fir B0,B1,..] [--iir A]
//                         [--plain-first] [--stall MS]
//   --fir: y[n] = sum B_k x[n - k]; --iir: y[n] = (1 - A) x[n] + A y[n - 1];
//   --plain-first: channel 1 is delayed only, never filtered;
//   --stall: sleeps MS ms in the callback once, when the first sound arrives.
// Prints "ready" on standard output once its ports exist, and runs until SIGTERM; then
// "end E peak P": the largest magnitude of channel 1's input over the whole run (P) and
// over the last millisecond before it fell silent (E), which shows how the sound ended.
#include <jack/jack.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Channel {
    jack_port_t *in = nullptr, *out = nullptr;
    std::vector<float> line;  // the delay line, a ring of delay + 1 samples
    size_t at = 0;
    std::vector<double> history;  // the FIR's past inputs, newest first
    double feedback = 0.0;        // the IIR's last output
    bool filtered = true;
};

struct Loop {
    jack_client_t *client = nullptr;
    std::vector<Channel> channels;
    size_t delay = 0;
    std::vector<double> fir;  // empty: none
    double iir = -1.0;        // below 0: none
    int stallMs = 0;
    bool stalled = false;
    float peak = 0.0f;
    std::vector<float> last;  // magnitudes of channel 1's last nonzero inputs, a ring
    size_t lastAt = 0;
};

std::atomic<bool> quit{false};

void onSignal(int) { quit.store(true); }

double filterSample(Loop *loop, Channel *ch, double x)
{
    if (!ch->filtered) return x;
    double y = x;
    if (!loop->fir.empty()) {
        ch->history.insert(ch->history.begin(), x);
        ch->history.pop_back();
        y = 0.0;
        for (size_t k = 0; k < loop->fir.size(); k++) y += loop->fir[k] * ch->history[k];
    }
    if (loop->iir >= 0.0) {
        y = (1.0 - loop->iir) * y + loop->iir * ch->feedback;
        ch->feedback = y;
    }
    return y;
}

int process(jack_nframes_t frames, void *context)
{
    Loop *loop = static_cast<Loop *>(context);
    // The test's own stall: a callback that overruns its period makes the server drop.
    const float *first = static_cast<const float *>(jack_port_get_buffer(loop->channels[0].in, frames));
    if (loop->stallMs > 0 && !loop->stalled && std::any_of(first, first + frames, [](float x) { return x != 0.0f; })) {
        loop->stalled = true;
        usleep(loop->stallMs * 1000);
    }
    for (jack_nframes_t i = 0; i < frames; i++) {
        if (first[i] == 0.0f) continue;
        loop->peak = std::max(loop->peak, std::fabs(first[i]));
        loop->last[loop->lastAt] = std::fabs(first[i]);
        loop->lastAt = (loop->lastAt + 1) % loop->last.size();
    }
    for (Channel &ch : loop->channels) {
        const float *in = static_cast<const float *>(jack_port_get_buffer(ch.in, frames));
        float *out = static_cast<float *>(jack_port_get_buffer(ch.out, frames));
        for (jack_nframes_t i = 0; i < frames; i++) {
            ch.line[ch.at] = static_cast<float>(filterSample(loop, &ch, in[i]));
            ch.at = (ch.at + 1) % ch.line.size();
            out[i] = ch.line[ch.at];  // written delay samples ago
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: loop_client NAME [--channels C] [--delay N] [--fir B0,..] [--iir A] "
                   "[--plain-first] [--stall MS]\n", stderr);
        return 2;
    }
    Loop loop;
    int count = 1;
    bool plainFirst = false;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--channels") count = std::atoi(value), i++;
        else if (arg == "--delay") loop.delay = std::strtoul(value, nullptr, 10), i++;
        else if (arg == "--iir") loop.iir = std::atof(value), i++;
        else if (arg == "--stall") loop.stallMs = std::atoi(value), i++;
        else if (arg == "--plain-first") plainFirst = true;
        else if (arg == "--fir") {
            for (char *p = argv[++i]; *p;) {
                loop.fir.push_back(std::strtod(p, &p));
                if (*p == ',') p++;
            }
        } else {
            std::fprintf(stderr, "loop_client: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    jack_status_t status{};
    loop.client = jack_client_open(argv[1], JackNoStartServer, &status);
    if (!loop.client) {
        std::fputs("loop_client: no JACK server\n", stderr);
        return 1;
    }
    loop.channels.resize(count);
    loop.last.assign(jack_get_sample_rate(loop.client) / 1000, 0.0f);
    for (int c = 0; c < count; c++) {
        Channel &ch = loop.channels[c];
        const std::string n = std::to_string(c + 1);
        ch.in = jack_port_register(loop.client, ("in_" + n).c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        ch.out = jack_port_register(loop.client, ("out_" + n).c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        ch.line.assign(loop.delay + 1, 0.0f);
        ch.history.assign(loop.fir.size(), 0.0);
        ch.filtered = !(plainFirst && c == 0);
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    jack_set_process_callback(loop.client, process, &loop);
    if (jack_activate(loop.client) != 0) return 1;
    std::puts("ready");
    std::fflush(stdout);
    while (!quit.load()) usleep(10000);
    jack_deactivate(loop.client);
    jack_client_close(loop.client);
    std::printf("end %g peak %g\n", *std::max_element(loop.last.begin(), loop.last.end()), loop.peak);
    return 0;
}
