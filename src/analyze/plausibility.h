// Checks that the recording is what the analysis assumes: the signal of this list, in
// the response channel, over enough periods. Each doubt is a warning in out->warnings.
#ifndef SONVEL_PLAUSIBILITY_H
#define SONVEL_PLAUSIBILITY_H

#include "analysis.h"
#include "recording.h"
#include "result.h"

// After the lines are described. May read other channels of rec over the same periods
// (only when the response looks like a loopback); fails only where that reading does.
Result checkPlausibility(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *out);

// The chance that noise alone gives a line of this SNR (one period's noise, in dB) or
// more in the mean of M periods.
double noiseChance(double snrDb, long long M);

#endif
