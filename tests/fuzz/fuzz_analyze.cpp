// The recording path on arbitrary bytes: whatever libsndfile makes of them, the
// analysis against a small played signal ends with results or one "error: " line,
// never reads or writes out of bounds (AddressSanitizer watches) or crashes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analysis.h"

namespace {

// Three lines with a period of 48 samples at 48 kHz, played for 20 ms with 2 ms fades.
const PlayedSignal &played()
{
    static PlayedSignal signal = [] {
        PlayedList list;
        list.freq = {1000, 3000, 5000};
        list.amp = {1, 1, 1};
        list.phase = {0, 1, 2};
        PlayedSignal s;
        LevelTarget target;
        target.level = -15;
        long long period = 0;
        if (!findPeriod(list, 48000, &period).ok() || !playedSignal(list, 48000, 960, 96, target, period, &s).ok())
            std::abort();
        return s;
    }();
    return signal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const PlayedSignal &signal = played();
    Recording rec;
    Result r = openRecordingInMemory(data, static_cast<long long>(size), &rec);
    if (!r.ok()) {
        if (r.status != Status::Failed || r.message().rfind("error: ", 0) != 0) std::abort();
        return 0;
    }
    // The first byte chooses the channels.
    AnalyzeSettings settings;
    settings.channel = size > 0 ? 1 + data[0] % 3 : 1;
    settings.reference = size > 1 ? data[1] % 3 : 0;
    Analysis a;
    r = analyze(&rec, signal, settings, &a);
    if (!r.ok()) {
        const std::string text = r.message();
        if (text.rfind("error: ", 0) != 0 || text.find('\n') != text.size() - 1) std::abort();
        return 0;
    }
    if (a.periodsUsed < 2 || a.excited.size() != 3) std::abort();
    return 0;
}
