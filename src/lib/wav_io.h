// WAVE output: the 44-byte canonical PCM WAVE header.
#ifndef SONVEL_WAV_IO_H
#define SONVEL_WAV_IO_H

#include <cstdio>

constexpr int WAV_HEADER_SIZE = 44;

// Writes the header for `samples` samples (not frames) of `bits` bits and `channels`
// channels at `rate` Hz to stream, in one write. Returns 0, or 1 on a short write or
// when the byte size of the samples does not fit the header (nothing is written then).
int writeWavHead(int rate, int bits, int channels, int samples, FILE *stream);

#endif
