#include "format.h"

#include <cmath>
#include <cstring>

#include "engine.h"
#include "random.h"
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

// Triangular dither in (-1, 1) LSB: the sum of two uniform values in [0, 1), less 1,
// each from 32 bits of one random number.
double triangular(uint64_t *state)
{
    const uint64_t r = nextRandom(state);
    return (static_cast<double>(r >> 32) + static_cast<double>(r & 0xffffffffu)) * 0x1p-32 - 1.0;
}

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
    return (0xffffffffLL - (waveHeaderSize(format) - 8)) / bytesPerSample(format);
}

int writeWaveHeader(SampleFormat format, int rate, long long samples, FILE *stream)
{
    return writeWaveHeader({rate, 8 * bytesPerSample(format), 1, isFloat(format)}, samples, stream);
}

void storeBlock(const double *x, int begin, int end, int size, int taper, double gain,
                Quantizing *q, unsigned char *out, double *sum)
{
    const SampleFormat format = q->format;
    const Quantizer quantizer = q->quantizer;
    if (format == SampleFormat::S16 && quantizer == Quantizer::Truncate) {
        // The default takes the direct conversion, and the exact sum of 16-bit squares.
        int16_t samples[BLOCK_SAMPLES];
        for (int from = begin; from < end; from += BLOCK_SAMPLES) {
            const int count = std::min(BLOCK_SAMPLES, end - from);
            convertBlock(x + (from - begin), count, gain, samples);
            *sum = addSquares(samples, from, from + count, size, taper, *sum);
            for (int n = 0; n < count; n++)
                putLe(out + 2 * (from - begin + n), static_cast<uint16_t>(samples[n]), 2);
        }
        return;
    }
    // Kept in locals: writes through out might otherwise alias *q.
    uint64_t ditherState = q->ditherState;
    const int bytes = bytesPerSample(format);
    const double top = fullScaleOf(format);
    double s = *sum;
    for (int n = begin; n < end; n++) {
        const double y = x[n - begin] * gain;
        double v;
        if (isFloat(format)) {
            const float f = static_cast<float>(y);
            std::memcpy(out + 4 * (n - begin), &f, 4);  // IEEE single, little-endian hosts
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            std::reverse(out + 4 * (n - begin), out + 4 * (n - begin) + 4);
#endif
            v = f;
        } else {
            v = quantizer == Quantizer::Truncate ? std::trunc(y)
                : quantizer == Quantizer::Round  ? std::nearbyint(y)
                                                 : std::nearbyint(y + triangular(&ditherState));
            // Dither may carry a sample at full scale one step beyond it.
            v = v > top ? top : v < -top ? -top : v;
            putLe(out + bytes * (n - begin), static_cast<uint32_t>(static_cast<int32_t>(v)), bytes);
        }
        if (n >= taper && n < size - taper) s = s + v * v;
    }
    *sum = s;
    q->ditherState = ditherState;
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
