// sonvel-measure: plays a multisine through JACK or ALSA and records the system's answer in the
// same cycles, then analyses the recording as sonvel-analyze does: the response per
// line, its noise and its distortion, with the latency found.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli_main.h"
#include "duplex.h"
#ifdef SONVEL_WITH_ALSA
#include "alsa_duplex.h"
#endif
#include "engine.h"
#include "out_file.h"
#include "params.h"
#include "record.h"
#include "report.h"
#include "session.h"
#include "sizes.h"
#include "worker.h"

namespace {

enum Backend { JACK, ALSA };  // in the order of BACKENDS

struct MeasureSettings {
    AnalysisRequest request;
    const char *plotPath = nullptr;
    DuplexSettings duplex;
    int backend = JACK;
    const char *savePath = nullptr;
};

// The sound systems built in; the first is the default.
#ifdef SONVEL_WITH_ALSA
const char *const BACKENDS[] = {"jack", "alsa", nullptr};
const char *const BACKEND_CHOICES = "jack or alsa";
#else
const char *const BACKENDS[] = {"jack", nullptr};
const char *const BACKEND_CHOICES = "jack";
#endif

// The measurement's own options: where the signal goes and where the answer comes from.
OptionGroup measureOptions(MeasureSettings *m)
{
    DuplexSettings *d = &m->duplex;
    return {"measurement options",
            {{"backend", 0, "NAME", "the sound system: jack, or alsa where built", "jack",
              [m](const char *v) {
                  if (!readChoice(v, BACKENDS, &m->backend)) return refusal("--backend", v, BACKEND_CHOICES);
                  return Result();
              }},
             {"device", 0, "PCM", "the ALSA device, such as hw:0 or plughw:0", "default",
              [d](const char *v) {
                  d->device = v;
                  return Result();
              }},
             {"server", 0, "NAME", "the JACK server, else $JACK_DEFAULT_SERVER, else \"default\"", "",
              [d](const char *v) {
                  d->server = v;
                  return Result();
              }},
             {"play", 0, "PORT", "play the signal to this port, or ALSA channel (repeatable)", "",
              [d](const char *v) {
                  d->playPorts.push_back(v);
                  return Result();
              }},
             {"record", 0, "PORT", "record this port or ALSA channel, channel 1 the first (repeatable)", "",
              [d](const char *v) {
                  d->recordPorts.push_back(v);
                  return Result();
              }},
             {"tail", 0, "MS", "record this long after the signal, its latency and a period",
              std::to_string(DEFAULT_TAIL_MS),
              [d](const char *v) {
                  if (!readInt(v, 0, 3600000, &d->tailMs)) return refusal("--tail", v, "a time in ms");
                  return Result();
              }},
             {"save", 0, "FILE.wav", "write the recording, every channel in float", "",
              [m](const char *v) {
                  m->savePath = v;
                  return Result();
              }}}};
}

Program measureProgram(MeasureSettings *m)
{
    return {"sonvel-measure",
            {"[options] --play PORT --record PORT -f LIST"},
            {signalOptions(&m->request.signal, SIGNAL_ALL, "the parameter list to play"),
             analysisOptions(&m->request, &m->plotPath), measureOptions(m)}};
}

// Reads the command line. Returns RUN_CONTINUES, or the exit status.
int parseMeasureOptions(int argc, char **argv, MeasureSettings *m)
{
    const Program program = measureProgram(m);
    const ParsedLine line = parseCommandLine(program, argc, argv);
    const int status = answerCommandLine(program, line);
    if (status != RUN_CONTINUES) return status;
    const char *missing = !line.operands.empty()           ? "error: no operand is taken"
                          : !m->request.signal.paramPath   ? "error: no list given (-f)"
                          : m->duplex.playPorts.empty()    ? "error: no port to play to (--play)"
                          : m->duplex.recordPorts.empty()  ? "error: no port to record (--record)"
                                                           : nullptr;
    if (missing) {
        std::fprintf(stderr, "%s; see sonvel-measure --help.\n", missing);
        return 1;
    }
    const int inputs = static_cast<int>(m->duplex.recordPorts.size());
    const AnalyzeSettings &a = m->request.analyze;
    if (a.channel > inputs || a.reference > inputs) {
        std::fprintf(stderr, "error: --%s %d: %d port%s recorded.\n", a.channel > inputs ? "channel" : "reference",
                     a.channel > inputs ? a.channel : a.reference, inputs, inputs == 1 ? " is" : "s are");
        return 1;
    }
    m->request.recordingName = m->savePath ? m->savePath : "(recording)";
    m->request.command = "sonvel-measure";
    for (int i = 1; i < argc; i++) m->request.command += std::string(" ") + argv[i];
    return RUN_CONTINUES;
}

// The signal as sonvel makes it for the same options, measured and at its level.
int planMeasurementSignal(const SignalOptions &s, SignalPlan *plan)
{
    int size = 0, taper = 0;
    double targetDb = 0.0;
    if (printFailure(resolveSignal(s, MAX_DATA_SIZE, &size, &taper, &targetDb))) return 1;
    auto table = std::make_unique<ParamTable>();
    std::unique_ptr<FILE, int (*)(FILE *)> list(std::fopen(s.paramPath, "r"), std::fclose);
    if (!list) return printFailure(failure(formatted("fail to open \"%s\".", s.paramPath)));
    if (printFailure(readParams(table->freq, table->amp, table->phase, list.get(), &table->count))) return 1;
    SignalRequest request = signalRequest(size, taper, targetDb, table->freq, table->amp, table->phase,
                                          table->count, s.samplingHz);
    request.format = s.sampleFormat;
    request.quantizer = s.quantizer;
    request.seed = s.seed;
    request.threads = usableProcessors();
    return printFailure(planSignal(request, plan));
}

// The latencies: the delay the analysis found, and what the sound system reports: JACK
// for the ports, ALSA the playback buffer kept full.
void printLatency(const Analysis &a, const DuplexLatency &l, int rateHz, int backend)
{
    if (backend == ALSA) {
        std::fprintf(stderr, "# latency: %.3f samples (%.4f ms) found; ALSA buffers %u samples, period %u\n", a.delay,
                     a.delay * 1000.0 / rateHz, l.playback, l.period);
        return;
    }
    std::fprintf(stderr,
                 "# latency: %.3f samples (%.4f ms) found; JACK reports %u playback + %u capture = %u samples, "
                 "period %u\n",
                 a.delay, a.delay * 1000.0 / rateHz, l.playback, l.capture, l.playback + l.capture, l.period);
}

// The back end asked for.
std::unique_ptr<Duplex> makeDuplex(int backend)
{
#ifdef SONVEL_WITH_ALSA
    if (backend == ALSA) return std::make_unique<AlsaDuplex>();
#endif
    (void)backend;
    return std::make_unique<JackDuplex>();
}

// Copies the recording into the claimed output, which appears whole or not at all.
int saveRecording(const ScratchFile &scratch, OutputFile *out, const char *savePath)
{
    std::unique_ptr<FILE, int (*)(FILE *)> in(std::fopen(scratch.path().c_str(), "rb"), std::fclose);
    bool ok = in && beginOutput(out);
    std::vector<char> buffer(1 << 20);
    while (ok) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
        if (n == 0) break;
        ok = std::fwrite(buffer.data(), 1, n, out->stream) == n;
    }
    ok = ok && !std::ferror(in.get()) && commitOutput(out);
    if (ok) return 0;
    discardOutput(out);
    std::fprintf(stderr, "error: fail to save the recording to \"%s\".\n", savePath);
    return 1;
}

// The claimed --save output, discarded on every path that does not commit it.
struct OutputOwner {
    OutputFile file;
    ~OutputOwner() { discardOutput(&file); }
};

// The run as its steps, in order, each of which may end it: its complexity is the count
// of those ways out, not nesting, and it reads best in one piece.
int measureMain(int argc, char **argv)
{
    guardStandardStreams();
    MeasureSettings m;
    int status = parseMeasureOptions(argc, argv, &m);
    if (status != RUN_CONTINUES) return status;
    // The plot's file is claimed before any sound, and placed after the results.
    PlotOutput plot;
    if (m.plotPath && printFailure(claimPlot(m.plotPath, &plot))) return 1;
    PlayedSignal played;
    if (printFailure(preparePlayed(m.request, &played))) return 1;
    SignalPlan plan;
    if (planMeasurementSignal(m.request.signal, &plan)) return 1;
    m.duplex.rateHz = m.request.signal.samplingHz;
    m.duplex.signalFrames = plan.request.size;

    OutputOwner out;
    if (m.savePath && !openOutput(m.savePath, &out.file)) {
        std::fprintf(stderr, "error: fail to open \"%s\".\n", m.savePath);
        return 1;
    }
    ScratchFile scratch;
    if (!scratch.create()) return printFailure(failure("fail to make a file for the recording."));
    const std::unique_ptr<Duplex> duplex = makeDuplex(m.backend);
    if (printFailure(duplex->open(m.duplex))) return 1;
    RecordOptions options;
    options.rateHz = m.duplex.rateHz;
    options.progress = isatty(STDERR_FILENO);
    if (printFailure(recordMeasurement(duplex.get(), &plan, options, scratch))) return 1;

    // The recording is whole: it is kept even where the analysis refuses it.
    if (m.savePath && saveRecording(scratch, &out.file, m.savePath)) return 1;
    Recording rec;
    if (printFailure(openRecording(scratch.path().c_str(), &rec))) return 1;
    rec.name = m.request.recordingName;
    AnalysisOutcome outcome;
    if (printFailure(analyzeRecording(m.request, played, &rec, &outcome))) return 1;
    std::fputs(outcome.warnings.c_str(), stderr);
    printLatency(outcome.analysis, duplex->latency(), m.duplex.rateHz, m.backend);
    if (m.plotPath && printFailure(writePlot(outcome.analysis, &plot))) return 1;
    if (printOutput(outcome.results, "the results")) return 1;
    return m.plotPath ? printFailure(commitPlot(&plot)) : 0;
}

}  // namespace

int main(int argc, char **argv) { return runMain(measureMain, argc, argv); }
