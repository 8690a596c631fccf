// Signal generation as whole buffers: the sum of sinusoids, the fades, the level
// measurement and setting, the overflow check and the conversion to 16-bit samples.
// These functions print their failures on standard error and end the program on an
// illegal buffer type; they are thin wrappers over the engine (engine.h), which the
// programs use directly.
#ifndef SONVEL_GEN_SIGNAL_H
#define SONVEL_GEN_SIGNAL_H

#include <cstdint>

#include "engine.h"

// Sample buffer types.
constexpr int BUF_SHORT = 0;   // 16-bit signed samples
constexpr int BUF_DOUBLE = 1;  // doubles

// Mean power in dB relative to 16-bit full scale of samples taper .. size - taper - 1.
// signal holds size samples of bufType. Ends the program on an illegal bufType.
double calcPower(const void *signal, int bufType, int size, int taper);

// Fades both ends of x linearly over taper samples, in place.
void addTaper(double *x, int size, int taper);

// Multiplies x by gain in place; returns the largest absolute value after scaling.
double scale(double *x, int size, double gain);

// Tapers a copy of signal, sets its level to level dB, refuses overflow and converts
// to 16 bits by truncation. Fills out, or a new zero-filled buffer (to be released
// with free) when out is null. Returns null after a message on standard error.
int16_t *makeSoundSignal(const void *signal, int bufType, int size, int taper, int level,
                         int16_t *out);

// Sums count components over size samples at fs Hz and brings the sum to level dB as
// makeSoundSignal does. Fills out, or a new buffer when out is null; null after the
// messages.
int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out);

#endif
