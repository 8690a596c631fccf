// The table's rows from an analysis made by hand, with the uncertainty, floor and
// significance fields set: one row a line in frequency order, each value in its column.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "report.h"

TEST(AnalyzeReport, EveryLineInItsPlaceWithItsStatistics)
{
    auto line = [](long long bin, LineKind kind, double db) {
        LineResult l;
        l.bin = bin, l.freqHz = 100.0 * static_cast<double>(bin), l.kind = kind;
        l.gainOrLevelDb = db, l.noiseDb = -60.0, l.snrDb = db + 60.0;
        return l;
    };
    Analysis a;
    LineResult excited = line(3, LINE_EXCITED, -1.5), odd = line(2, LINE_ODD, -40.0);
    LineResult even = line(4, LINE_EVEN, -INFINITY);
    excited.phaseDeg = 12.3456, excited.gainUncDb = 0.01, excited.phaseUncDeg = 0.05;
    excited.gainLowDb = -1.52, excited.gainHighDb = -1.48, excited.phaseHalfDeg = 0.1;
    excited.coherence = 0.999, excited.groupDelayMs = 0.25, excited.nonlinearDb = -45.678;
    odd.floorDb = even.floorDb = -70.0, odd.playedDb = -120.0, odd.significant = true;
    even.snrDb = NAN;
    a.excited = {excited};
    a.other = {line(1, LINE_OUT_OF_BAND, -50.0), odd, even};
    ReportContext c;
    c.rateHz = 48000;
    a.period = 480;
    const std::string table = textReport(c, a);
    const char *rows[] = {
        "\n100\tout-of-band\t-50.0000\tnan\t-60.00\t10.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\n",
        "\n200\todd\t-40.0000\tnan\t-60.00\t20.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\t-70.00\t-120.00\t1\tnan\n",
        "\n300\texcited\t-1.5000\t12.346\t-60.00\t58.50\t0.0100\t0.050\t-1.5200\t-1.4800\t0.100\t0.999000\t0.2500"
        "\tnan\tnan\tnan\t-45.68\n",
        "\n400\teven\t-inf\tnan\t-60.00\tnan\tnan\tnan\tnan\tnan\tnan\tnan\tnan\t-70.00\tnan\t0\tnan\n",
    };
    size_t at = 0;
    for (const char *row : rows) {
        const size_t found = table.find(row);
        ASSERT_TRUE(found != std::string::npos && found >= at) << row << "\n" << table;
        at = found + 1;
    }
}
