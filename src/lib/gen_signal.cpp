#include "gen_signal.h"

#include "worker.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Prints the failure of a result; returns whether there was one.
bool failed(const Result &r)
{
    if (r.ok()) return false;
    std::fputs(r.message().c_str(), stderr);
    return true;
}

void refuseBufType(const char *function)
{
    std::fprintf(stderr, "Error: %s(): illegal buf_type\n", function);
    std::exit(1);
}

}  // namespace

double calcPower(const void *signal, int bufType, int size, int taper)
{
    if (bufType != BUF_SHORT && bufType != BUF_DOUBLE) refuseBufType("calcPower");
    if (failed(checkSizes("calcPower", size, taper))) return NAN;
    const double sum = bufType == BUF_SHORT
                           ? addSquares(static_cast<const int16_t *>(signal), 0, size, size, taper, 0.0)
                           : addSquares(static_cast<const double *>(signal), 0, size, size, taper, 0.0);
    return levelOf(sum, size, taper);
}

void addTaper(double *x, int size, int taper)
{
    if (failed(checkSizes("addTaper", size, taper))) return;
    taperBlock(x, 0, size, size, taper);
}

double scale(double *x, int size, double gain)
{
    double peak = 0.0;
    for (int n = 0; n < size; n++) {
        double y = x[n] * gain;
        if (y > peak) peak = y;
        if (-y > peak) peak = -y;
        x[n] = y;
    }
    return peak;
}

int16_t *makeSoundSignal(const void *signal, int bufType, int size, int taper, int level,
                         int16_t *out)
{
    if (failed(checkSizes("makeSoundSignal", size, taper))) return nullptr;
    std::unique_ptr<double[], FreeDeleter> work(allocDoubles(size));
    if (failed(work ? Status::Ok : Status::NoWorkMemory)) return nullptr;
    if (bufType == BUF_DOUBLE) {
        std::memcpy(work.get(), signal, sizeof(double) * static_cast<size_t>(size));
    } else if (bufType == BUF_SHORT) {
        const int16_t *s = static_cast<const int16_t *>(signal);
        for (int n = 0; n < size; n++) work[n] = s[n];
    } else {
        work.reset();
        refuseBufType("makeSoundSignal");
    }
    // The engine's level path on the whole buffer: fades, measurement, level setting
    // (the components are not known here, so no test for their cancelling), conversion.
    taperBlock(work.get(), 0, size, size, taper);
    SignalMeasure m;
    measureBlock(work.get(), 0, size, size, taper, &m);
    double gain = 0.0, peak = 0.0;
    if (failed(setLevel(m, size, taper, LevelTarget{static_cast<double>(level)}, 0.0, &gain, &peak)))
        return nullptr;
    if (!out) out = allocSamples(size);
    if (failed(out ? Status::Ok : Status::NoSampleMemory)) return nullptr;
    convertBlock(work.get(), size, gain, out);
    return out;
}

namespace {

// Stores 16-bit little-endian samples in the caller's buffer (a SampleSink).
bool copyInto(const unsigned char *bytes, int count, void *context)
{
    int16_t *&at = *static_cast<int16_t **>(context);
    for (int n = 0; n < count; n++)
        *at++ = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * n] | bytes[2 * n + 1] << 8));
    return true;
}

}  // namespace

int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out)
{
    // The run's engine, with the whole sum kept where the memory allows (else made
    // twice): the same samples as a run of the program.
    SignalRequest req = signalRequest(size, taper, level, freq, amp, phase, count, fs);
    req.threads = usableProcessors();
    req.budgetBytes = 8LL * size;
    SignalPlan plan;
    Result r = planSignal(req, &plan);
    std::unique_ptr<int16_t[], FreeDeleter> made;
    if (r.ok() && !out) {
        made.reset(allocSamples(size));
        if (!made) r = Status::NoSampleMemory;
    }
    if (failed(r)) {
        if (r.status != Status::BadSizes) std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        return nullptr;
    }
    int16_t *target = out ? out : made.release();
    int16_t *at = target;
    double levelDb = 0.0;
    emitSignal(&plan, copyInto, &at, &levelDb);
    return target;
}
