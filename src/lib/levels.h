// Levels as users write them: dB relative to a full-scale constant (the default) or to
// a full-scale sine, and, through a calibration, in dB SPL, dBu or dBV.
#ifndef SONVEL_LEVELS_H
#define SONVEL_LEVELS_H

#include <string>

// A full-scale sine in dB relative to a full-scale constant: 10 log10(1/2).
constexpr double SINE_RE_DC_DB = -3.0102999566398120;

enum class LevelReference { Dc, Sine };
enum class LevelUnit { FullScale, Spl, Dbu, Dbv };

// DB=LEVEL: the level in dB of full scale (in the run's reference) at which the
// system gives LEVEL in the unit.
struct Calibration {
    bool set = false;
    double fullScaleDb = 0.0;
    LevelUnit unit = LevelUnit::Spl;
    double unitLevel = 0.0;
};

// "dc" or "sine"; false for other text.
bool referenceNamed(const char *name, LevelReference *reference);

// A number and an optional unit: "-20.5" (dB of full scale; "dBFS" may follow), "80spl",
// "80 dB SPL", "-10dBu", "-6dBV", any case. False for text that is not a finite number
// with one of those units.
bool parseLevelText(const char *text, double *value, LevelUnit *unit);

// "DB=LEVEL" with LEVEL in dB SPL (a bare number), or with the unit written out.
bool parseCalibration(const char *text, Calibration *calibration);

// "dB SPL", "dBu", "dBV", or "dB" for full scale.
const char *unitName(LevelUnit unit);

// The level in dB relative to a full-scale constant of value in unit and reference;
// false when the unit needs a calibration in that unit that is not there.
bool levelToDc(double value, LevelUnit unit, LevelReference reference,
               const Calibration &calibration, double *dcDb);

// A level in dB relative to a full-scale constant, in the reference, and in the
// calibrated unit (when a calibration is set).
double dcToReference(double dcDb, LevelReference reference);
double referenceToUnit(double referenceDb, const Calibration &calibration);

#endif
