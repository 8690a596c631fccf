// The engine's last stage, declared in engine.h: scaled samples brought to the output
// format and stored as they go to disk.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine.h"
#include "random.h"
#include "wav_io.h"

namespace {

// Triangular dither in (-1, 1) LSB: the sum of two uniform values in [0, 1), less 1,
// each from 32 bits of one random number.
double triangular(uint64_t *state)
{
    const uint64_t r = nextRandom(state);
    return (static_cast<double>(r >> 32) + static_cast<double>(r & 0xffffffffu)) * 0x1p-32 - 1.0;
}

}  // namespace

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
