#include "calibration.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

#include "cli.h"

namespace {

// The largest file read: calibration files hold hundreds of lines, not millions.
constexpr long MAX_CAL_BYTES = 16L << 20;

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

std::vector<std::string> fieldsOf(const std::string &line)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSeparator(line[i])) i++;
        const size_t start = i;
        while (i < line.size() && !isSeparator(line[i])) i++;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

// A whole field as a finite number.
bool readNumber(const std::string &field, double *value)
{
    const char *at = field.c_str();
    return readNumberAt(&at, value) && *at == '\0';
}

// The sensitivity on a quoted first line: the number after "Sens Factor" and "=" (any
// case), 0 where the words are absent. False where they are there without a number.
bool readSensitivity(const std::string &line, double *db)
{
    std::string lower(line);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    *db = 0.0;
    size_t at = lower.find("sens factor");
    if (at == std::string::npos) return true;
    at = line.find_first_not_of(" \t", at + 11);
    if (at == std::string::npos || line[at] != '=') return false;
    const char *start = line.c_str() + at + 1;
    return readNumberAt(&start, db);
}

class Reader {
public:
    Reader(const std::string &name, DeviceCalibration *cal) : name_(name), cal_(cal) {}

    // Takes line number n; a failure names it.
    Result take(long n, const std::string &line)
    {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '*' || line[first] == '#') return Status::Ok;
        if (line[first] != '"') return takeLevels(n, line);
        if (n != 1) return refuse(n, "a quoted line is read only as the first line");
        if (!readSensitivity(line, &cal_->sensitivityDb))
            return refuse(n, "the sensitivity after \"Sens Factor =\" is not a number");
        return Status::Ok;
    }

    Result finish() const
    {
        if (cal_->freqHz.empty())
            return failure(formatted("--cal: \"%s\" holds no line of frequency and level.", escaped(name_.c_str()).c_str()));
        return Status::Ok;
    }

private:
    // A line of frequency, level and perhaps phase.
    Result takeLevels(long n, const std::string &line)
    {
        const std::vector<std::string> fields = fieldsOf(line);
        if (fields.size() < 2 || fields.size() > 3)
            return refuse(n, formatted("%zu field%s; a line holds the frequency in Hz, the level in dB and "
                                       "optionally the phase in degrees",
                                       fields.size(), fields.size() == 1 ? "" : "s"));
        double v[3] = {0.0, 0.0, 0.0};
        for (size_t i = 0; i < fields.size(); i++) {
            if (!readNumber(fields[i], &v[i]))
                return refuse(n, "\"" + escaped(fields[i].c_str()) + "\" is not a number");
        }
        if (!(v[0] > 0.0) || (!cal_->freqHz.empty() && !(v[0] > cal_->freqHz.back())))
            return refuse(n, formatted("%.10g Hz: the frequencies must be above 0 and rising", v[0]));
        const bool phase = fields.size() == 3;
        if (cal_->freqHz.empty()) {
            withPhase_ = phase;
            firstLine_ = n;
        } else if (phase != withPhase_) {
            return refuse(n, formatted("%s phase where line %ld gives %s: every line gives a phase or none does",
                                       phase ? "a" : "no", firstLine_, withPhase_ ? "one" : "none"));
        }
        cal_->freqHz.push_back(v[0]);
        cal_->gainDb.push_back(v[1]);
        // Unwrapped, so that the interpolation between two lines takes the short way.
        if (phase) {
            const std::vector<double> &p = cal_->phaseDeg;
            cal_->phaseDeg.push_back(p.empty() ? v[2] : p.back() + std::remainder(v[2] - p.back(), 360.0));
        }
        return Status::Ok;
    }

    Result refuse(long n, const std::string &why) const
    {
        return failure(formatted("--cal: \"%s\", line %ld: %s.", escaped(name_.c_str()).c_str(), n, why.c_str()));
    }

    std::string name_;
    DeviceCalibration *cal_;
    bool withPhase_ = false;
    long firstLine_ = 0;
};

}  // namespace

Result parseCalibration(const std::string &text, const std::string &name, DeviceCalibration *cal)
{
    *cal = DeviceCalibration();
    Reader reader(name, cal);
    // A UTF-8 byte-order mark, as some editors write one, is not part of line 1.
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (long n = 1; at < text.size(); n++) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const Result r = reader.take(n, line);
        if (!r.ok()) {
            *cal = DeviceCalibration();
            return r;
        }
        at = end + 1;
    }
    const Result r = reader.finish();
    if (!r.ok()) *cal = DeviceCalibration();
    return r;
}

Result readCalibration(const char *path, DeviceCalibration *cal)
{
    std::unique_ptr<FILE, FileCloser> fp(std::fopen(path, "rb"));
    if (!fp) return failure(formatted("--cal: fail to open \"%s\".", escaped(path).c_str()));
    std::string text;
    if (!readText(fp.get(), MAX_CAL_BYTES, &text))
        return failure(formatted("--cal: \"%s\" is larger than 16 MiB.", escaped(path).c_str()));
    if (std::ferror(fp.get())) return failure(formatted("--cal: fail to read \"%s\".", escaped(path).c_str()));
    return parseCalibration(text, path, cal);
}

void calibrationAt(const DeviceCalibration &cal, double freqHz, double *gainDb, double *phaseDeg)
{
    const std::vector<double> &f = cal.freqHz;
    const bool phase = !cal.phaseDeg.empty();
    size_t hi = static_cast<size_t>(std::upper_bound(f.begin(), f.end(), freqHz) - f.begin());
    if (hi == 0 || hi == f.size()) {
        const size_t i = hi == 0 ? 0 : f.size() - 1;
        *gainDb = cal.gainDb[i] + cal.sensitivityDb;
        *phaseDeg = phase ? cal.phaseDeg[i] : 0.0;
        return;
    }
    const size_t lo = hi - 1;
    const double t = std::log(freqHz / f[lo]) / std::log(f[hi] / f[lo]);
    *gainDb = cal.gainDb[lo] + t * (cal.gainDb[hi] - cal.gainDb[lo]) + cal.sensitivityDb;
    *phaseDeg = phase ? cal.phaseDeg[lo] + t * (cal.phaseDeg[hi] - cal.phaseDeg[lo]) : 0.0;
}

void applyCalibration(const DeviceCalibration &cal, Analysis *out)
{
    for (LineResult &line : out->excited) {
        double gainDb = 0.0, phaseDeg = 0.0;
        calibrationAt(cal, line.freqHz, &gainDb, &phaseDeg);
        line.gainOrLevelDb -= gainDb;
        line.noiseDb -= gainDb;
        line.gainLowDb -= gainDb;
        line.gainHighDb -= gainDb;
        if (phaseDeg != 0.0) line.phaseDeg = std::remainder(line.phaseDeg - phaseDeg, 360.0);
    }
}
