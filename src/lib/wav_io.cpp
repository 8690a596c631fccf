#include "wav_io.h"

#include <cstdint>
#include <cstring>

namespace {

// Header layout, every integer little-endian:
//   offset size field
//        0    4 "RIFF"
//        4    4 RIFF size = data bytes + 36: the "WAVE" tag, the 24-byte fmt chunk
//                 and the data chunk's 8-byte header
//        8    4 "WAVE"
//       12    4 "fmt "
//       16    4 fmt size = 16
//       20    2 audio format = 1 (integer PCM)
//       22    2 channels
//       24    4 sample rate
//       28    4 byte rate = rate * block align
//       32    2 block align = bits * channels / 8
//       34    2 bits per sample
//       36    4 "data"
//       40    4 data bytes
// The sizes are unsigned 32-bit fields and are computed as such, so that data sizes
// above 2^31 - 1 bytes are stored as the format defines them.
int setWavInfo(unsigned char *header, int rate, int bits, int channels, uint32_t dataBytes,
               int *headerSize)
{
    std::memset(header, 0, WAV_HEADER_SIZE);
    uint32_t blockAlign = static_cast<uint32_t>((bits * channels) / 8);
    std::memcpy(header + 0, "RIFF", 4);
    putLe(header + 4, dataBytes + 36u, 4);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    putLe(header + 16, 16, 4);
    putLe(header + 20, 1, 2);
    putLe(header + 22, static_cast<uint32_t>(channels), 2);
    putLe(header + 24, static_cast<uint32_t>(rate), 4);
    putLe(header + 28, static_cast<uint32_t>(rate) * blockAlign, 4);
    putLe(header + 32, blockAlign, 2);
    putLe(header + 34, static_cast<uint32_t>(bits), 2);
    std::memcpy(header + 36, "data", 4);
    putLe(header + 40, dataBytes, 4);
    *headerSize = WAV_HEADER_SIZE;
    return 0;
}

}  // namespace

int writeWavHead(int rate, int bits, int channels, int samples, FILE *stream)
{
    unsigned char header[WAV_HEADER_SIZE];
    int headerSize = 0;
    // The RIFF size, data bytes + 36, must fit its unsigned 32-bit field.
    long long dataBytes = static_cast<long long>(bits / 8) * samples;
    if (samples < 0 || dataBytes < 0 || dataBytes + 36 > 0xffffffffLL) return 1;
    setWavInfo(header, rate, bits, channels, static_cast<uint32_t>(dataBytes), &headerSize);
    if (std::fwrite(header, 1, static_cast<size_t>(headerSize), stream) <
        static_cast<size_t>(headerSize))
        return 1;
    return 0;
}
