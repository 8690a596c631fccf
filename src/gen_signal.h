// Signal generation: sum of sinusoids, fades, level measurement and setting,
// overflow check and conversion to 16-bit samples.
#ifndef SONVEL_GEN_SIGNAL_H
#define SONVEL_GEN_SIGNAL_H

#include <cstdint>

// Sample buffer types.
constexpr int BUF_SHORT = 0;   // 16-bit signed samples
constexpr int BUF_DOUBLE = 1;  // doubles

// 2 pi as the double closest to it; the angular step is TWO_PI / sampling frequency.
constexpr double TWO_PI = 6.283185307179586;

// 16-bit full scale, the reference of every level in dB.
constexpr double FULL_SCALE = 32767.0;

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

// Adds the sum of count components over size samples at fs Hz into x (samples in order,
// components in table order): a 0 Hz component adds its amplitude, any other
// sin((n * step) * freq + phase) * amp.
void sumComponents(double *x, int size, const double *freq, const double *amp,
                   const double *phase, int count, int fs);

// Sums count components over size samples at fs Hz and hands the sum to makeSoundSignal.
int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out);

#endif
