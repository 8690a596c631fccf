#include "result.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <utility>

std::string formatted(const char *fmt, ...)
{
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

Result failure(std::string sentence)
{
    Result r(Status::Failed);
    r.text = std::move(sentence);
    return r;
}

std::string Result::levelCause() const
{
    switch (status) {
    case Status::NotFinite: return "the signal power between the fades is not a finite number.";
    case Status::TooSmall: return "the signal power between the fades is too small to measure.";
    case Status::Cancel:
        return "the components cancel: the signal power between the fades is more than 100 dB below the "
               "sum of their squared amplitudes.";
    case Status::NotANumber: return "the scaled signal holds values that are not numbers.";
    case Status::AllZero: {
        const bool is16 = !subject || std::string(subject) == "s16";
        return formatted("every %s sample between the fades would be 0: the level is below what %s can hold.",
                         is16 ? "16-bit" : subject, is16 ? "16 bits" : subject);
    }
    default: return "";
    }
}

std::string Result::message() const
{
    switch (status) {
    case Status::Ok: return "";
    case Status::TooManyLines: return "error: readpars(): too many lines\n";
    case Status::IllegalForm: return "error: readpars(): illegal form of params\n";
    case Status::ReadError: return "error: readpars(): during reading parameters\n";
    case Status::NoParameters: return "error: readpars(): no parameters given\n";
    case Status::IntRange:
        return formatted("error: %s: %s does not fit in a 32-bit integer.\n", subject, text.c_str());
    case Status::Duration: return "error: -t: signal duration must be greater than 0 ms.\n";
    case Status::Rate: return "error: -s: sampling frequency must be greater than 0 Hz.\n";
    case Status::TaperNegative: return "error: -T: taper length must not be negative.\n";
    case Status::DataSize:
        return formatted("error: -t and -s: the signal must be 1 to %lld samples long, not %lld.\n",
                         limit, value);
    case Status::TaperSize:
        return formatted("error: -T and -s: the taper must be at most %lld samples long, not %lld.\n",
                         limit, value);
    case Status::FadesTooLong: return "signal length is shorter than taper length ... exit\n";
    case Status::BadSizes:
        return formatted("ERROR: %s(): cannot use %lld samples with fades of %lld samples.\n", subject,
                         value, taperSize);
    case Status::Overflow:
        // How far the peak lies above full scale, in dB.
        if (!subject || std::string(subject) == "s16")
            return "ERROR: signal overflow. Decrease power level.\n" +
                   formatted("Maximal value before substitution to short (16-bit): %.1f (%f dB)\n", peak,
                             20.0 * std::log10(peak / 32767.0));
        return "ERROR: signal overflow. Decrease power level.\n" +
               formatted("Maximal value before conversion to %s: %.*f (%f dB)\n", subject,
                         scale < 2.0 ? 6 : 1, peak, 20.0 * std::log10(peak / scale));
    case Status::NotFinite:
    case Status::TooSmall:
    case Status::Cancel:
    case Status::NotANumber:
    case Status::AllZero:
        return "ERROR: makeSoundSignal(): cannot set the power level: " + levelCause() + "\n";
    case Status::NoWorkMemory:
        return "ERROR: makeSoundSignal(): cannot allocate internal signal buffer.\n";
    case Status::NoSampleMemory: return "error: makeSoundSignal(): cannot allocate iwave.\n";
    case Status::PlanSpent: return "error: the signal of this plan has already been emitted.\n";
    case Status::Stopped: return "error: the run was stopped before its end.\n";
    case Status::Failed: return "error: " + text + "\n";
    }
    return "error: unknown failure.\n";
}
