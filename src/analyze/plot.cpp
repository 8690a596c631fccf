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

// The plot's file, its one owner: discarded unless committed. PLplot closes the stream
// it is given at plend, so it gets a stream of its own on the same file, and the
// output's own stream stays for the commit.
class PlotFile {
public:
    PlotFile() = default;
    PlotFile(const PlotFile &) = delete;
    PlotFile &operator=(const PlotFile &) = delete;
    ~PlotFile()
    {
        if (plotStream_) std::fclose(plotStream_);
        if (!committed_) discardOutput(&out_);
    }

    // Claims path and opens both streams; false when one cannot be had.
    bool open(const char *path)
    {
        if (!openOutput(path, &out_) || !beginOutput(&out_)) return false;
        const int copy = dup(fileno(out_.stream));
        if (copy < 0) return false;
        plotStream_ = fdopen(copy, "wb");
        if (!plotStream_) close(copy);
        return plotStream_ != nullptr;
    }

    // Hands PLplot its stream, which plend closes.
    void giveToPlplot()
    {
        plsfile(plotStream_);
        plotStream_ = nullptr;
    }

    // Renames the file into place. PLplot reports no failure to write: a file that is
    // empty or a header short has none, and is not committed.
    bool commit()
    {
        struct stat st;
        const bool written = fstat(fileno(out_.stream), &st) == 0 && st.st_size > 12;
        committed_ = written && commitOutput(&out_);
        return committed_;
    }

private:
    OutputFile out_;
    FILE *plotStream_ = nullptr;  // until PLplot takes it
    bool committed_ = false;
};

// The page and its colours: 1 axes and text, 2 response, 3 noise, 4 odd, 5 even.
void beginPage(PlotFile *file)
{
    plsdev("pngcairo");
    file->giveToPlplot();
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

}  // namespace

bool plotSupported() { return true; }

Result drawPlot(const char *path, const Analysis &a)
{
    if (!hasPngCairo())
        return failure("--plot: PLplot's cairo driver is not installed (apt-get install plplot-driver-cairo).");
    const PlotSeries series = seriesOf(a);
    const Frame frame = frameOf(a, series);
    PlotFile file;
    if (!file.open(path)) return failure(std::string("--plot: fail to open \"") + path + "\".");
    beginPage(&file);
    drawSeries(frame, series);
    drawLegend();
    plend();
    if (!file.commit()) return failure(std::string("--plot: fail to write \"") + path + "\".");
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
