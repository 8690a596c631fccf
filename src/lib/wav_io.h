// WAVE output: the header of a file of integer PCM samples (the canonical 44 bytes) or
// of IEEE float samples (58 bytes), and the little-endian stores that fill it.
#ifndef SONVEL_WAV_IO_H
#define SONVEL_WAV_IO_H

#include <cstdint>
#include <cstdio>

constexpr int WAV_HEADER_SIZE = 44;        // integer PCM
constexpr int WAV_FLOAT_HEADER_SIZE = 58;  // IEEE float: an 18-byte fmt chunk and a fact chunk

// v's lowest `bytes` bytes at p, little-endian; inline, as samples are stored with it.
inline void putLe(unsigned char *p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// What a header describes: samples of `bits` bits, integer or IEEE float, interleaved
// in `channels` channels at `rate` Hz.
struct WaveCoding {
    int rate = 0;
    int bits = 16;
    int channels = 1;
    bool ieeeFloat = false;
    // The writer of the samples follows an odd count of data bytes with the pad byte
    // that RIFF requires, and the RIFF size counts it; the data size does not.
    bool padded = false;
};

// The one WAVE header writer, for every format: writes the header for `samples`
// samples (not frames) to stream, in one write. Returns 0, or 1 on a short write or
// when the RIFF size (data bytes, a pad byte, and the header after its first 8 bytes)
// or the byte rate does not fit its unsigned 32-bit field (nothing is written then).
int writeWaveHeader(const WaveCoding &coding, long long samples, FILE *stream);

// The integer PCM header: writeWaveHeader for samples of `bits` bits.
int writeWavHead(int rate, int bits, int channels, int samples, FILE *stream);

#endif
