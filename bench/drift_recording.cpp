// A stereo recording of sonvel's output made on a recorder whose clock runs ppm fast:
// channel 1 the signal after lead frames of silence, channel 2 the signal as it is (a
// loopback), both resampled by libsoxr at its very high quality and written as 24-bit
// WAVE, block by block, so that a recording of any length takes little memory.
//
// usage: drift_recording PLAYED.wav RECORDING.wav PPM LEAD_FRAMES
#include <sndfile.h>
#include <soxr.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fputs("usage: drift_recording PLAYED.wav RECORDING.wav PPM LEAD_FRAMES\n", stderr);
        return 2;
    }
    const double ratio = 1.0 + std::atof(argv[3]) * 1e-6;
    const long long lead = std::atoll(argv[4]);
    SF_INFO in{};
    SNDFILE *played = sf_open(argv[1], SFM_READ, &in);
    if (!played || in.channels != 1) {
        std::fprintf(stderr, "drift_recording: %s: not a mono sound file\n", argv[1]);
        return 1;
    }
    SF_INFO outInfo{};
    outInfo.samplerate = in.samplerate;
    outInfo.channels = 2;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE *recording = sf_open(argv[2], SFM_WRITE, &outInfo);
    if (!recording) {
        std::fprintf(stderr, "drift_recording: %s: %s\n", argv[2], sf_strerror(nullptr));
        return 1;
    }
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(1.0, ratio, 2, &error, &io, &quality, nullptr);
    if (error) {
        std::fprintf(stderr, "drift_recording: %s\n", error);
        return 1;
    }
    // Channel 1 runs lead frames behind channel 2: a ring of lead + CHUNK frames.
    const long long CHUNK = 65536, total = in.frames + lead;
    std::vector<double> mono(CHUNK), history(static_cast<size_t>(lead + CHUNK), 0.0), frames(2 * CHUNK),
        out(2 * CHUNK * 2);
    for (long long done = 0;;) {
        const long long n = done < total ? std::min(CHUNK, total - done) : 0;
        const long long got = n > 0 ? sf_readf_double(played, mono.data(), n) : 0;
        for (long long i = got; i < n; i++) mono[i] = 0.0;
        for (long long i = 0; i < n; i++) {
            const long long at = done + i;
            history[static_cast<size_t>(at % (lead + CHUNK))] = mono[i];
            frames[2 * i] = at >= lead ? history[static_cast<size_t>((at - lead) % (lead + CHUNK))] : 0.0;
            frames[2 * i + 1] = mono[i];
        }
        done += n;
        size_t made = 0;
        soxr_process(soxr, n > 0 ? frames.data() : nullptr, static_cast<size_t>(n), nullptr, out.data(),
                     static_cast<size_t>(2 * CHUNK), &made);
        sf_writef_double(recording, out.data(), static_cast<sf_count_t>(made));
        if (n == 0 && made == 0) break;
    }
    soxr_delete(soxr);
    sf_close(played);
    return sf_close(recording) == 0 ? 0 : 1;
}
