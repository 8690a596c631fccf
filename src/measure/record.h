// One measurement's run around the sound stream's cycles: a feeder thread makes the signal with
// the engine and hands it over as floats, a collector thread writes the recording to a
// scratch file, and the calling thread watches: progress on a terminal, SIGINT and
// SIGTERM, dropouts, a server that stops. Nothing here prints but the progress line.
#ifndef SONVEL_MEASURE_RECORD_H
#define SONVEL_MEASURE_RECORD_H

#include <string>

#include "duplex.h"
#include "engine.h"
#include "result.h"

// A file of the program's own for the recording, removed when it goes.
class ScratchFile {
public:
    ScratchFile() = default;
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    ~ScratchFile();
    // Creates an empty file in $TMPDIR (or /tmp). False when it cannot.
    bool create();
    const std::string &path() const { return path_; }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

struct RecordOptions {
    int rateHz = 0;
    bool progress = false;  // show the time played and the input peak on standard error
};

// Plays the planned signal through the started duplex and records its inputs into the
// scratch file: a float WAVE file (RF64 beyond 4 GiB) with one channel a record port.
// The signal goes out as the engine stores it, integers over 2^(bits - 1) and floats as
// they are. Fails on an interruption, a dropout, a server that stops and a recording
// that cannot be written; the scratch file then holds nothing usable.
Result recordMeasurement(Duplex *duplex, SignalPlan *plan, const RecordOptions &options,
                         const ScratchFile &scratch);

#endif
