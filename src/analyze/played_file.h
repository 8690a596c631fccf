// The played signal read from the file sonvel wrote, and the checks of what the
// recording shows against the played signal's length and fades.
#ifndef SONVEL_PLAYED_FILE_H
#define SONVEL_PLAYED_FILE_H

#include "analysis.h"
#include "cli.h"
#include "result.h"

// The spectrum and the excited bins of a played signal whose rate, period and samples
// are set. Refused when no line is left to analyse.
Result describePlayed(const PlayedList &list, PlayedSignal *played);

// The played signal from the file sonvel wrote (any mono file libsndfile reads): its
// rate, length and fades, and as its period the mean of its whole periods between the
// fades, exact without dither. The options that were given beside it and disagree with
// it (given: the options as given; levelDb: the level they aim at) become warnings in
// played->warnings; the file's values are used.
Result playedFromFile(const char *path, const PlayedList &list, const SignalOptions &given, double levelDb,
                      PlayedSignal *played);

// Compares where the placed recording holds the signal with the played signal: a
// signal that lasts longer or shorter, or a fade-in longer or shorter than the played
// one, gives a warning that names -t or -T (or the played file).
void checkEnvelope(Recording *rec, const PlayedSignal &played, const AnalyzeSettings &s, Analysis *a);

#endif
