// The plot, drawn with PLplot's cairo driver where the build found PLplot, into memory
// and then into its file.
#include "report.h"

#ifdef SONVEL_HAVE_PLPLOT

#include <plplot.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>
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

// Claims the plot's file before the analysis, touching nothing that is there.
Result claimPlotFile(const char *path, PlotOutput *plot)
{
    if (!openOutput(path, &plot->file)) return failure(plotProblem("open", path, plot->file));
    return Result();
}

// Writes the whole plot into the claimed file, every byte checked; the file is placed
// only by commitPlot.
Result writePlotFile(const std::string &bytes, PlotOutput *plot)
{
    plot->file.expectedBytes = static_cast<long long>(bytes.size());
    OutputFile &file = plot->file;
    if (!beginOutput(&file)) return failure(plotProblem("open", file.path.c_str(), file));
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.stream) == bytes.size() &&
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

// The formats of the plot, by the path's extension (in any case), and PLplot's cairo
// device that writes each.
struct PlotFormat {
    const char *extension, *device;
};
const PlotFormat FORMATS[] = {{".png", "pngcairo"}, {".svg", "svgcairo"}, {".pdf", "pdfcairo"}};

const PlotFormat *formatOf(const char *path)
{
    const size_t length = std::strlen(path);
    for (const PlotFormat &f : FORMATS)
        if (length > 4 && strcasecmp(path + length - 4, f.extension) == 0) return &f;
    return nullptr;
}

// Whether PLplot has the device here (its cairo driver is a package of its own).
bool hasDevice(const char *device)
{
    // PLplot fills arrays of the caller's, whose size it is told.
    static const char *menu[256], *names[256];
    const char **menuAt = menu, **namesAt = names;
    int count = 256;
    plgFileDevs(&menuAt, &namesAt, &count);
    for (int i = 0; i < count; i++)
        if (std::strcmp(names[i], device) == 0) return true;
    return false;
}

struct Series {
    std::vector<PLFLT> x, y;
    void add(double freqHz, double v)
    {
        x.push_back(std::log10(freqHz));
        y.push_back(v);
    }
};

// Everything of the magnitude panel on the gain's scale: the gain and its 95 % interval
// as they are; the noise floor of the mean and the significant distortion of the lines
// not excited as their level (re the mean excited line, as in the table) plus the mean
// gain, so that their distance below the gain is their distance below the signal.
struct PlotSeries {
    Series gain, low, high, floor, odd, even;
    Series phase, phaseLow, phaseHigh;
    double shiftDb = 0.0;  // the mean gain: the table's levels are y - shiftDb
};

PlotSeries seriesOf(const Analysis &a)
{
    PlotSeries p;
    p.shiftDb = std::isfinite(a.meanGainDb) ? a.meanGainDb : 0.0;
    for (const LineResult &l : a.excited) {
        // A line with no response at all has a gain of -inf and no phase: nothing to draw.
        if (!std::isfinite(l.gainOrLevelDb)) continue;
        p.gain.add(l.freqHz, l.gainOrLevelDb);
        // An interval that reaches down to no response at all (a low end of -inf) is
        // drawn down past the frame's bottom, which lies at most 200 dB below its top.
        if (!std::isnan(l.gainLowDb) && std::isfinite(l.gainHighDb)) {
            p.low.add(l.freqHz, std::max(l.gainLowDb, l.gainOrLevelDb - 1000.0));
            p.high.add(l.freqHz, l.gainHighDb);
        }
        p.phase.add(l.freqHz, l.phaseDeg);
        if (std::isfinite(l.phaseHalfDeg)) {
            p.phaseLow.add(l.freqHz, l.phaseDeg - l.phaseHalfDeg);
            p.phaseHigh.add(l.freqHz, l.phaseDeg + l.phaseHalfDeg);
        }
    }
    for (const LineResult &l : a.other) {
        if (std::isfinite(l.floorDb)) p.floor.add(l.freqHz, l.floorDb + p.shiftDb);
        Series *s = l.kind == LINE_ODD ? &p.odd : l.kind == LINE_EVEN ? &p.even : nullptr;
        if (s && l.significant && std::isfinite(l.gainOrLevelDb)) s->add(l.freqHz, l.gainOrLevelDb + p.shiftDb);
    }
    return p;
}

// The window of the magnitude panel: log10 of the frequency from left to right, dB
// from bottom to top in whole tens, at most 200 dB, around the gain, the floor and the
// distortion (the interval's band is cut at its edges).
struct Frame {
    double left, right, bottom, top;
};

Frame frameOf(const Analysis &a, const PlotSeries &p)
{
    double top = -INFINITY, bottom = INFINITY;
    for (const Series *s : {&p.gain, &p.floor, &p.odd, &p.even})
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

// The colours: 1 axes and text, 2 gain and phase, 3 floor, 4 odd, 5 even, 6 the
// interval's fill, 7 the grid.
void beginPage(FILE *stream, const char *device)
{
    plsdev(device);
    plsfile(stream);
    plspage(0, 0, 1200, 900, 0, 0);
    plscolbg(255, 255, 255);
    plscol0(1, 0, 0, 0);
    plscol0(2, 31, 119, 180);
    plscol0(3, 127, 127, 127);
    plscol0(4, 214, 39, 40);
    plscol0(5, 44, 160, 44);
    plscol0(6, 174, 199, 232);
    plscol0(7, 210, 210, 210);
    plinit();
    pladv(0);
    plschr(0.0, 0.7);
}

// The frequency axis at the audio frequencies that fall within the frame, with a grid
// line at each; labels under the lower panel only.
void drawFrequencyAxis(double left, double right, double bottom, double top, bool labels)
{
    static const struct {
        double hz;
        const char *text;
    } TICKS[] = {{20, "20"},    {50, "50"},   {100, "100"}, {200, "200"}, {500, "500"},
                 {1000, "1k"},  {2000, "2k"}, {5000, "5k"}, {10000, "10k"}, {20000, "20k"}};
    for (const auto &tick : TICKS) {
        const double x = std::log10(tick.hz);
        if (x < left || x > right) continue;
        plcol0(7);
        pljoin(x, bottom, x, top);
        plcol0(1);
        if (labels) plmtex("b", 1.5, (x - left) / (right - left), 0.5, tick.text);
    }
    if (labels) plmtex("b", 3.2, 0.5, 0.5, "frequency [Hz]");
}

// A line through the points, broken where the phase wraps from one side to the other.
void drawWrapped(const Series &s)
{
    size_t from = 0;
    for (size_t i = 1; i <= s.x.size(); i++) {
        if (i < s.x.size() && std::fabs(s.y[i] - s.y[i - 1]) <= 180.0) continue;
        if (i - from > 1) plline(static_cast<PLINT>(i - from), &s.x[from], &s.y[from]);
        from = i;
    }
}

// The 95 % interval of the gain as a filled band: up along the high ends, back along
// the low ones.
void drawBand(const Series &low, const Series &high)
{
    if (low.x.size() < 2) return;
    std::vector<PLFLT> x(high.x), y(high.y);
    x.insert(x.end(), low.x.rbegin(), low.x.rend());
    y.insert(y.end(), low.y.rbegin(), low.y.rend());
    plcol0(6);
    plfill(static_cast<PLINT>(x.size()), x.data(), y.data());
}

void drawPoints(const Series &s, int color, const char *glyph)
{
    if (s.x.empty()) return;
    plcol0(color);
    plstring(static_cast<PLINT>(s.x.size()), s.x.data(), s.y.data(), glyph);
}

// The open circles of odd and crosses of even distortion stay visible where they meet.
const char ODD_GLYPH[] = "○", EVEN_GLYPH[] = "×";

// The upper panel: gain with its interval, floor and distortion against the gain's
// dB on the left and the table's level (re the mean excited line) on the right.
void drawMagnitude(const Frame &f, const PlotSeries &p)
{
    plvpor(0.09, 0.70, 0.40, 0.93);
    plwind(f.left, f.right, f.bottom, f.top);
    drawFrequencyAxis(f.left, f.right, f.bottom, f.top, false);
    drawBand(p.low, p.high);
    plcol0(3);
    if (p.floor.x.size() > 1) plline(static_cast<PLINT>(p.floor.x.size()), p.floor.x.data(), p.floor.y.data());
    plwidth(2.0);
    plcol0(2);
    if (p.gain.x.size() > 1) plline(static_cast<PLINT>(p.gain.x.size()), p.gain.x.data(), p.gain.y.data());
    plwidth(1.0);
    plschr(0.0, 0.6);
    drawPoints(p.even, 5, EVEN_GLYPH);
    drawPoints(p.odd, 4, ODD_GLYPH);
    plschr(0.0, 0.7);
    plcol0(7);
    plbox("", 0.0, 0, "g", 0.0, 0);
    plcol0(1);
    plbox("bc", 0.0, 0, "bnstv", 0.0, 0);
    pllab("", "gain [dB]", "sonvel-analyze: response, noise floor of the mean and significant distortion");
    plwind(f.left, f.right, f.bottom - p.shiftDb, f.top - p.shiftDb);
    plbox("", 0.0, 0, "cmstv", 0.0, 0);
    plmtex("r", 5.0, 0.5, 0.5, "level re the mean excited line [dB]");
}

// The lower panel: the phase with its 95 % interval as a bar at each line, in degrees.
void drawPhase(const Frame &f, const PlotSeries &p)
{
    plvpor(0.09, 0.70, 0.08, 0.32);
    plwind(f.left, f.right, -180.0, 180.0);
    drawFrequencyAxis(f.left, f.right, -180.0, 180.0, true);
    plcol0(6);
    for (size_t i = 0; i < p.phaseLow.x.size(); i++)
        pljoin(p.phaseLow.x[i], p.phaseLow.y[i], p.phaseHigh.x[i], p.phaseHigh.y[i]);
    plcol0(2);
    drawWrapped(p.phase);
    plcol0(7);
    plbox("", 0.0, 0, "g", 90.0, 0);
    plcol0(1);
    plbox("bc", 0.0, 0, "bcnstv", 90.0, 0);
    pllab("", "phase [deg]", "");
}

void drawLegend()
{
    const PLINT LINE = PL_LEGEND_LINE, SYMBOL = PL_LEGEND_SYMBOL, BOX = PL_LEGEND_COLOR_BOX;
    PLINT options[5] = {LINE, BOX, LINE, SYMBOL, SYMBOL};
    const char *texts[5] = {"gain and phase", "95 % interval", "floor of the mean", "odd distortion",
                            "even distortion"};
    PLINT textColors[5] = {1, 1, 1, 1, 1};
    PLINT boxColors[5] = {0, 6, 0, 0, 0}, boxPatterns[5] = {0, 0, 0, 0, 0};
    PLFLT boxScales[5] = {0.0, 0.8, 0.0, 0.0, 0.0}, boxWidths[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    PLINT lineColors[5] = {2, 0, 3, 0, 0}, lineStyles[5] = {1, 1, 1, 1, 1};
    PLFLT lineWidths[5] = {2.0, 1.0, 1.0, 1.0, 1.0};
    PLINT symbolColors[5] = {0, 0, 0, 4, 5}, symbolNumbers[5] = {1, 1, 1, 1, 1};
    PLFLT symbolScales[5] = {0.8, 0.8, 0.8, 0.8, 0.8};
    const char *symbols[5] = {"", "", "", ODD_GLYPH, EVEN_GLYPH};
    PLFLT legendWidth = 0.0, legendHeight = 0.0;
    plvpor(0.09, 0.70, 0.40, 0.93);
    pllegend(&legendWidth, &legendHeight, 0, PL_POSITION_RIGHT | PL_POSITION_OUTSIDE, 0.13, 0.0,
             0.05, 0, 1, 1, 0, 0, 5, options, 1.0, 0.65, 2.0, 0.0, textColors, texts, boxColors, boxPatterns,
             boxScales, boxWidths, lineColors, lineStyles, lineWidths, symbolColors, symbolScales, symbolNumbers,
             symbols);
}

// Whether the bytes are a whole file of the device: its signature first and its last
// item last. PLplot reports no failure of its own, so a plot cut short shows only here.
bool wholeFile(const std::string &bytes, const char *device)
{
    // PNG: the signature, and the last chunk: length 0, "IEND" and its CRC.
    static const char PNG[] = "\x89PNG\r\n\x1a\n", IEND[] = "\0\0\0\0IEND\xae\x42\x60\x82";
    if (std::strcmp(device, "pngcairo") == 0)
        return bytes.size() >= 8 + 12 && bytes.compare(0, 8, PNG, 8) == 0 &&
               bytes.compare(bytes.size() - 12, 12, IEND, 12) == 0;
    const bool svg = std::strcmp(device, "svgcairo") == 0;
    const std::string head = svg ? "<?xml" : "%PDF-", tail = svg ? "</svg>" : "%%EOF";
    const size_t end = bytes.find_last_not_of(" \r\n");
    return bytes.compare(0, head.size(), head) == 0 && end != std::string::npos && end + 1 >= tail.size() &&
           bytes.compare(end + 1 - tail.size(), tail.size(), tail) == 0;
}

// The file of the plot, drawn in memory; empty when it could not be drawn whole.
std::string renderPlot(const Analysis &a, const char *device)
{
    const PlotSeries series = seriesOf(a);
    const Frame frame = frameOf(a, series);
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    if (!memory) return std::string();
    beginPage(memory, device);
    drawMagnitude(frame, series);
    drawLegend();
    drawPhase(frame, series);
    plend();  // closes memory, which sets buffer and size
    std::string bytes = buffer ? std::string(buffer, size) : std::string();
    std::free(buffer);
    return wholeFile(bytes, device) ? bytes : std::string();
}

}  // namespace

bool plotSupported() { return true; }

Result claimPlot(const char *path, PlotOutput *plot)
{
    // Standard output takes the results, so the plot cannot go there too.
    if (descriptorOfPath(path) == 1)
        return failure("--plot: the results go to standard output; the plot cannot go there too.");
    const PlotFormat *format = formatOf(path);
    if (!format) return failure(std::string("--plot: \"") + path + "\" ends in neither .png, .svg nor .pdf.");
    if (!hasDevice(format->device))
        return failure("--plot: PLplot's cairo driver is not installed (apt-get install plplot-driver-cairo).");
    plot->device = format->device;
    return claimPlotFile(path, plot);
}

Result writePlot(const Analysis &a, PlotOutput *plot)
{
    const std::string bytes = renderPlot(a, plot->device.c_str());
    if (bytes.empty()) return failure("--plot: PLplot did not draw the whole plot.");
    return writePlotFile(bytes, plot);
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
