// The low-crest search's driver: the starts, their lanes and threads, and which start
// goes on to the last stages. The stages are in stages.cpp, the peaks in peaks.cpp.
#include "search.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <new>

#include "stages.h"
#include "worker.h"

using namespace lowcrest;

namespace {

// Start k's state: the seed and k mixed, so that no start depends on how many there are.
uint64_t startState(uint64_t seed, int start)
{
    uint64_t state = seed ^ (0xd1b54a32d192ed03ULL * static_cast<uint64_t>(start + 1));
    nextRandom(&state);
    return state;
}

// The grids of one lane of the search: each start's clipping and Lp stages are made on
// a lane of their own, so that several starts can be made at once.
SearchGrids openGrids(const std::vector<int> &bins, const std::vector<double> &amp,
                      const SearchSettings &settings)
{
    SearchGrids grids;
    grids.peak = settings.peak;
    if (settings.peak != PEAK_SAMPLES) {
        grids.fine = openTransform(trueGridSize(bins));
        const long long n = normGridSize(bins, amp);
        if (n < grids.fine->size()) grids.coarse = openTransform(n);
    }
    if (settings.peak != PEAK_TRUE) grids.samples = openTransform(settings.period);
    return grids;
}

// Bytes of a lane's transforms: a signal and a half spectrum each.
double laneBytes(const SearchGrids &g)
{
    double points = 0.0;
    for (const Transform *t : {g.fine.get(), g.coarse.get(), g.samples.get()})
        if (t) points += t->size();
    return 16.0 * points;
}

// Threads of the search: the processors asked for (or those the process may use) while
// a lane for each, and one more, take at most 256 MiB together; one where the first
// start alone will spend the time, and a start made ahead would be thrown away.
int searchThreads(const SearchSettings &settings, const SearchGrids &first, size_t lines)
{
    if (settings.starts == 0 && startSeconds(first, lines) >= settings.seconds) return 1;
    int threads = settings.threads > 0 ? settings.threads : usableProcessors();
    while (threads > 1 && (threads + 1) * laneBytes(first) > 256.0 * 1024 * 1024) threads--;
    return std::max(threads, 1);
}

// A start's clipping and Lp stages: where they ended, its measure there and their
// counted work. They depend on the seed and the start alone.
struct Lane {
    SearchGrids grids;
    std::vector<double> phase;
    double screen = 0.0, work = 0.0;
    bool outOfMemory = false;  // handed to the caller, as a worker thread cannot throw
};

struct StartMaker {
    const std::vector<int> *bins;
    const std::vector<double> *amp;
    const SearchSettings *settings;
    std::vector<Lane> *lanes;
    std::atomic<bool> done{false};  // no further start is wanted: stop between stages
};

void makeLpStages(StartMaker *m, int item, Lane &lane)
{
    const std::vector<int> &bins = *m->bins;
    const std::vector<double> &amp = *m->amp;
    SearchGrids *g = &lane.grids;
    g->work = 0.0;
    uint64_t state = startState(m->settings->seed, item);
    lane.phase.clear();
    for (size_t j = 0; j < bins.size(); j++) lane.phase.push_back(2.0 * PI * uniformRandom(&state));
    clipPhases(g->clipping(), bins, amp, &lane.phase, CLIPPING_STEPS);
    g->work += CLIPPING_STEPS * (transformSeconds(g->clipping(), 2) + evaluationSeconds(bins.size()));
    Best unused;  // the grid stages offer nothing
    for (int p = 4; p <= 512 && !m->done.load(std::memory_order_relaxed); p *= 2)
        descend(g, bins, amp, &lane.phase, p, false, LP_STEPS, &unused, item + 1);
    lane.screen = measureOf(g, bins, amp, lane.phase);
    lane.work = g->work;
}

void makeStart(void *context, int item, int slot)
{
    StartMaker *m = static_cast<StartMaker *>(context);
    Lane &lane = (*m->lanes)[static_cast<size_t>(slot)];
    try {
        lane.outOfMemory = false;
        makeLpStages(m, item, lane);
    } catch (const std::bad_alloc &) {
        lane.outOfMemory = true;
    }
}

// The lanes of the search, and its threads in *threads: one lane more than threads, as
// the caller keeps a start's lane through its last stages while the others make the
// next starts; one lane for one thread.
std::vector<Lane> openLanes(const std::vector<int> &bins, const std::vector<double> &amp,
                            const SearchSettings &settings, int *threads)
{
    std::vector<Lane> lanes(1);
    lanes[0].grids = openGrids(bins, amp, settings);
    *threads = searchThreads(settings, lanes[0].grids, bins.size());
    lanes.resize(static_cast<size_t>(*threads > 1 ? *threads + 1 : 1));
    for (size_t i = 1; i < lanes.size(); i++) lanes[i].grids = openGrids(bins, amp, settings);
    return lanes;
}

}  // namespace

double wrapPhase(double phase)
{
    double r = std::fmod(phase + PI, 2.0 * PI);
    if (r <= 0.0) r += 2.0 * PI;
    return r - PI;
}

SearchOutcome lowCrestPhases(const std::vector<int> &bins, const std::vector<double> &amp,
                             const SearchSettings &settings)
{
    int threads = 1;
    std::vector<Lane> lanes = openLanes(bins, amp, settings, &threads);
    const int slots = static_cast<int>(lanes.size());

    // Starts go on while the work so far is below the time, or up to settings.starts.
    // The starts' clipping and Lp stages are made ahead, on several threads; which start
    // goes on, what it costs and which point wins is decided here, start by start, so
    // that the result is that of one thread.
    double work = 0.0;
    auto another = [&](int start) {
        return settings.starts > 0 ? start <= settings.starts : start == 1 || work < settings.seconds;
    };
    StartMaker maker{&bins, &amp, &settings, &lanes};
    SearchOutcome out;
    Best best;
    double bestScreen = INFINITY;  // the best the Lp stages have reached
    {
        WorkPipeline pipeline(threads, settings.starts > 0 ? settings.starts : INT_MAX, slots, makeStart, &maker);
        for (int start = 1; another(start); start++) {
            Lane &lane = lanes[static_cast<size_t>(pipeline.take(start - 1))];
            if (lane.outOfMemory) {
                maker.done = true;
                throw std::bad_alloc();
            }
            out.starts = start;
            work += lane.work;
            best.offer(lane.screen, lane.phase, start);
            // A start that ends the Lp stages more than 0.3 % above the best so far
            // seldom ends the last ones below it, and they cost ten times as much: on 300
            // starts of 127 lines the peaks before and after them correlate at 0.95, and
            // the ten best after were among the thirty best before.
            const bool last = lane.screen <= 1.003 * bestScreen;
            if (last) {
                bestScreen = std::min(bestScreen, lane.screen);
                // The last stages share settings.iterations steps and pass to the next p
                // only once a stage has stopped gaining, so that a run of more steps
                // follows the same path further and its best point is never worse.
                work += lastStagesSeconds(lane.grids, bins.size());
            }
            // Once the work is spent, the starts being made ahead are not wanted: they
            // stop at their next stage rather than share the processors with this one.
            if (!another(start + 1)) maker.done = true;
            if (last) {
                int steps = settings.iterations;
                for (int p = 2048; p <= 8192 && steps > 0; p *= 4)
                    steps -= descend(&lane.grids, bins, amp, &lane.phase, p, true, steps, &best, start);
            }
            pipeline.release(start - 1);
        }
        maker.done = true;
    }
    out.phase = best.phase;
    out.peak = best.measure;
    out.bestStart = best.start;
    for (double &ph : out.phase) ph = wrapPhase(ph);
    return out;
}
