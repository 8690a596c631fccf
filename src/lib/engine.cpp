#include "engine.h"

#include "sizes.h"
#include "worker.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Asks for transparent huge pages on the 2 MiB-aligned interior of a large, still
// untouched buffer: a long signal then takes a few hundred page faults instead of
// hundreds of thousands, which on this kind of machine costs more than the synthesis.
// Where the system does not allow it, nothing changes. (SONVEL_NO_HUGE_PAGES builds a
// program without it, to measure what it brings.)
void adviseHugePages(void *p, size_t bytes)
{
#if defined(MADV_HUGEPAGE) && !defined(SONVEL_NO_HUGE_PAGES)
    const uintptr_t HUGE_PAGE = 2u << 20;
    if (bytes < 2 * HUGE_PAGE) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

template <typename T>
T *allocZeroed(int n)
{
    if (n < 0) return nullptr;
    size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    T *p = static_cast<T *>(std::calloc(count, sizeof(T)));
    if (p) adviseHugePages(p, count * sizeof(T));
    return p;
}

void reportProgress(const SignalRequest &req, long long done, long long total)
{
    if (req.progress) req.progress(req.progressContext, done, total);
}

// Samples begin .. end - 1 of the signal, summed and tapered, into x, whatever it held.
void makeBlock(const SignalRequest &req, double *x, int begin, int end)
{
    std::fill(x, x + (end - begin), 0.0);
    sumBlock(req.kernel, x, begin, end, req.freq, req.amp, req.phase, req.count, angularStep(req.fs));
    taperBlock(x, begin, end, req.size, req.taper);
}

// More threads than this would each hold a share too small to pay for itself, and
// the slots of their blocks (up to 8 MiB) would crowd the caches.
constexpr int MAX_THREADS = 16;

// The threads a run may use to make its blocks: one for a short run.
int threadsFor(const SignalRequest &req)
{
    const long long work = static_cast<long long>(req.size) * (std::max(req.count, 0) + SAMPLE_TERMS);
    return work >= req.threadMinWork ? std::min(std::max(req.threads, 1), MAX_THREADS) : 1;
}

// Blocks go from thread to thread in stretches of consecutive blocks that take about
// 100 microseconds to make (terms at about half a nanosecond), so that a handover,
// which may wake a sleeping thread, costs a few percent at most: 25 blocks of one tone,
// one block of 64 components or more.
constexpr long long STRETCH_TERMS = 1LL << 18;
// Stretches a pass keeps in memory for each thread: one being made and three made
// ahead, so that a thread seldom finds the slots full and sleeps (with two, the worker
// of the 60-minute tone slept and was woken at every other stretch). The slots of all
// threads hold at most RING_BLOCKS blocks (8 MiB).
constexpr int SLOTS_PER_THREAD = 4;
constexpr int RING_BLOCKS = 512;

// The blocks of one pass over the signal, made on the run's threads and taken by the
// caller in index order. Each is made into the kept sum where there is one, else into
// a ring of slots; in the measuring pass its maker also finds its peaks, which do not
// depend on the order of the blocks, so that only the power sum is left to the caller.
class PassBlocks {
public:
    // With peaks, the peaks of every block taken are added to it.
    PassBlocks(const SignalRequest &req, double *kept, SignalMeasure *peaks)
        : req_(req), kept_(kept), peaks_(peaks), blocks_((req.size - 1) / BLOCK_SAMPLES + 1)
    {
        const long long blockTerms = BLOCK_SAMPLES * (std::max(req.count, 0) + SAMPLE_TERMS);
        // One thread makes each block in the same slot, which stays in the cache.
        int threads = threadsFor(req);
        int slots = threads == 1 ? 1 : threads * SLOTS_PER_THREAD;
        stretch_ = threads == 1 ? 1
                                : static_cast<int>(std::min<long long>(
                                      std::max<long long>(STRETCH_TERMS / blockTerms, 1),
                                      RING_BLOCKS / slots));
        if (!kept) {
            // Without memory for the ring, one thread makes every block in one slot.
            ring_.reset(allocDoubles(slots * stretch_ * BLOCK_SAMPLES));
            if (!ring_) threads = slots = stretch_ = 1;
        }
        slotPeaks_.resize(static_cast<size_t>(slots));
        pipeline_ = std::make_unique<WorkPipeline>(threads, (blocks_ - 1) / stretch_ + 1, slots,
                                                   makeStretch, this);
    }

    // The samples of a block, once made; x[0] is its first sample.
    const double *take(int block)
    {
        const int stretch = block / stretch_;
        if (block % stretch_ == 0) {
            slot_ = pipeline_->take(stretch);
            if (peaks_) {
                const SignalMeasure &p = slotPeaks_[static_cast<size_t>(slot_)];
                peaks_->maxAbs = std::max(peaks_->maxAbs, p.maxAbs);
                peaks_->maxAbsWindow = std::max(peaks_->maxAbsWindow, p.maxAbsWindow);
                peaks_->hasNaN |= p.hasNaN;
            }
        }
        return samplesOf(block, slot_);
    }

    // The caller is done with the samples of a block.
    void release(int block)
    {
        if ((block + 1) % stretch_ == 0 || block + 1 == blocks_) pipeline_->release(block / stretch_);
    }

private:
    double *samplesOf(int block, int slot)
    {
        if (kept_) return kept_ + static_cast<ptrdiff_t>(block) * BLOCK_SAMPLES;
        double *ring = ring_ ? ring_.get() : single_;
        return ring + (static_cast<ptrdiff_t>(slot) * stretch_ + block % stretch_) * BLOCK_SAMPLES;
    }

    static void makeStretch(void *context, int stretch, int slot)
    {
        PassBlocks *pass = static_cast<PassBlocks *>(context);
        const SignalRequest &req = pass->req_;
        SignalMeasure &peaks = pass->slotPeaks_[static_cast<size_t>(slot)];
        peaks = SignalMeasure();
        // The last stretch may hold fewer blocks. Block numbers stay below the count, so
        // that no start passes the size, which may lie just below 2^31.
        const int first = stretch * pass->stretch_;
        const int last = std::min(first + pass->stretch_, pass->blocks_);
        for (int block = first; block < last; block++) {
            const int begin = block * BLOCK_SAMPLES;
            const int end = blockEnd(begin, req.size);
            double *x = pass->samplesOf(block, slot);
            makeBlock(req, x, begin, end);
            if (pass->peaks_) peakBlock(x, begin, end, req.size, req.taper, &peaks);
        }
    }

    const SignalRequest &req_;
    double *const kept_;
    SignalMeasure *const peaks_;
    const int blocks_;  // of the signal
    int stretch_ = 1;   // blocks
    std::unique_ptr<double[], FreeDeleter> ring_;
    double single_[BLOCK_SAMPLES];
    std::vector<SignalMeasure> slotPeaks_;  // the peaks of the stretch in each slot
    int slot_ = 0;                          // of the stretch last taken
    // Last, so that the workers stop before anything they use goes.
    std::unique_ptr<WorkPipeline> pipeline_;
};

}  // namespace

double *allocDoubles(int n) { return allocZeroed<double>(n); }
int16_t *allocSamples(int n) { return allocZeroed<int16_t>(n); }

Result checkSizes(const char *function, int size, int taper)
{
    if (size >= 1 && taper >= 0 && checkFades(size, taper).ok()) return Status::Ok;
    Result r(Status::BadSizes);
    r.subject = function;
    r.value = size;
    r.taperSize = taper;
    return r;
}

SignalRequest signalRequest(int size, int taper, double level, const double *freq, const double *amp,
                            const double *phase, int count, int fs)
{
    SignalRequest req;
    req.size = size;
    req.taper = taper;
    req.level = level;
    req.freq = freq;
    req.amp = amp;
    req.phase = phase;
    req.count = count;
    req.fs = fs;
    req.kernel = chooseKernel();
    return req;
}

Result measureSignal(const SignalRequest &req, SignalPlan *plan, SignalMeasure *measure)
{
    const int size = req.size;
    Result sizes = checkSizes("generateComplexSine", size, req.taper);
    if (!sizes.ok()) return sizes;
    // Within the budget the sum is kept, and made only once; beyond it, or when the
    // memory is not to be had, every block is made again in the second pass.
    plan->sum.reset(8LL * size <= req.budgetBytes ? allocDoubles(size) : nullptr);
    const long long total = plan->sum ? size : 2LL * size;
    // The blocks' makers find their peaks; the power sum stays here, in index order.
    PassBlocks blocks(req, plan->sum.get(), measure);
    for (int k = 0, begin = 0, end = 0; begin < size; k++, begin = end) {
        reportProgress(req, begin, total);
        end = blockEnd(begin, size);
        const double *x = blocks.take(k);
        measure->sum = addSquares(x, begin, end, size, req.taper, measure->sum);
        blocks.release(k);
    }
    reportProgress(req, total, total);
    return Status::Ok;
}

Result planSignal(const SignalRequest &req, SignalPlan *plan)
{
    // The plan keeps its own request, pointing at its own copy of the components.
    plan->request = req;
    plan->freq.assign(req.freq, req.freq + std::max(req.count, 0));
    plan->amp.assign(req.amp, req.amp + std::max(req.count, 0));
    plan->phase.assign(req.phase, req.phase + std::max(req.count, 0));
    plan->request.freq = plan->freq.data();
    plan->request.amp = plan->amp.data();
    plan->request.phase = plan->phase.data();
    plan->spent = false;
    plan->samples = nullptr;
    const SignalRequest &r = plan->request;

    SignalMeasure m;
    Result measured = measureSignal(r, plan, &m);
    if (!measured.ok()) return measured;
    double peak = 0.0;
    Result level = setLevel(m, r.size, r.taper, LevelTarget{r.level, r.format, r.quantizer},
                            componentPowerOf(r.amp, r.count), &plan->gain, &peak);
    if (!level.ok()) return level;
    if (r.keepSamples && !plan->sum) {
        plan->kept.reset(static_cast<unsigned char *>(
            std::calloc(static_cast<size_t>(r.size) + 1, static_cast<size_t>(bytesPerSample(r.format)))));
        if (!plan->kept) return Status::NoSampleMemory;
    }
    return Status::Ok;
}

Result emitSignal(SignalPlan *plan, SampleSink sink, void *context, double *levelDb)
{
    if (plan->spent) return Status::PlanSpent;
    plan->spent = true;
    const SignalRequest &req = plan->request;
    const int size = req.size, taper = req.taper, bytes = bytesPerSample(req.format);
    // Where the whole converted signal is kept: in a kept sum, the stored samples take
    // the place of the doubles they come from (sample n's bytes lie below double n's
    // eight, which has been read by then).
    unsigned char *whole = !req.keepSamples ? nullptr
                           : plan->sum      ? reinterpret_cast<unsigned char *>(plan->sum.get())
                                            : plan->kept.get();
    Quantizing quantizing{req.format, req.quantizer, req.seed};
    double sumSquares = 0.0;
    bool stopped = false;
    // Beyond the budget the blocks are made again, as in the first pass.
    std::unique_ptr<PassBlocks> blocks;
    if (!plan->sum) blocks = std::make_unique<PassBlocks>(req, nullptr, nullptr);
    unsigned char out[4 * BLOCK_SAMPLES];
    for (int k = 0, begin = 0, end = 0; begin < size; k++, begin = end) {
        end = blockEnd(begin, size);
        const double *x = nullptr;
        if (plan->sum) {
            x = plan->sum.get() + begin;
        } else {
            reportProgress(req, size + static_cast<long long>(begin), 2LL * size);
            x = blocks->take(k);
        }
        const int count = end - begin;
        storeBlock(x, begin, end, size, taper, plan->gain, &quantizing, out, &sumSquares);
        if (blocks) blocks->release(k);
        const size_t blockBytes = static_cast<size_t>(count) * static_cast<size_t>(bytes);
        if (whole) std::memcpy(whole + static_cast<size_t>(begin) * static_cast<size_t>(bytes), out, blockBytes);
        if (!sink(out, count, context)) {
            stopped = true;
            break;
        }
    }
    if (!plan->sum) reportProgress(req, 2LL * size, 2LL * size);
    if (stopped) return Status::Stopped;
    plan->samples = whole;
    *levelDb = levelOf(sumSquares, size, taper, fullScaleOf(req.format));
    return Status::Ok;
}

// ---- The played period ----------------------------------------------------------

namespace {

// Samples first .. first + period - 1 of the signal into x, from the blocks the whole
// run makes.
void makePeriod(const SignalRequest &req, long long first, long long period, double *x)
{
    double block[BLOCK_SAMPLES];
    for (long long begin = first / BLOCK_SAMPLES * BLOCK_SAMPLES; begin < first + period;) {
        const long long end = blockEnd(static_cast<int>(begin), req.size);
        makeBlock(req, block, static_cast<int>(begin), static_cast<int>(end));
        for (long long n = std::max(begin, first); n < std::min(end, first + period); n++)
            x[n - first] = block[n - begin];
        begin = end;
    }
}

// The measure of the window between the fades from one period of it that starts at a
// multiple of the period: the peaks of the period, and the squares of the whole periods
// the window holds and of the part of one that remains. The fade-in ends taper % period
// samples into a period.
SignalMeasure windowMeasure(const SignalRequest &req, const double *x, long long period)
{
    SignalMeasure m;
    measureBlock(x, 0, static_cast<int>(period), static_cast<int>(period), 0, &m);
    const double periodSum = m.sum;
    const long long window = static_cast<long long>(req.size) - 2LL * req.taper;
    const long long offset = req.taper % period;
    double rest = 0.0;
    for (long long t = 0; t < window % period; t++) {
        const double v = x[(offset + t) % period];
        rest += v * v;
    }
    m.sum = static_cast<double>(window / period) * periodSum + rest;
    return m;
}

}  // namespace

Result playedPeriod(const SignalRequest &request, long long period, std::vector<double> *samples)
{
    Result sizes = checkSizes("playedPeriod", request.size, request.taper);
    if (!sizes.ok()) return sizes;
    // The period from a multiple of itself, the first wholly between the fades.
    const long long first = period >= 1 ? (request.taper + period - 1) / period * period : 0;
    if (period < 1 || first + period > static_cast<long long>(request.size) - request.taper)
        return failure(formatted("the signal holds no whole period (%lld samples) between its fades: "
                                 "lengthen -t or shorten -T.", period));
    std::vector<double> x(static_cast<size_t>(period));
    makePeriod(request, first, period, x.data());
    const SignalMeasure m = windowMeasure(request, x.data(), period);
    double gain = 0.0, peak = 0.0;
    Result level = setLevel(m, request.size, request.taper,
                            LevelTarget{request.level, request.format, request.quantizer},
                            componentPowerOf(request.amp, request.count), &gain, &peak);
    if (!level.ok()) return level;
    Quantizing q;
    q.format = request.format;
    q.quantizer = request.quantizer == Quantizer::Tpdf ? Quantizer::Round : request.quantizer;
    std::vector<unsigned char> stored(static_cast<size_t>(period * bytesPerSample(request.format)));
    double storedSum = 0.0;
    storeBlock(x.data(), 0, static_cast<int>(period), static_cast<int>(period), 0, gain, &q, stored.data(),
               &storedSum);
    x = std::vector<double>();
    // A reader of the file takes an integer sample as its value over 2^(bits - 1).
    const double scale = isFloat(request.format) ? 1.0 : fullScaleOf(request.format) + 1.0;
    samples->resize(static_cast<size_t>(period));
    for (long long n = 0; n < period; n++)
        (*samples)[static_cast<size_t>(n)] = sampleValue(stored.data(), request.format, n) / scale;
    return Status::Ok;
}
