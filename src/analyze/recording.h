// The recording, read with libsndfile (WAVE, FLAC, AIFF and the rest, integer or
// float samples, any channel count) one or two channels at a time, in samples of
// full scale 1 as libsndfile gives them.
#ifndef SONVEL_RECORDING_H
#define SONVEL_RECORDING_H

#include <sndfile.h>

#include <memory>
#include <string>
#include <vector>

#include "result.h"

// A sound file held in memory, read through libsndfile's virtual I/O.
struct MemoryFile {
    const unsigned char *data = nullptr;
    sf_count_t size = 0, at = 0;
};

struct SoundFileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

// An open sound file: its one owner closes it. It stays where it was made (neither
// copied nor moved), since libsndfile reads a file in memory through &memory.
struct Recording {
    std::unique_ptr<SNDFILE, SoundFileCloser> file;
    SF_INFO info{};
    std::string name;
    MemoryFile memory;  // where the file is read from memory
    Recording() = default;
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;
};

// Opens a sound file by path, closing any rec held. Refused, rec then holding no file,
// where libsndfile cannot read it.
Result openRecording(const char *path, Recording *rec);

// Opens a sound file held in memory (for the fuzz target), as openRecording does. The
// bytes must outlive rec.
Result openRecordingInMemory(const void *data, long long size, Recording *rec);

// Reads channels a and b (from 0; b < 0 for none) of consecutive frames, in blocks.
// A reader that resamples them (drift.h) keeps this interface.
class ChannelReader {
public:
    ChannelReader(Recording *rec, int a, int b);
    virtual ~ChannelReader() = default;
    // Moves to frame; false where the file cannot seek there.
    virtual bool seek(long long frame);
    // Up to count frames into x (and y for channel b); returns how many were read, fewer
    // only at the end of the file or on a read error.
    virtual long long read(long long count, double *x, double *y);

private:
    Recording *rec_;
    int a_, b_;
    std::vector<double> buffer_;
};

#endif
