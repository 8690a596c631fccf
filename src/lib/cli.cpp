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
