// The stages of a low-crest start: iterative clipping, descents of the Lp norm of the
// signal on a grid and of its continuous maxima, the measure the starts are judged by,
// and the counted work that stands for their time.
#ifndef SONVEL_DESIGN_STAGES_H
#define SONVEL_DESIGN_STAGES_H

#include <cmath>
#include <cstddef>
#include <vector>

#include "peaks.h"
#include "search.h"

namespace lowcrest {

// Steps of iterative clipping that open each start, and the most steps of each of the
// Lp stages that follow.
constexpr int CLIPPING_STEPS = 100;
constexpr int LP_STEPS = 100;

// The grids a search works on, and what it lowers on them.
struct SearchGrids {
    PeakKind peak;
    TransformHandle fine;     // the true peak
    TransformHandle coarse;   // a coarser grid for the clipping and the Lp stages, if any
    TransformHandle samples;  // the period's samples
    // The work done so far, in estimated seconds: counted, not measured, so that the
    // starts a time allows are the same on any machine and under any load.
    double work = 0.0;

    // The grid of the Lp stages, and of the clipping, which works on the grid whose
    // peak is lowered.
    Transform *norm() const { return coarse ? coarse.get() : fine.get(); }
    Transform *clipping() const { return peak == PEAK_SAMPLES ? samples.get() : norm(); }
};

// Iterative clipping: the signal is clipped at a fraction of its peak and the phases
// of the clipped signal's lines are kept, with the amplitudes restored.
void clipPhases(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                std::vector<double> *phase, int iterations);

// Estimated seconds of `transforms` transforms on the grid of t (none without t), and of
// the rest of one evaluation over the lines.
double transformSeconds(const Transform *t, int transforms);
double evaluationSeconds(size_t lines);

// The counted work of a start's last stages, and of a whole start, foreseen.
double lastStagesSeconds(const SearchGrids &g, size_t lines);
double startSeconds(const SearchGrids &g, size_t lines);

// The measure the starts are judged by: the peak, or the product of both peaks. Adds
// its work to g->work.
double measureOf(SearchGrids *g, const std::vector<int> &bins, const std::vector<double> &amp,
                 const std::vector<double> &phase);

// The lowest measure met so far, and where.
struct Best {
    double measure = INFINITY;
    std::vector<double> phase;
    int start = 0;
    void offer(double m, const std::vector<double> &at, int from)
    {
        if (m < measure) {
            measure = m;
            phase = at;
            start = from;
        }
    }
};

// Lowers stageNorm by limited-memory BFGS (eight pairs) with a backtracking line search,
// until a step gains less than a part in 10^12 or after `iterations` steps; returns the
// steps taken, plus one for the step that ended the stage. On the maxima, every point it
// evaluates is offered to *best.
int descend(SearchGrids *grids, const std::vector<int> &bins, const std::vector<double> &amp,
            std::vector<double> *phase, int p, bool maxima, int iterations, Best *best, int start);

}  // namespace lowcrest

#endif
