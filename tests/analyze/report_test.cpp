// The lines of the table and the JSON from an analysis made by hand, with the
// uncertainty, floor and significance fields set: one row a line in frequency order,
// every value spelt as the table and JSON readers take it.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "report.h"

namespace {

LineResult line(long long bin, LineKind kind, double db)
{
    LineResult l;
    l.bin = bin;
    l.freqHz = 100.0 * static_cast<double>(bin);
    l.kind = kind;
    l.gainOrLevelDb = db;
    l.noiseDb = -60.0;
    l.snrDb = db + 60.0;
    return l;
}

TEST(AnalyzeReport, EveryLineInOneTableAndInTheJson)
{
    Analysis a;
    a.period = 480;
    a.periodsUsed = 10;
    LineResult excited = line(3, LINE_EXCITED, -1.5);
    excited.phaseDeg = 12.3456;
    excited.gainUncDb = 0.01;
    excited.phaseUncDeg = 0.05;
    excited.gainLowDb = -1.52;
    excited.gainHighDb = -1.48;
    excited.phaseHalfDeg = 0.1;
    excited.coherence = 0.999;
    excited.groupDelayMs = 0.25;
    a.excited = {excited, line(5, LINE_EXCITED, -2.0)};
    LineResult odd = line(2, LINE_ODD, -40.0), even = line(4, LINE_EVEN, -INFINITY);
    odd.floorDb = even.floorDb = -70.0;
    odd.playedDb = -120.0;
    odd.significant = true;
    even.snrDb = NAN;
    a.other = {line(1, LINE_OUT_OF_BAND, -50.0), odd, even};
    ReportContext c;
    c.rateHz = 48000;

    // (row of the table, the same line in the JSON)
    const struct {
        const char *row, *json;
    } lines[] = {
        {"100\tout-of-band\t-50.0000\tnan\t-60.00\t10.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan",
         "{\"freq_hz\": 100, \"kind\": \"out-of-band\", \"gain_or_level_db\": -50, \"phase_deg\": null, \"noise_db\": "
         "-60, \"snr_db\": 10, \"gain_unc_db\": null, \"phase_unc_deg\": null, \"gain_low_db\": null, \"gain_high_db\": "
         "null, \"phase_half_width_deg\": null, \"coherence\": null, \"group_delay_ms\": null, \"floor_db\": null, "
         "\"played_db\": null, \"significant\": null}"},
        {"200\todd\t-40.0000\tnan\t-60.00\t20.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\t-70.00\t-120.00\t1",
         "\"floor_db\": -70, \"played_db\": -120, \"significant\": true}"},
        {"300\texcited\t-1.5000\t12.346\t-60.00\t58.50\t0.0100\t0.050\t-1.5200\t-1.4800\t0.100\t0.999000\t0.2500\tnan"
         "\tnan\tnan",
         "\"gain_low_db\": -1.52, \"gain_high_db\": -1.48, \"phase_half_width_deg\": 0.1, \"coherence\": 0.999, "
         "\"group_delay_ms\": 0.25, \"floor_db\": null"},
        {"400\teven\t-inf\tnan\t-60.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\t-70.00\tnan\t0",
         "{\"freq_hz\": 400, \"kind\": \"even\", \"gain_or_level_db\": -1e+308, \"phase_deg\": null, \"noise_db\": -60, "
         "\"snr_db\": null,"},
        {"500\texcited\t-2.0000\t0.000\t", "\"kind\": \"excited\", \"gain_or_level_db\": -2, \"phase_deg\": 0,"},
    };
    const std::string table = textReport(c, a), json = jsonReport(c, a);
    size_t rowAt = 0, jsonAt = json.find("\"lines\": [");
    for (const auto &l : lines) {
        const size_t row = table.find(std::string("\n") + l.row), at = json.find(l.json);
        ASSERT_TRUE(row != std::string::npos && row > rowAt) << l.row << "\n" << table;
        ASSERT_TRUE(at != std::string::npos && at > jsonAt) << l.json << "\n" << json;
        rowAt = row;
        jsonAt = at;
    }
}

}  // namespace
