// WAVE output: the 44-byte canonical PCM WAVE header.
#ifndef SONVEL_WAV_IO_H
#define SONVEL_WAV_IO_H

#include <cstdint>
#include <cstdio>

constexpr int WAV_HEADER_SIZE = 44;

// v's lowest `bytes` bytes at p, little-endian; inline, as samples are stored with it.
inline void putLe(unsigned char *p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Writes the header for `samples` samples (not frames) of `bits` bits and `channels`
// channels at `rate` Hz to stream, in one write. Returns 0, or 1 on a short write or
// when the byte size of the samples does not fit the header (nothing is written then).
int writeWavHead(int rate, int bits, int channels, int samples, FILE *stream);

#endif
