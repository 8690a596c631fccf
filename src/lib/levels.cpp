#include "levels.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// The unit after a number, blanks aside: "", "dB" or "dBFS" for full scale, "spl" or
// "dB SPL", "dBu", "dBV", in any case.
bool unitNamed(std::string text, LevelUnit *unit)
{
    std::string word;
    for (char ch : text)
        if (!std::isspace(static_cast<unsigned char>(ch))) word += static_cast<char>(std::tolower(ch));
    if (word.empty() || word == "db" || word == "dbfs") return *unit = LevelUnit::FullScale, true;
    if (word == "spl" || word == "dbspl") return *unit = LevelUnit::Spl, true;
    if (word == "dbu") return *unit = LevelUnit::Dbu, true;
    if (word == "dbv") return *unit = LevelUnit::Dbv, true;
    return false;
}

// A finite number at the very start of text (no leading blank), and the rest.
bool leadingNumber(const char *text, double *value, const char **rest)
{
    if (!*text || std::isspace(static_cast<unsigned char>(*text))) return false;
    char *end = nullptr;
    *value = std::strtod(text, &end);
    if (end == text || !std::isfinite(*value)) return false;
    // strtod takes "inf", "nan" and hexadecimal floats; a level is a decimal number.
    for (const char *p = text; p < end; p++)
        if (!std::isdigit(static_cast<unsigned char>(*p)) && !std::strchr("+-.eE", *p)) return false;
    *rest = end;
    return true;
}

}  // namespace

bool referenceNamed(const char *name, LevelReference *reference)
{
    if (std::strcmp(name, "dc") == 0) return *reference = LevelReference::Dc, true;
    if (std::strcmp(name, "sine") == 0) return *reference = LevelReference::Sine, true;
    return false;
}

bool parseLevelText(const char *text, double *value, LevelUnit *unit)
{
    const char *rest = nullptr;
    return leadingNumber(text, value, &rest) && unitNamed(rest, unit);
}

bool parseCalibration(const char *text, Calibration *calibration)
{
    const char *equals = std::strchr(text, '=');
    if (!equals) return false;
    const std::string db(text, equals);
    double fullScaleDb = 0.0, unitLevel = 0.0;
    const char *rest = nullptr;
    LevelUnit unit;
    if (!leadingNumber(db.c_str(), &fullScaleDb, &rest) || *rest) return false;
    if (!leadingNumber(equals + 1, &unitLevel, &rest) || !unitNamed(rest, &unit)) return false;
    // A bare number is a sound pressure level; full scale cannot calibrate itself.
    if (unit == LevelUnit::FullScale) {
        if (*rest) return false;
        unit = LevelUnit::Spl;
    }
    *calibration = Calibration{true, fullScaleDb, unit, unitLevel};
    return true;
}

const char *unitName(LevelUnit unit)
{
    switch (unit) {
    case LevelUnit::Spl: return "dB SPL";
    case LevelUnit::Dbu: return "dBu";
    case LevelUnit::Dbv: return "dBV";
    case LevelUnit::FullScale: break;
    }
    return "dB";
}

bool levelToDc(double value, LevelUnit unit, LevelReference reference,
               const Calibration &calibration, double *dcDb)
{
    double referenceDb = value;
    if (unit != LevelUnit::FullScale) {
        if (!calibration.set || calibration.unit != unit) return false;
        referenceDb = calibration.fullScaleDb + (value - calibration.unitLevel);
    }
    *dcDb = reference == LevelReference::Sine ? referenceDb + SINE_RE_DC_DB : referenceDb;
    return true;
}

double dcToReference(double dcDb, LevelReference reference)
{
    return reference == LevelReference::Sine ? dcDb - SINE_RE_DC_DB : dcDb;
}

double referenceToUnit(double referenceDb, const Calibration &calibration)
{
    return calibration.unitLevel + (referenceDb - calibration.fullScaleDb);
}
