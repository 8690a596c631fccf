#include "wav_io.h"

#include <cstdint>
#include <cstring>

// Header layout, every integer little-endian; the data chunk follows the fmt chunk for
// integer PCM (44 bytes), and the fact chunk for IEEE float (58 bytes):
//   offset size field
//        0    4 "RIFF"
//        4    4 RIFF size = data bytes + header size - 8: the "WAVE" tag, the fmt
//                 chunk, the fact chunk if any and the data chunk's 8-byte header;
//                 and the pad byte after an odd count of data bytes, where written
//        8    4 "WAVE"
//       12    4 "fmt "
//       16    4 fmt size = 16, or 18 for float
//       20    2 audio format = 1 (integer PCM) or 3 (IEEE float)
//       22    2 channels
//       24    4 sample rate
//       28    4 byte rate = rate * block align
//       32    2 block align = bits * channels / 8
//       34    2 bits per sample
//   integer PCM:
//       36    4 "data"
//       40    4 data bytes
//   IEEE float:
//       36    2 extension size = 0
//       38    4 "fact"
//       42    4 fact size = 4
//       46    4 sample frames
//       50    4 "data"
//       54    4 data bytes
// The sizes are unsigned 32-bit fields and are computed as such, so that data sizes
// above 2^31 - 1 bytes are stored as the format defines them.
int writeWaveHeader(const WaveCoding &coding, long long samples, FILE *stream)
{
    const int size = coding.ieeeFloat ? WAV_FLOAT_HEADER_SIZE : WAV_HEADER_SIZE;
    const long long dataBytes = static_cast<long long>(coding.bits / 8) * samples;
    const long long pad = coding.padded ? dataBytes % 2 : 0;
    if (samples < 0 || dataBytes < 0 || dataBytes + pad + (size - 8) > 0xffffffffLL) return 1;
    if (coding.ieeeFloat && coding.channels < 1) return 1;  // no whole number of frames
    const uint32_t blockAlign = static_cast<uint32_t>((coding.bits * coding.channels) / 8);
    if (static_cast<long long>(coding.rate) * blockAlign > 0xffffffffLL) return 1;
    unsigned char h[WAV_FLOAT_HEADER_SIZE] = {};
    std::memcpy(h + 0, "RIFF", 4);
    putLe(h + 4, static_cast<uint32_t>(dataBytes + pad) + static_cast<uint32_t>(size - 8), 4);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    putLe(h + 16, coding.ieeeFloat ? 18 : 16, 4);
    putLe(h + 20, coding.ieeeFloat ? 3 : 1, 2);
    putLe(h + 22, static_cast<uint32_t>(coding.channels), 2);
    putLe(h + 24, static_cast<uint32_t>(coding.rate), 4);
    putLe(h + 28, static_cast<uint32_t>(coding.rate) * blockAlign, 4);
    putLe(h + 32, blockAlign, 2);
    putLe(h + 34, static_cast<uint32_t>(coding.bits), 2);
    unsigned char *data = h + 36;
    if (coding.ieeeFloat) {
        std::memcpy(h + 38, "fact", 4);
        putLe(h + 42, 4, 4);
        putLe(h + 46, static_cast<uint32_t>(samples / coding.channels), 4);
        data = h + 50;
    }
    std::memcpy(data, "data", 4);
    putLe(data + 4, static_cast<uint32_t>(dataBytes), 4);
    return std::fwrite(h, 1, static_cast<size_t>(size), stream) == static_cast<size_t>(size) ? 0 : 1;
}

int writeWavHead(int rate, int bits, int channels, int samples, FILE *stream)
{
    return writeWaveHeader({rate, bits, channels, false}, samples, stream);
}
