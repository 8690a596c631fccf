// The readers of option values and the refusal of a value, for every program's options.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace {

// A character of a decimal number after its sign: a digit, the point, an exponent's
// mark, or the sign of an exponent (right after its mark).
bool decimalCharacter(const char *c)
{
    if (std::isdigit(static_cast<unsigned char>(*c)) || *c == '.' || *c == 'e' || *c == 'E') return true;
    return (*c == '-' || *c == '+') && (c[-1] == 'e' || c[-1] == 'E');
}

}  // namespace

bool readDecimal(const char *text, bool signAllowed, double *value)
{
    const char *at = text;
    if (signAllowed && (*at == '-' || *at == '+')) at++;
    if (!std::isdigit(static_cast<unsigned char>(*at)) && *at != '.') return false;
    for (const char *c = at; *c; c++)
        if (!decimalCharacter(c)) return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool readNumberAt(const char **at, double *value)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(*at, &end);
    if (end == *at || errno == ERANGE || !std::isfinite(v)) return false;
    *at = end;
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
