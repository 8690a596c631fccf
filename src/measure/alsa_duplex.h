// The ALSA back end: one device (hw:, plughw:, default or any other PCM) opened for
// playback and capture, the two streams linked so that they start together, run by an
// I/O thread of its own that reads a period of the inputs, makes a period of output
// and writes it. --play and --record name the device's channels, from 1. Blocking I/O
// is fine on that thread: no server waits for it. Nothing here prints.
#ifndef SONVEL_MEASURE_ALSA_DUPLEX_H
#define SONVEL_MEASURE_ALSA_DUPLEX_H

#include <alsa/asoundlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "duplex.h"

class AlsaDuplex : public Duplex {
public:
    ~AlsaDuplex() override;

    // Opens both directions of the device, and sets them to the channels named, the
    // signal's rate and float samples (else the nearest integers the device takes).
    // A rate the device refuses is refused here, before any sound.
    Result open(const DuplexSettings &settings) override;
    // Fills the playback buffer with silence, starts both streams and the I/O thread.
    Result start() override;
    // Ends the I/O thread and drops what the device still holds.
    void stop() override;
    const char *goneMessage() const override { return "the ALSA device stopped: the measurement is refused."; }

private:
    Result openStream(const DuplexSettings &s, snd_pcm_stream_t stream, snd_pcm_t **pcm);
    Result configure(const DuplexSettings &s, snd_pcm_t *pcm, unsigned channels, snd_pcm_format_t *format);
    bool startStreams();
    void run();
    bool transferPeriod(snd_pcm_t *pcm, unsigned char *buffer, bool capture);
    bool recovered(snd_pcm_sframes_t err);

    snd_pcm_t *playback_ = nullptr, *capture_ = nullptr;
    snd_pcm_format_t playFormat_ = SND_PCM_FORMAT_FLOAT, recordFormat_ = SND_PCM_FORMAT_FLOAT;
    unsigned playChannels_ = 0, recordChannels_ = 0;
    std::vector<unsigned> playAt_, recordAt_;  // the channels named, from 0
    snd_pcm_uframes_t period_ = 0;
    bool linked_ = false;
    // The I/O thread's buffers: the device's frames as it takes them, and in floats.
    std::vector<unsigned char> rawIn_, rawOut_;
    std::vector<float> in_, mono_, out_;
    std::vector<const float *> inputs_;
    std::thread io_;
    std::atomic<bool> quit_{false};
};

#endif
