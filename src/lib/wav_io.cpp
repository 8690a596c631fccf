#include "wav_io.h"

#include <cstdint>
#include <cstring>

namespace {

void putLe16(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xff);
}

void putLe32(unsigned char *p, uint32_t v)
{
    putLe16(p, v & 0xffff);
    putLe16(p + 2, v >> 16);
}

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
    putLe32(header + 4, dataBytes + 36u);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    putLe32(header + 16, 16);
    putLe16(header + 20, 1);
    putLe16(header + 22, static_cast<uint32_t>(channels));
    putLe32(header + 24, static_cast<uint32_t>(rate));
    putLe32(header + 28, static_cast<uint32_t>(rate) * blockAlign);
    putLe16(header + 32, blockAlign);
    putLe16(header + 34, static_cast<uint32_t>(bits));
    std::memcpy(header + 36, "data", 4);
    putLe32(header + 40, dataBytes);
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
