// The WAVE header of every sample format, field by field, and its limits: the one place
// the header is checked (the programs' tests read the samples after it).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "format.h"
#include "wav_io.h"

namespace {

// What writer wrote to a temporary file.
template <typename Writer>
std::string written(Writer writer)
{
    FILE *fp = std::tmpfile();
    EXPECT_EQ(writer(fp), 0);
    std::string bytes(64, '\0');
    std::rewind(fp);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), fp));
    std::fclose(fp);
    return bytes;
}

std::string headerFor(int rate, int bits, int channels, int samples)
{
    return written([&](FILE *fp) { return writeWavHead(rate, bits, channels, samples, fp); });
}

uint32_t le32(const std::string &b, int at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint32_t le16(const std::string &b, int at)
{
    return le32(b.substr(at, 2) + std::string(2, '\0'), 0);
}

}  // namespace

TEST(WavHeader, DefaultRun)
{
    std::string h = headerFor(12000, 16, 1, 6000);
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(h, 4), 12036u);
    EXPECT_EQ(h.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(h, 16), 16u);
    EXPECT_EQ(le16(h, 20), 1u);
    EXPECT_EQ(le16(h, 22), 1u);
    EXPECT_EQ(le32(h, 24), 12000u);
    EXPECT_EQ(le32(h, 28), 24000u);
    EXPECT_EQ(le16(h, 32), 2u);
    EXPECT_EQ(le16(h, 34), 16u);
    EXPECT_EQ(h.substr(36, 4), "data");
    EXPECT_EQ(le32(h, 40), 12000u);
}

TEST(WavHeader, EverySampleFormat)
{
    struct Case {
        SampleFormat format;
        uint32_t size, fmtSize, formatTag, width;
    } cases[] = {
        {SampleFormat::S16, 44, 16, 1, 2},
        {SampleFormat::S24, 44, 16, 1, 3},
        {SampleFormat::S32, 44, 16, 1, 4},
        {SampleFormat::F32, 58, 18, 3, 4},
    };
    for (const Case &c : cases) {
        const std::string h =
            written([&](FILE *fp) { return writeWaveHeader(c.format, 48000, 24000, fp); });
        const std::string what = nameOf(c.format);
        ASSERT_EQ(h.size(), c.size) << what;
        EXPECT_EQ(waveHeaderSize(c.format), static_cast<int>(c.size)) << what;
        EXPECT_EQ(h.substr(0, 4), "RIFF") << what;
        EXPECT_EQ(le32(h, 4), 24000 * c.width + c.size - 8) << what;
        EXPECT_EQ(h.substr(8, 8), "WAVEfmt ") << what;
        EXPECT_EQ(le32(h, 16), c.fmtSize) << what;
        EXPECT_EQ(le16(h, 20), c.formatTag) << what;
        EXPECT_EQ(le16(h, 22), 1u) << what;
        EXPECT_EQ(le32(h, 24), 48000u) << what;
        EXPECT_EQ(le32(h, 28), 48000 * c.width) << what;
        EXPECT_EQ(le16(h, 32), c.width) << what;
        EXPECT_EQ(le16(h, 34), 8 * c.width) << what;
        EXPECT_EQ(h.substr(c.size - 8, 4), "data") << what;
        EXPECT_EQ(le32(h, c.size - 4), 24000 * c.width) << what;
    }
    // Float's fmt chunk ends in an empty extension, and its fact chunk counts frames.
    const std::string f =
        written([&](FILE *fp) { return writeWaveHeader(SampleFormat::F32, 48000, 24000, fp); });
    EXPECT_EQ(le16(f, 36), 0u);
    EXPECT_EQ(f.substr(38, 4), "fact");
    EXPECT_EQ(le32(f, 42), 4u);
    EXPECT_EQ(le32(f, 46), 24000u);
    // The 16-bit writer is the same header.
    EXPECT_EQ(headerFor(48000, 16, 1, 24000),
              written([&](FILE *fp) { return writeWaveHeader(SampleFormat::S16, 48000, 24000, fp); }));
}

TEST(WavHeader, Sizes)
{
    std::string empty = headerFor(48000, 16, 1, 0);
    EXPECT_EQ(le32(empty, 4), 36u);
    EXPECT_EQ(le32(empty, 40), 0u);
    // The data size counts samples, not frames; the block align does count channels.
    std::string stereo = headerFor(44100, 16, 2, 10);
    EXPECT_EQ(le32(stereo, 40), 20u);
    EXPECT_EQ(le16(stereo, 32), 4u);
    EXPECT_EQ(le32(stereo, 28), 176400u);
    // The largest signal the program makes fills the unsigned 32-bit RIFF size.
    std::string largest = headerFor(48000, 16, 1, 2147483629);
    EXPECT_EQ(le32(largest, 40), 4294967258u);
    EXPECT_EQ(le32(largest, 4), 4294967294u);
    // So does the largest float signal, whose header is 14 bytes longer.
    ASSERT_EQ(maxWaveSamples(SampleFormat::F32), 1073741811);
    std::string largestFloat =
        written([&](FILE *fp) { return writeWaveHeader(SampleFormat::F32, 48000, 1073741811, fp); });
    EXPECT_EQ(le32(largestFloat, 54), 4294967244u);
    EXPECT_EQ(le32(largestFloat, 4), 4294967294u);
    // An odd count of 24-bit data bytes: the RIFF size counts the pad byte that
    // follows them, the data size does not; the largest such signal still fits.
    std::string odd = written([&](FILE *fp) { return writeWaveHeader(SampleFormat::S24, 1000, 5, fp); });
    EXPECT_EQ(le32(odd, 4), 36u + 15u + 1u);
    EXPECT_EQ(le32(odd, 40), 15u);
    ASSERT_EQ(maxWaveSamples(SampleFormat::S24), 1431655752);
    EXPECT_EQ(le32(written([&](FILE *fp) { return writeWaveHeader(SampleFormat::S24, 1000, 1431655752, fp); }), 4),
              4294967292u);
    // One sample more, a negative count or a byte rate beyond 32 bits would wrap a
    // field: nothing is written.
    FILE *sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    for (int samples : {2147483630, 2147483647, -1}) {
        EXPECT_EQ(writeWavHead(48000, 16, 1, samples, sink), 1);
        EXPECT_EQ(std::ftell(sink), 0);
    }
    EXPECT_EQ(writeWaveHeader(SampleFormat::S24, 1000, 1431655753, sink), 1);
    EXPECT_EQ(writeWaveHeader(SampleFormat::S32, 2000000000, 100, sink), 1);
    for (long long samples : {1073741812LL, -1LL}) {
        EXPECT_EQ(writeWaveHeader(SampleFormat::F32, 48000, samples, sink), 1);
        EXPECT_EQ(std::ftell(sink), 0);
    }
    std::fclose(sink);
}

TEST(WavHeader, ShortWriteFails)
{
    FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(writeWavHead(12000, 16, 1, 6000, full), 1);
    EXPECT_EQ(writeWaveHeader(SampleFormat::F32, 12000, 6000, full), 1);
    std::fclose(full);
}
