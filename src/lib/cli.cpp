#include "cli.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sizes.h"

namespace {

// getopt_long's codes: an option's letter, or one past the letters for a long name
// alone; --help and --version come after every table row.
constexpr int FIRST_LONG_CODE = 256;

struct Codes {
    std::vector<const Option *> rows;
    std::vector<option> longOptions;
    std::string letters;
    int helpCode = 0, versionCode = 0;
};

int codeOf(const Option &o, size_t index)
{
    return o.letter ? o.letter : FIRST_LONG_CODE + static_cast<int>(index);
}

Codes codesOf(const Program &program)
{
    Codes c;
    for (const OptionGroup &g : program.groups)
        for (const Option &o : g.options) c.rows.push_back(&o);
    for (size_t i = 0; i < c.rows.size(); i++) {
        const Option &o = *c.rows[i];
        if (o.name) c.longOptions.push_back({o.name, o.arg ? required_argument : no_argument, nullptr, codeOf(o, i)});
        if (o.letter) c.letters += std::string(1, o.letter) + (o.arg ? ":" : "");
    }
    c.helpCode = program.letterHForHelp ? 'h' : FIRST_LONG_CODE + static_cast<int>(c.rows.size());
    c.versionCode = FIRST_LONG_CODE + static_cast<int>(c.rows.size()) + 1;
    if (program.letterHForHelp) c.letters += "h";
    c.longOptions.push_back({"help", no_argument, nullptr, c.helpCode});
    c.longOptions.push_back({"version", no_argument, nullptr, c.versionCode});
    c.longOptions.push_back({nullptr, 0, nullptr, 0});
    return c;
}

// What was wrong with a long option getopt_long did not take: no such name, a prefix
// of several, a value missing or a value where none is taken.
Result longOptionFault(const Codes &c, const char *element, const char *programName)
{
    const std::string text = element + 2;
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    std::vector<const option *> matches;
    std::set<int> codes;
    for (const option &o : c.longOptions) {
        if (!o.name) break;
        if (name == o.name) {
            matches.assign(1, &o);
            codes = {o.val};
            break;
        }
        if (std::strncmp(o.name, name.c_str(), name.size()) == 0) {
            matches.push_back(&o);
            codes.insert(o.val);
        }
    }
    const std::string shown = escaped(("--" + name).c_str());
    if (matches.empty())
        return failure(formatted("%s: no such option; see %s --help.", shown.c_str(), programName));
    if (codes.size() > 1) {
        std::string names;
        for (const option *o : matches) names += std::string(names.empty() ? "" : ", ") + "--" + o->name;
        return failure(formatted("%s is ambiguous: it may be %s.", shown.c_str(), names.c_str()));
    }
    if (matches[0]->has_arg == no_argument)
        return failure(formatted("--%s takes no value.", matches[0]->name));
    return failure(formatted("--%s needs a value.", matches[0]->name));
}

// Whether the option getopt_long refused was a long one. optopt is 0 for a name it did
// not find and the code of an option it found but could not take; a letter in the list
// was a long name's code when the element read last starts with "--" (a letter's own
// refusal, a missing value, always ends its element).
bool refusedLongOption(const Codes &c, int opt, const char *lastElement)
{
    if (opt == 0 || opt >= FIRST_LONG_CODE) return true;
    if (c.letters.find(static_cast<char>(opt)) == std::string::npos) return false;
    return std::strncmp(lastElement, "--", 2) == 0;
}

// getopt's own diagnostic of a letter it refused, word for word.
std::string shortDiagnostic(const Codes &c, const char *programName, int letter)
{
    const bool known = c.letters.find(static_cast<char>(letter)) != std::string::npos;
    return formatted(known ? "%s: option requires an argument -- '%c'\n" : "%s: invalid option -- '%c'\n",
                     programName, letter);
}

Result letterFault(const Codes &c, int letter, const char *programName)
{
    if (c.letters.find(static_cast<char>(letter)) != std::string::npos)
        return failure(formatted("-%c needs a value.", letter));
    return failure(formatted("-%s: no such option; see %s --help.", escaped(std::string(1, static_cast<char>(letter)).c_str()).c_str(),
                             programName));
}

const Option *rowOf(const Codes &c, int code)
{
    for (size_t i = 0; i < c.rows.size(); i++)
        if (codeOf(*c.rows[i], i) == code) return c.rows[i];
    return nullptr;
}

// Words of text in lines of at most width characters, the first after `first` and the
// others after `indent`.
std::string wrapped(const std::string &first, const std::string &text, size_t indent, size_t width)
{
    std::string out = first, line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    return out + line + "\n";
}

// One option's line: its names from the third column, its text from the thirty-first,
// or on the next line when the names reach that far.
std::string helpRow(const Option &o)
{
    const size_t TEXT_COLUMN = 30, WIDTH = 79;
    std::string names = "  ";
    if (o.letter) names += std::string("-") + o.letter + (o.name ? ", " : "");
    else names += "    ";
    if (o.name) names += std::string("--") + o.name;
    if (o.arg) names += std::string(" ") + o.arg;
    const std::string text = o.help + (o.byDefault.empty() ? "" : ", " + o.byDefault + " by default");
    if (names.size() + 2 > TEXT_COLUMN) names += "\n" + std::string(TEXT_COLUMN, ' ');
    else names.resize(TEXT_COLUMN, ' ');
    return wrapped(names, text, TEXT_COLUMN, WIDTH);
}

}  // namespace

ParsedLine parseCommandLine(const Program &program, int argc, char **argv)
{
    const Codes c = codesOf(program);
    ParsedLine out;
    optind = 0;  // a full new start, so that a program or a test may parse more than once
    opterr = 0;  // the diagnostics are made here
    for (int code; (code = getopt_long(argc, argv, c.letters.c_str(), c.longOptions.data(), nullptr)) != -1;) {
        if (code == '?') {
            if (refusedLongOption(c, optopt, argv[optind - 1])) {
                out.end = ParseEnd::Refused;
                out.failure = longOptionFault(c, argv[optind - 1], program.name);
                return out;
            }
            if (!program.letterMistakesGoOn) {
                out.end = ParseEnd::Refused;
                out.failure = letterFault(c, optopt, program.name);
                return out;
            }
            out.diagnostics += shortDiagnostic(c, argv[0], optopt);
            continue;
        }
        if (code == c.helpCode || code == c.versionCode) {
            out.end = code == c.helpCode ? ParseEnd::Help : ParseEnd::Version;
            return out;
        }
        const Option *o = rowOf(c, code);
        Result r = o->take ? o->take(optarg) : Result();
        if (!r.ok()) {
            out.end = ParseEnd::Refused;
            out.failure = r;
            return out;
        }
        if (o->endsParsing) {
            out.end = ParseEnd::Stopped;
            return out;
        }
    }
    for (int i = optind; i < argc; i++) out.operands.push_back(argv[i]);
    return out;
}

std::string helpText(const Program &program)
{
    std::string text;
    for (size_t i = 0; i < program.usage.size(); i++)
        text += std::string(i == 0 ? "usage: " : "       ") + program.name + " " + program.usage[i] + "\n";
    for (const OptionGroup &g : program.groups) {
        text += std::string("\n") + g.title + ":\n";
        for (const Option &o : g.options) text += helpRow(o);
    }
    text += helpRow({"help", program.letterHForHelp ? 'h' : '\0', nullptr,
                     "print this help on standard output", "", nullptr});
    text += helpRow({"version", 0, nullptr, "print the program's name and version", "", nullptr});
    return text;
}

std::string versionText(const Program &program)
{
    return std::string(program.name) + " " SONVEL_VERSION "\n";
}

bool readDecimal(const char *text, bool signAllowed, double *value)
{
    const char *at = text;
    if (signAllowed && (*at == '-' || *at == '+')) at++;
    if (!std::isdigit(static_cast<unsigned char>(*at)) && *at != '.') return false;
    for (const char *c = at; *c; c++) {
        const bool exponentSign = (*c == '-' || *c == '+') && (c[-1] == 'e' || c[-1] == 'E');
        if (!std::isdigit(static_cast<unsigned char>(*c)) && *c != '.' && *c != 'e' && *c != 'E' &&
            !exponentSign)
            return false;
    }
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool readWhole(const char *text, unsigned long long high, unsigned long long *value)
{
    for (const char *c = text; *c; c++)
        if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v > high) return false;
    *value = v;
    return true;
}

bool readInt(const char *text, int low, int high, int *value)
{
    unsigned long long v = 0;
    if (!readWhole(text, static_cast<unsigned long long>(high), &v) || v < static_cast<unsigned long long>(low))
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool readChoice(const char *text, const char *const *names, int *choice)
{
    for (int i = 0; names[i]; i++) {
        if (std::strcmp(text, names[i]) == 0) {
            *choice = i;
            return true;
        }
    }
    return false;
}

Result refusal(const char *option, const char *value, const char *expected)
{
    return failure(formatted("%s: \"%s\" is not %s.", option, escaped(value).c_str(), expected));
}

std::string escaped(const char *text)
{
    std::string out;
    for (const char *c = text; *c; c++) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u >= 0x20 && u != 0x7f) {
            out += *c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, u == '\n' ? "\\n" : u == '\t' ? "\\t" : "\\x%02x", u);
            out += code;
        }
    }
    return out;
}

SignalOptions::SignalOptions()
    : durationMs(DEFAULT_DURATION_MS), samplingHz(DEFAULT_SAMPLING_HZ), levelDb(DEFAULT_LEVEL_DB),
      taperMs(DEFAULT_TAPER_MS)
{
}

namespace {

// -t, -s and -T: the value as atoi reads it, and the text for the range check.
Option integerOption(const char *name, char letter, const char *arg, const char *help, int byDefault, int *value,
                     const char **text)
{
    return {name, letter, arg, help, std::to_string(byDefault), [value, text](const char *v) {
                *value = std::atoi(v);
                *text = v;
                return Result();
            }};
}

// A long option that names one of a few choices.
template <typename T>
Option namedOption(const char *name, const char *arg, const char *help, const char *byDefault,
                   const char *expected, bool (*named)(const char *, T *), T *value, bool *given)
{
    return {name, 0, arg, help, byDefault, [=](const char *v) {
                *given = true;
                return named(v, value) ? Result() : refusal((std::string("--") + name).c_str(), v, expected);
            }};
}

}  // namespace

OptionGroup signalOptions(SignalOptions *s, unsigned which, const char *listHelp)
{
    OptionGroup g{"signal options", {}};
    if (which & SIGNAL_DURATION)
        g.options.push_back(integerOption("duration", 't', "MS", "signal duration in ms", DEFAULT_DURATION_MS,
                                          &s->durationMs, &s->durationText));
    if (which & SIGNAL_RATE)
        g.options.push_back(integerOption("rate", 's', "HZ", "sampling frequency in Hz", DEFAULT_SAMPLING_HZ,
                                          &s->samplingHz, &s->samplingText));
    if (which & SIGNAL_LEVEL) {
        g.options.push_back({nullptr, 'l', "DB", "power level in whole dB, below 0 dB", std::to_string(DEFAULT_LEVEL_DB),
                             [s](const char *v) {
                                 s->levelDb = std::atoi(v);
                                 s->levelText = v;
                                 s->levelOption = nullptr;  // the later of -l and --level wins
                                 return s->levelDb >= 0 ? failure("power level must be less than zero.") : Result();
                             }});
        g.options.push_back({"level", 0, "DB[UNIT]",
                             "power level with decimals, as -l; with --calibrate also in dB SPL (80spl), dBu "
                             "or dBV (-10dBu)",
                             "", [s](const char *v) {
                                 double value = 0.0;
                                 LevelUnit unit;
                                 s->extended = true;
                                 if (!parseLevelText(v, &value, &unit))
                                     return refusal("--level", v, "a level in dB, or with a unit of dB SPL, dBu or dBV");
                                 s->levelOption = v;
                                 return Result();
                             }});
    }
    if (which & SIGNAL_TAPER)
        g.options.push_back(integerOption("taper", 'T', "MS", "taper length in ms, at each end", DEFAULT_TAPER_MS,
                                          &s->taperMs, &s->taperText));
    if (which & SIGNAL_LIST)
        g.options.push_back({nullptr, 'f', "FILE", listHelp, "", [s](const char *v) {
                                 s->paramPath = v;
                                 return Result();
                             }});
    if (which & SIGNAL_FORMAT) {
        g.options.push_back(namedOption("sample-format", "s16|s24|s32|f32",
                                        "16-, 24-, 32-bit integer or 32-bit float samples", "s16",
                                        "s16, s24, s32 or f32", sampleFormatNamed, &s->sampleFormat, &s->extended));
        g.options.push_back(namedOption("quantize", "truncate|round|tpdf",
                                        "to integers toward zero, to the nearest, or with triangular dither of "
                                        "+-1 LSB",
                                        "truncate", "truncate, round or tpdf", quantizerNamed, &s->quantizer,
                                        &s->extended));
    }
    if (which & SIGNAL_SEED)
        g.options.push_back({"seed", 0, "N", "seed of the dither", "1", [s](const char *v) {
                                 unsigned long long seed = 0;
                                 s->extended = true;
                                 if (!readWhole(v, ULLONG_MAX, &seed))
                                     return refusal("--seed", v, "a whole number");
                                 s->seed = seed;
                                 return Result();
                             }});
    if (which & SIGNAL_SCALE) {
        g.options.push_back(namedOption("full-scale", "dc|sine", "dB relative to a full-scale constant or sine",
                                        "dc", "dc or sine", referenceNamed, &s->reference, &s->extended));
        g.options.push_back(namedOption("calibrate", "DB=LEVEL[UNIT]",
                                        "the system gives LEVEL (dB SPL unless a unit follows) at DB dB of full "
                                        "scale",
                                        "", "DB=LEVEL with LEVEL in dB SPL, dBu or dBV", parseCalibration,
                                        &s->calibration, &s->extended));
    }
    return g;
}

Result resolveSignal(const SignalOptions &s, long long maxSamples, int *dataSize, int *taperSize, double *targetDb)
{
    const struct {
        const char *option, *text;
    } integers[] = {{"-t", s.durationText}, {"-s", s.samplingText}, {"-T", s.taperText}, {"-l", s.levelText}};
    for (const auto &i : integers) {
        if (i.text && !fitsInt(i.text)) {
            Result r(Status::IntRange);
            r.subject = i.option;
            r.text = i.text;
            return r;
        }
    }
    Result r = signalSizes(s.samplingHz, s.durationMs, s.taperMs, dataSize, taperSize, maxSamples);
    if (!r.ok()) return r;
    double value = s.levelDb;
    LevelUnit unit = LevelUnit::FullScale;
    if (s.levelOption) parseLevelText(s.levelOption, &value, &unit);
    if (!levelToDc(value, unit, s.reference, s.calibration, targetDb))
        return failure(formatted("--level: \"%s\" is in %s, and no --calibrate gives %s.", s.levelOption,
                                 unitName(unit), unitName(unit)));
    if (!(*targetDb < 0.0)) return failure("power level must be less than zero.");
    return Result();
}
