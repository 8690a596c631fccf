// The plot, drawn with PLplot's cairo driver where the build found PLplot.
#include "report.h"

#ifdef SONVEL_HAVE_PLPLOT

#include <plplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "out_file.h"

namespace {

// Whether PLplot can write PNG files through cairo here.
bool hasPngCairo()
{
    // PLplot fills arrays of the caller's, whose size it is told.
    static const char *menu[256], *names[256];
    const char **menuAt = menu, **namesAt = names;
    int count = 256;
    plgFileDevs(&menuAt, &namesAt, &count);
    for (int i = 0; i < count; i++)
        if (std::strcmp(names[i], "pngcairo") == 0) return true;
    return false;
}

struct Series {
    std::vector<PLFLT> x, y;
};

}  // namespace

bool plotSupported() { return true; }

Result drawPlot(const char *path, const Analysis &a)
{
    if (!hasPngCairo()) {
        return failure("--plot: PLplot's cairo driver is not installed (apt-get install plplot-driver-cairo).");
    }
    // Everything on the gain's scale: the noise as it is, the distortion as output level
    // over the mean input line.
    Series gain, noise, odd, even;
    for (const LineResult &l : a.excited) {
        gain.x.push_back(std::log10(l.freqHz));
        gain.y.push_back(l.levelDb);
        if (std::isfinite(l.noiseDb)) {
            noise.x.push_back(std::log10(l.freqHz));
            noise.y.push_back(l.noiseDb);
        }
    }
    for (const LineResult &l : a.other) {
        Series *s = l.kind == LINE_ODD ? &odd : l.kind == LINE_EVEN ? &even : nullptr;
        if (!s || !std::isfinite(l.levelDb)) continue;
        s->x.push_back(std::log10(l.freqHz));
        s->y.push_back(l.levelDb + a.meanGainDb);
    }
    double top = -INFINITY, bottom = INFINITY;
    for (const Series *s : {&gain, &noise, &odd, &even})
        for (double v : s->y)
            if (std::isfinite(v)) top = std::max(top, v), bottom = std::min(bottom, v);
    if (!std::isfinite(top)) top = 0.0, bottom = -100.0;
    top = std::ceil(top / 10.0 + 0.5) * 10.0;
    bottom = std::max(std::floor(bottom / 10.0 - 0.5) * 10.0, top - 200.0);
    const double left = std::log10(a.excited.front().freqHz) - 0.05;
    double right = std::log10(a.excited.back().freqHz);
    for (const LineResult &l : a.other)
        if (l.kind != LINE_OUT_OF_BAND) right = std::max(right, std::log10(l.freqHz));
    right += 0.05;

    // PLplot closes the stream it is given at plend: it gets a stream of its own on the
    // same file, and the output's own stream stays for the commit.
    OutputFile out;
    FILE *plotStream = nullptr;
    int copy = -1;
    if (!openOutput(path, &out) || !beginOutput(&out) || (copy = dup(fileno(out.stream))) < 0 ||
        !(plotStream = fdopen(copy, "wb"))) {
        if (copy >= 0) close(copy);
        discardOutput(&out);
        return failure(std::string("--plot: fail to open \"") + path + "\".");
    }
    plsdev("pngcairo");
    plsfile(plotStream);
    plspage(0, 0, 1200, 700, 0, 0);
    plscolbg(255, 255, 255);
    plscol0(1, 0, 0, 0);        // axes and text
    plscol0(2, 31, 119, 180);   // response
    plscol0(3, 127, 127, 127);  // noise
    plscol0(4, 214, 39, 40);    // odd
    plscol0(5, 44, 160, 44);    // even
    plinit();
    plcol0(1);
    // The plot on the left, the legend on its right; a log frequency axis with a grid.
    pladv(0);
    plvpor(0.1, 0.78, 0.12, 0.9);
    plwind(left, right, bottom, top);
    plbox("bcglnst", 0.0, 0, "bcgnstv", 0.0, 0);
    pllab("frequency [Hz]", "dB", "sonvel-analyze: response, noise and nonlinear distortion");
    plwidth(2.0);
    plcol0(2);
    plline(static_cast<PLINT>(gain.x.size()), gain.x.data(), gain.y.data());
    plwidth(1.0);
    plcol0(3);
    if (!noise.x.empty()) plline(static_cast<PLINT>(noise.x.size()), noise.x.data(), noise.y.data());
    plschr(0.0, 0.6);  // smaller symbols
    plcol0(4);
    if (!odd.x.empty()) plstring(static_cast<PLINT>(odd.x.size()), odd.x.data(), odd.y.data(), "#(840)");
    plcol0(5);
    if (!even.x.empty()) plstring(static_cast<PLINT>(even.x.size()), even.x.data(), even.y.data(), "#(852)");

    plschr(0.0, 1.0);
    // The legend.
    const PLINT OPT_LINE = PL_LEGEND_LINE, OPT_SYMBOL = PL_LEGEND_SYMBOL;
    PLINT options[4] = {OPT_LINE, OPT_LINE, OPT_SYMBOL, OPT_SYMBOL};
    PLINT textColors[4] = {1, 1, 1, 1};
    const char *texts[4] = {"gain", "noise", "odd distortion", "even distortion"};
    PLINT lineColors[4] = {2, 3, 0, 0}, lineStyles[4] = {1, 1, 1, 1};
    PLFLT lineWidths[4] = {2.0, 1.0, 1.0, 1.0};
    PLINT symbolColors[4] = {0, 0, 4, 5}, symbolNumbers[4] = {1, 1, 1, 1};
    PLFLT symbolScales[4] = {0.6, 0.6, 0.6, 0.6};
    const char *symbols[4] = {"", "", "#(840)", "#(852)"};
    PLFLT legendWidth = 0.0, legendHeight = 0.0;
    pllegend(&legendWidth, &legendHeight, 0, PL_POSITION_RIGHT | PL_POSITION_OUTSIDE,
             0.02, 0.0, 0.06, 0, 1, 1, 0, 0, 4, options, 1.0, 0.8, 2.0, 0.0, textColors, texts, nullptr, nullptr, nullptr, nullptr,
             lineColors, lineStyles, lineWidths, symbolColors, symbolScales, symbolNumbers, symbols);
    plend();
    // PLplot reports no failure to write: a file that is empty or a header short has none.
    struct stat st;
    const bool written = fstat(fileno(out.stream), &st) == 0 && st.st_size > 12;
    if (!written || !commitOutput(&out)) {
        discardOutput(&out);
        return failure(std::string("--plot: fail to write \"") + path + "\".");
    }
    return Status::Ok;
}

#else

bool plotSupported() { return false; }

Result drawPlot(const char *, const Analysis &)
{
    return failure("--plot: this sonvel-analyze was built without PLplot (apt-get install "
                   "libplplot-dev plplot-driver-cairo, then build again).");
}

#endif
