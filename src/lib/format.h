// Sample formats of the output: 16-, 24- and 32-bit integer PCM and 32-bit float, the
// ways of bringing a scaled sample to an integer, and the bytes each takes on disk. The
// engine (engine.h) builds on these; nothing here uses it.
#ifndef SONVEL_FORMAT_H
#define SONVEL_FORMAT_H

#include <cstdint>
#include <cstdio>

enum class SampleFormat { S16, S24, S32, F32 };

// How a scaled sample becomes an integer: toward zero (the default), to the nearest
// (ties to even), or to the nearest after adding triangular dither of +-1 LSB.
enum class Quantizer { Truncate, Round, Tpdf };

// The largest sample value, the reference of every level in dB: 32767, 8388607,
// 2147483647, or 1.0 for float.
double fullScaleOf(SampleFormat format);
int bytesPerSample(SampleFormat format);
bool isFloat(SampleFormat format);

// The names on the command line ("s16", "s24", "s32", "f32"; "truncate", "round",
// "tpdf"): false for any other text.
bool sampleFormatNamed(const char *name, SampleFormat *format);
bool quantizerNamed(const char *name, Quantizer *quantizer);
const char *nameOf(SampleFormat format);
const char *nameOf(Quantizer quantizer);

// The largest number of samples a WAVE file of the format can hold: the RIFF size,
// a 32-bit unsigned field, counts the data, its pad byte and the header after its own
// field.
long long maxWaveSamples(SampleFormat format);

// 1 where samples of the format make an odd count of data bytes, which a WAVE file
// follows with a pad byte of 0; else 0.
int waveDataPad(SampleFormat format, long long samples);

// Whether the byte rate of mono samples of the format at rate Hz fits the header's
// unsigned 32-bit field.
bool waveByteRateFits(SampleFormat format, int rate);

// The WAVE header for samples samples of the format at rate Hz, mono: wav_io.h's
// writeWaveHeader, 44 bytes for the integer formats and 58 for float, with the pad
// byte that follows odd data counted. Returns 0, or 1 on a short write or a size or
// rate the header cannot hold.
int writeWaveHeader(SampleFormat format, int rate, long long samples, FILE *stream);
int waveHeaderSize(SampleFormat format);

// The value of sample i of little-endian samples of the format.
double sampleValue(const unsigned char *bytes, SampleFormat format, long long i);

#endif
