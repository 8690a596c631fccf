// The plot, drawn with PLplot's cairo driver where the build found PLplot, into memory
// and then into its file.
#include "report.h"

#ifdef SONVEL_HAVE_PLPLOT

#include <plplot.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "out_file.h"

namespace {

// A sentence about path, with what the output file knows of the reason.
std::string plotProblem(const char *what, const char *path, const OutputFile &file)
{
    return std::string("--plot: fail to ") + what + " \"" + path + "\"" +
           (file.why.empty() ? "" : " (" + file.why + ")") + ".";
}

// Claims the plot's file before the analysis, touching nothing that is there. Standard
// output takes the results, so the plot cannot go there too.
Result claimPlotFile(const char *path, PlotOutput *plot)
{
    if (descriptorOfPath(path) == 1)
        return failure("--plot: the results go to standard output; the plot cannot go there too.");
    if (!openOutput(path, &plot->file)) return failure(plotProblem("open", path, plot->file));
    return Result();
}

// Writes the whole PNG into the claimed file, every byte checked; the file is placed
// only by commitPlot.
Result writePlotFile(const std::string &png, PlotOutput *plot)
{
    plot->file.expectedBytes = static_cast<long long>(png.size());
    OutputFile &file = plot->file;
    if (!beginOutput(&file)) return failure(plotProblem("open", file.path.c_str(), file));
    const bool written = std::fwrite(png.data(), 1, png.size(), file.stream) == png.size() &&
                         std::fflush(file.stream) == 0 && !std::ferror(file.stream);
    if (!written) {
        discardOutput(&file);
        return failure(plotProblem("write", file.path.c_str(), file));
    }
    return Result();
}

}  // namespace

Result commitPlot(PlotOutput *plot)
{
    if (!commitOutput(&plot->file)) return failure(plotProblem("write", plot->file.path.c_str(), plot->file));
    return Result();
}

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

// Everything on the gain's scale: the gain and the noise of the excited lines as they
// are, the distortion as output level over the mean input line.
struct PlotSeries {
    Series gain, noise, odd, even;
};

PlotSeries seriesOf(const Analysis &a)
{
    PlotSeries p;
    for (const LineResult &l : a.excited) {
        p.gain.x.push_back(std::log10(l.freqHz));
        p.gain.y.push_back(l.gainOrLevelDb);
        if (std::isfinite(l.noiseDb)) {
            p.noise.x.push_back(std::log10(l.freqHz));
            p.noise.y.push_back(l.noiseDb);
        }
    }
    for (const LineResult &l : a.other) {
        Series *s = l.kind == LINE_ODD ? &p.odd : l.kind == LINE_EVEN ? &p.even : nullptr;
        if (!s || !std::isfinite(l.gainOrLevelDb)) continue;
        s->x.push_back(std::log10(l.freqHz));
        s->y.push_back(l.gainOrLevelDb + a.meanGainDb);
    }
    return p;
}

// The window of the plot: log10 of the frequency from left to right, dB from bottom
// to top in whole tens, at most 200 dB.
struct Frame {
    double left, right, bottom, top;
};

Frame frameOf(const Analysis &a, const PlotSeries &p)
{
    double top = -INFINITY, bottom = INFINITY;
    for (const Series *s : {&p.gain, &p.noise, &p.odd, &p.even})
        for (double v : s->y)
            if (std::isfinite(v)) top = std::max(top, v), bottom = std::min(bottom, v);
    if (!std::isfinite(top)) top = 0.0, bottom = -100.0;
    top = std::ceil(top / 10.0 + 0.5) * 10.0;
    bottom = std::max(std::floor(bottom / 10.0 - 0.5) * 10.0, top - 200.0);
    const double left = std::log10(a.excited.front().freqHz) - 0.05;
    double right = std::log10(a.excited.back().freqHz);
    for (const LineResult &l : a.other)
        if (l.kind != LINE_OUT_OF_BAND) right = std::max(right, std::log10(l.freqHz));
    return Frame{left, right + 0.05, bottom, top};
}

// The page and its colours: 1 axes and text, 2 response, 3 noise, 4 odd, 5 even.
void beginPage(FILE *stream)
{
    plsdev("pngcairo");
    plsfile(stream);
    plspage(0, 0, 1200, 700, 0, 0);
    plscolbg(255, 255, 255);
    plscol0(1, 0, 0, 0);
    plscol0(2, 31, 119, 180);
    plscol0(3, 127, 127, 127);
    plscol0(4, 214, 39, 40);
    plscol0(5, 44, 160, 44);
    plinit();
}

// The plot on the left, the legend on its right; a log frequency axis with a grid.
void drawSeries(const Frame &f, const PlotSeries &p)
{
    plcol0(1);
    pladv(0);
    plvpor(0.1, 0.78, 0.12, 0.9);
    plwind(f.left, f.right, f.bottom, f.top);
    plbox("bcglnst", 0.0, 0, "bcgnstv", 0.0, 0);
    pllab("frequency [Hz]", "dB", "sonvel-analyze: response, noise and nonlinear distortion");
    plwidth(2.0);
    plcol0(2);
    plline(static_cast<PLINT>(p.gain.x.size()), p.gain.x.data(), p.gain.y.data());
    plwidth(1.0);
    plcol0(3);
    if (!p.noise.x.empty()) plline(static_cast<PLINT>(p.noise.x.size()), p.noise.x.data(), p.noise.y.data());
    plschr(0.0, 0.6);  // smaller symbols
    plcol0(4);
    if (!p.odd.x.empty()) plstring(static_cast<PLINT>(p.odd.x.size()), p.odd.x.data(), p.odd.y.data(), "#(840)");
    plcol0(5);
    if (!p.even.x.empty())
        plstring(static_cast<PLINT>(p.even.x.size()), p.even.x.data(), p.even.y.data(), "#(852)");
    plschr(0.0, 1.0);
}

void drawLegend()
{
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
    pllegend(&legendWidth, &legendHeight, 0, PL_POSITION_RIGHT | PL_POSITION_OUTSIDE, 0.02, 0.0, 0.06, 0, 1, 1, 0, 0,
             4, options, 1.0, 0.8, 2.0, 0.0, textColors, texts, nullptr, nullptr, nullptr, nullptr, lineColors,
             lineStyles, lineWidths, symbolColors, symbolScales, symbolNumbers, symbols);
}

// Whether png is a whole PNG file: the signature first, the IEND chunk last. PLplot
// reports no failure of its own, so a plot cut short shows only here.
bool wholePng(const std::string &png)
{
    static const char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
    // The last chunk: length 0, "IEND" and its CRC.
    static const char IEND[] = "\0\0\0\0IEND\xae\x42\x60\x82";
    return png.size() >= 8 + 12 && png.compare(0, 8, SIGNATURE, 8) == 0 &&
           png.compare(png.size() - 12, 12, IEND, 12) == 0;
}

// The PNG of the plot, drawn in memory; empty when it could not be drawn whole.
std::string renderPlot(const Analysis &a)
{
    const PlotSeries series = seriesOf(a);
    const Frame frame = frameOf(a, series);
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    if (!memory) return std::string();
    beginPage(memory);
    drawSeries(frame, series);
    drawLegend();
    plend();  // closes memory, which sets buffer and size
    std::string png = buffer ? std::string(buffer, size) : std::string();
    std::free(buffer);
    return wholePng(png) ? png : std::string();
}

}  // namespace

bool plotSupported() { return true; }

Result claimPlot(const char *path, PlotOutput *plot)
{
    if (!hasPngCairo())
        return failure("--plot: PLplot's cairo driver is not installed (apt-get install plplot-driver-cairo).");
    return claimPlotFile(path, plot);
}

Result writePlot(const Analysis &a, PlotOutput *plot)
{
    const std::string png = renderPlot(a);
    if (png.empty()) return failure("--plot: PLplot did not draw the whole plot.");
    return writePlotFile(png, plot);
}

#else

bool plotSupported() { return false; }

Result claimPlot(const char *, PlotOutput *)
{
    return failure("--plot: this sonvel-analyze was built without PLplot (apt-get install "
                   "libplplot-dev plplot-driver-cairo, then build again).");
}

Result writePlot(const Analysis &, PlotOutput *) { return failure("--plot: no plot in this build."); }

Result commitPlot(PlotOutput *) { return failure("--plot: no plot in this build."); }

#endif
