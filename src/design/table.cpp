// The two-column tables of --lines and --amplitudes: read, and interpolated on a
// design's lines.
#include "design.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli.h"

namespace {

// The next line of a file, without its line end; false at the end of the file (or a
// read error) when no character is left.
bool nextLine(FILE *file, std::string *line)
{
    line->clear();
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') *line += static_cast<char>(c);
    return !(c == EOF && line->empty());
}

// What one line of a table holds: nothing (a blank or '#' line), or a frequency and a
// value, NAN where there is none, which may be a level in dB.
struct TableLine {
    bool empty = true;
    double freq = 0.0, value = NAN;
    bool level = false;
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const char *skipBlanks(const char *at)
{
    while (blank(*at)) at++;
    return at;
}

// The value after a table line's frequency, at `at`, into *entry: an amplitude of 0 or
// more, or a level with the suffix "dB". Returns nullptr, or what the line lacks.
const char *readTableValue(const char *at, TableLine *entry)
{
    if (!readNumberAt(&at, &entry->value) || !(blank(*at) || *at == '\0' || *at == 'd'))
        return "no number after the frequency.";
    const char *unit = skipBlanks(at);
    entry->level = std::strncmp(unit, "dB", 2) == 0 && (blank(unit[2]) || unit[2] == '\0');
    if (!entry->level && (*at == 'd' || entry->value < 0.0)) return "no amplitude of 0 or more, nor a level in dB.";
    return nullptr;
}

// Reads one line of a table into *entry. Returns nullptr, or what the line lacks, as
// the end of its refusal.
const char *readTableLine(const char *at, bool valuesNeeded, TableLine *entry)
{
    *entry = TableLine();
    at = skipBlanks(at);
    if (*at == '\0' || *at == '#') return nullptr;
    entry->empty = false;
    if (!readNumberAt(&at, &entry->freq) || !(entry->freq > 0.0) || !(blank(*at) || *at == '\0'))
        return "no frequency above 0 Hz.";
    at = skipBlanks(at);
    if (*at == '\0') return valuesNeeded ? "no amplitude or level after the frequency." : nullptr;
    return readTableValue(at, entry);
}

}  // namespace

Result readTable(const std::string &path, bool valuesNeeded, Table *table)
{
    *table = Table();
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) return failure(formatted("cannot read \"%s\": %s.", path.c_str(), std::strerror(errno)));
    std::string line;
    int number = 0, levels = 0;
    while (nextLine(file.get(), &line)) {
        number++;
        TableLine entry;
        const char *lacking = readTableLine(line.c_str(), valuesNeeded, &entry);
        if (lacking) return failure(formatted("%s:%d: %s", path.c_str(), number, lacking));
        if (entry.empty) continue;
        levels += entry.level;
        table->freq.push_back(entry.freq);
        table->value.push_back(entry.value);
    }
    if (std::ferror(file.get())) return failure(formatted("cannot read \"%s\".", path.c_str()));
    size_t valued = 0;
    for (double v : table->value) valued += !std::isnan(v);
    if (levels > 0 && static_cast<size_t>(levels) != valued)
        return failure(formatted("%s: levels in dB and amplitudes are mixed.", path.c_str()));
    if (table->freq.empty()) return failure(formatted("%s holds no line.", path.c_str()));
    table->decibels = levels > 0;
    return Status::Ok;
}

std::vector<double> tableAmplitudes(const Table &table, const std::vector<int> &bins, int rateHz, int period)
{
    // The table's points by frequency, as amplitudes.
    std::vector<std::pair<double, double>> points;
    for (size_t i = 0; i < table.freq.size(); i++)
        points.push_back(
            {table.freq[i], table.decibels ? std::pow(10.0, table.value[i] / 20.0) : table.value[i]});
    std::stable_sort(points.begin(), points.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<double> amp;
    for (int k : bins) {
        const double f = frequencyOf(k, rateHz, period);
        const auto above = std::lower_bound(points.begin(), points.end(), f,
                                            [](const auto &p, double hz) { return p.first < hz; });
        if (above == points.end()) {
            amp.push_back(points.back().second);
        } else if (above->first <= f * (1.0 + 1e-12) || above == points.begin()) {
            amp.push_back(above->second);
        } else {
            const auto below = above - 1;
            if (below->second == 0.0 || above->second == 0.0) {
                amp.push_back(0.0);
                continue;
            }
            const double w = std::log(f / below->first) / std::log(above->first / below->first);
            amp.push_back(std::exp((1.0 - w) * std::log(below->second) + w * std::log(above->second)));
        }
    }
    return amp;
}
