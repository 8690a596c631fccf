// The group of signal options that sonvel, the designer and the analyzer read alike,
// and what they make of them: the sizes in samples and the level aimed at.
#include <climits>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "sizes.h"

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

// -l, read as atoi reads it and refused at once when not below 0, and --level with
// decimals and units; the later of the two wins.
void addLevelOptions(SignalOptions *s, std::vector<Option> *options)
{
    options->push_back({nullptr, 'l', "DB", "power level in whole dB, below 0 dB", std::to_string(DEFAULT_LEVEL_DB),
                        [s](const char *v) {
                            s->levelDb = std::atoi(v);
                            s->levelText = v;
                            s->levelOption = nullptr;
                            return s->levelDb >= 0 ? failure("power level must be less than zero.") : Result();
                        }});
    options->push_back({"level", 0, "DB[UNIT]",
                        "power level with decimals, as -l; with --calibrate also in dB SPL (80spl), dBu or dBV "
                        "(-10dBu)",
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

// --sample-format and --quantize.
void addFormatOptions(SignalOptions *s, std::vector<Option> *options)
{
    options->push_back(namedOption("sample-format", "s16|s24|s32|f32",
                                   "16-, 24-, 32-bit integer or 32-bit float samples", "s16", "s16, s24, s32 or f32",
                                   sampleFormatNamed, &s->sampleFormat, &s->extended));
    options->push_back(namedOption("quantize", "truncate|round|tpdf",
                                   "to integers toward zero, to the nearest, or with triangular dither of +-1 LSB",
                                   "truncate", "truncate, round or tpdf", quantizerNamed, &s->quantizer,
                                   &s->extended));
}

// --full-scale and --calibrate.
void addScaleOptions(SignalOptions *s, std::vector<Option> *options)
{
    options->push_back(namedOption("full-scale", "dc|sine", "dB relative to a full-scale constant or sine", "dc",
                                   "dc or sine", referenceNamed, &s->reference, &s->extended));
    options->push_back(namedOption("calibrate", "DB=LEVEL[UNIT]",
                                   "the system gives LEVEL (dB SPL unless a unit follows) at DB dB of full scale", "",
                                   "DB=LEVEL with LEVEL in dB SPL, dBu or dBV", parseCalibration, &s->calibration,
                                   &s->extended));
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
    if (which & SIGNAL_LEVEL) addLevelOptions(s, &g.options);
    if (which & SIGNAL_TAPER)
        g.options.push_back(integerOption("taper", 'T', "MS", "taper length in ms, at each end", DEFAULT_TAPER_MS,
                                          &s->taperMs, &s->taperText));
    if (which & SIGNAL_LIST)
        g.options.push_back({nullptr, 'f', "FILE", listHelp, "", [s](const char *v) {
                                 s->paramPath = v;
                                 return Result();
                             }});
    if (which & SIGNAL_FORMAT) addFormatOptions(s, &g.options);
    if (which & SIGNAL_SEED)
        g.options.push_back({"seed", 0, "N", "seed of the dither", "1", [s](const char *v) {
                                 unsigned long long seed = 0;
                                 s->extended = true;
                                 if (!readWhole(v, ULLONG_MAX, &seed)) return refusal("--seed", v, "a whole number");
                                 s->seed = seed;
                                 return Result();
                             }});
    if (which & SIGNAL_SCALE) addScaleOptions(s, &g.options);
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
