// A measurement microphone's or device's response, as the text files they ship with
// give it, and its removal from the excited lines of an analysis.
//
// The file: one line per frequency, "HZ DB [PHASE_DEG]", the fields separated by
// spaces, tabs or commas, the frequencies above 0 and rising, every line with a phase
// or none; lines that start with "*" or "#" are comments, blank lines are skipped. An
// optional first line in double quotes may give the sensitivity,
// "Sens Factor =-1.378dB, SERNO: 7001234"; a quoted first line without it gives 0 dB.
#ifndef SONVEL_CALIBRATION_H
#define SONVEL_CALIBRATION_H

#include <string>
#include <vector>

#include "analysis.h"
#include "result.h"

struct DeviceCalibration {
    std::vector<double> freqHz, gainDb;
    std::vector<double> phaseDeg;  // unwrapped along the file; empty where it gives none
    double sensitivityDb = 0.0;
    bool empty() const { return freqHz.empty(); }
};

// Reads the file at path; a file that cannot be read, or a malformed line (named by its
// number), is refused with one sentence that names --cal and the file.
Result readCalibration(const char *path, DeviceCalibration *cal);

// The same, from the file's text; name is the file as the refusals name it.
Result parseCalibration(const std::string &text, const std::string &name, DeviceCalibration *cal);

// The device's gain in dB (the sensitivity added) and phase in degrees at freqHz:
// interpolated linearly in log frequency between the file's lines, and below the
// first or above the last line the value of that line.
void calibrationAt(const DeviceCalibration &cal, double freqHz, double *gainDb, double *phaseDeg);

// Removes the device's response from the excited lines: their gain, noise and gain
// interval less its gain, their phase less its phase. The SNR, the lines not excited
// and the summary, which are ratios within the recording, stay as they are.
void applyCalibration(const DeviceCalibration &cal, Analysis *out);

#endif
