// The settings every program shares: the built-in defaults, the signal's sizes in
// samples and their limits.
#ifndef SONVEL_SIZES_H
#define SONVEL_SIZES_H

#include "result.h"

// Built-in defaults, written once: the settings and the option summaries use them.
constexpr int DEFAULT_DURATION_MS = 500;
constexpr int DEFAULT_SAMPLING_HZ = 12000;
constexpr int DEFAULT_LEVEL_DB = -15;
constexpr int DEFAULT_TAPER_MS = 50;

// Largest data size in samples: a WAVE file's RIFF size, 2 bytes a sample plus the
// 36 bytes of header that follow the size field, must fit in 32 bits unsigned.
constexpr int MAX_DATA_SIZE = 2147483629;

// Size in samples of ms milliseconds at samplingHz: floor(rate * ms / 1000) in exact
// integer arithmetic (a floating-point product can fall just below a whole number:
// 37800 Hz and 100 ms must give 3780). Both arguments are positive or zero.
long long samplesOf(int samplingHz, int ms);

// Whether text, read as atoi reads it (blanks, a sign, digits up to the first other
// character), holds a value within the range of a 32-bit int.
bool fitsInt(const char *text);

// The data and taper sizes in samples of a signal of durationMs with fades of taperMs
// at samplingHz, or the refusal of a duration or rate not above 0, a negative taper or
// sizes beyond maxSamples (MAX_DATA_SIZE, or less for a format of wider samples).
Result signalSizes(int samplingHz, int durationMs, int taperMs, int *dataSize, int *taperSize,
                   long long maxSamples = MAX_DATA_SIZE);

// Whether two fades of taper samples fit in a signal of size samples (they may fill
// it); Status::FadesTooLong otherwise.
Result checkFades(long long size, long long taper);

#endif
