// The recorder's clock against the player's. A recorder whose clock runs at ratio times
// the player's holds played sample n at frame delay0 + n ratio: the delay grows along
// the recording, and averaging periods smears the high lines. The ratio is measured
// from the delays of short stretches of periods spread over the periods used, and
// where it matters the recording is resampled (libsoxr) onto the player's clock before
// the periods are read.
#ifndef SONVEL_DRIFT_H
#define SONVEL_DRIFT_H

#include <memory>
#include <string>

#include "analysis.h"
#include "recording.h"
#include "result.h"

// The largest drift found: stretches lie close enough that the delay moves by at most
// an eighth of the period's repetition between neighbours at this rate.
constexpr double MAX_DRIFT_PPM = 1000.0;

// A drift is corrected when it turns the highest excited line by this much or more
// over the periods used (its mean then loses about 1e-5 dB and a detection line
// next to it gains nothing above -120 dB).
constexpr double DRIFT_THRESHOLD_DEG = 1.0;

// The recorder's frames against the played samples: played sample n at frame
// delay0 + n ratio.
struct ClockFit {
    double ratio = 1.0;
    double delay0 = 0.0;
};

// Whether this build can resample (it found libsoxr).
bool driftCorrectable();

// The correction of the recording: a reader of the response (and reference) on the
// player's clock, whose frame j is the recording at origin + j ratio; the delay of the
// played signal and the frames in that reader's frames.
struct DriftCorrection {
    std::unique_ptr<ChannelReader> reader;
    ClockFit clock;
    long long origin = 0;
    double delay = 0.0;
    long long frames = 0;
};

// Measures the clock on the M periods from frame first (the recording's own frames,
// placed at delay), or takes the one given, and decides: out gets driftPpm and how it
// came about; where it is corrected, correction holds the reader and its frames.
Result settleDrift(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, long long first,
                   long long M, double delay, Analysis *out, DriftCorrection *correction);

// The delays and the first frame of an analysis made on the corrected reader, in the
// recording's own frames: where played sample 0 and the first period used lie in it.
void toRecordingFrames(const DriftCorrection &correction, bool withReference, Analysis *out);

#endif
