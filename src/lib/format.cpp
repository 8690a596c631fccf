#include "format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "wav_io.h"

double fullScaleOf(SampleFormat format)
{
    switch (format) {
    case SampleFormat::S16: return 32767.0;
    case SampleFormat::S24: return 8388607.0;
    case SampleFormat::S32: return 2147483647.0;
    case SampleFormat::F32: return 1.0;
    }
    return 32767.0;
}

int bytesPerSample(SampleFormat format)
{
    return format == SampleFormat::S16 ? 2 : format == SampleFormat::S24 ? 3 : 4;
}

bool isFloat(SampleFormat format) { return format == SampleFormat::F32; }

namespace {

const char *const FORMAT_NAMES[] = {"s16", "s24", "s32", "f32"};
const char *const QUANTIZER_NAMES[] = {"truncate", "round", "tpdf"};

}  // namespace

bool sampleFormatNamed(const char *name, SampleFormat *format)
{
    for (int i = 0; i < 4; i++)
        if (std::strcmp(name, FORMAT_NAMES[i]) == 0) return *format = static_cast<SampleFormat>(i), true;
    return false;
}

bool quantizerNamed(const char *name, Quantizer *quantizer)
{
    for (int i = 0; i < 3; i++)
        if (std::strcmp(name, QUANTIZER_NAMES[i]) == 0) return *quantizer = static_cast<Quantizer>(i), true;
    return false;
}

const char *nameOf(SampleFormat format) { return FORMAT_NAMES[static_cast<int>(format)]; }
const char *nameOf(Quantizer quantizer) { return QUANTIZER_NAMES[static_cast<int>(quantizer)]; }

int waveHeaderSize(SampleFormat format) { return isFloat(format) ? WAV_FLOAT_HEADER_SIZE : WAV_HEADER_SIZE; }

long long maxWaveSamples(SampleFormat format)
{
    const long long room = 0xffffffffLL - (waveHeaderSize(format) - 8);
    const long long samples = room / bytesPerSample(format);
    return samples - waveDataPad(format, samples) * (samples * bytesPerSample(format) + 1 > room);
}

int waveDataPad(SampleFormat format, long long samples) { return static_cast<int>(samples * bytesPerSample(format) % 2); }

bool waveByteRateFits(SampleFormat format, int rate)
{
    return static_cast<long long>(rate) * bytesPerSample(format) <= 0xffffffffLL;
}

int writeWaveHeader(SampleFormat format, int rate, long long samples, FILE *stream)
{
    return writeWaveHeader({rate, 8 * bytesPerSample(format), 1, isFloat(format), true}, samples, stream);
}

double sampleValue(const unsigned char *bytes, SampleFormat format, long long i)
{
    const int width = bytesPerSample(format);
    const unsigned char *p = bytes + width * i;
    if (isFloat(format)) {
        float f;
        unsigned char le[4] = {p[0], p[1], p[2], p[3]};
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        std::reverse(le, le + 4);
#endif
        std::memcpy(&f, le, 4);
        return f;
    }
    uint32_t v = 0;
    for (int k = width - 1; k >= 0; k--) v = v << 8 | p[k];
    // Sign-extend from the sample's width.
    const int shift = 32 - 8 * width;
    return static_cast<double>(static_cast<int32_t>(v << shift) >> shift);
}
