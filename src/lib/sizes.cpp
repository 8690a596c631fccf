#include "sizes.h"

#include <cctype>
#include <climits>

long long samplesOf(int samplingHz, int ms) { return static_cast<long long>(samplingHz) * ms / 1000; }

bool fitsInt(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text))) text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    const long long LIMIT = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); text++) {
        value = value * 10 + (*text - '0');
        if (value > LIMIT) return false;
    }
    return true;
}

Result signalSizes(int samplingHz, int durationMs, int taperMs, int *dataSize, int *taperSize,
                   long long maxSamples)
{
    if (durationMs <= 0) return Status::Duration;
    if (samplingHz <= 0) return Status::Rate;
    if (taperMs < 0) return Status::TaperNegative;
    Result r;
    r.limit = maxSamples;
    r.value = samplesOf(samplingHz, durationMs);
    if (r.value < 1 || r.value > maxSamples) {
        r.status = Status::DataSize;
        return r;
    }
    *dataSize = static_cast<int>(r.value);
    r.value = samplesOf(samplingHz, taperMs);
    if (r.value > maxSamples) {
        r.status = Status::TaperSize;
        return r;
    }
    *taperSize = static_cast<int>(r.value);
    return Status::Ok;
}

Result checkFades(long long size, long long taper)
{
    return 2 * taper > size ? Status::FadesTooLong : Status::Ok;
}
