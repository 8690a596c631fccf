// How the library reports failures: a Result names what went wrong and carries the
// values its message needs; the library never prints. A program, or one of the
// whole-buffer functions of gen_signal.h, prints message() and decides the exit status.
#ifndef SONVEL_RESULT_H
#define SONVEL_RESULT_H

#include <string>

enum class Status {
    Ok,
    // The parameter list.
    TooManyLines,    // a component line beyond MAXSINES
    IllegalForm,     // a line without a leading number
    ReadError,       // the stream reported an error
    NoParameters,    // no component line at all
    // Sizes and settings.
    IntRange,        // subject: the option; text: its value
    Duration,        // -t not above 0
    Rate,            // -s not above 0
    TaperNegative,   // -T below 0
    DataSize,        // value: the data size; limit: the largest allowed
    TaperSize,       // value: the taper size; limit: the largest allowed
    FadesTooLong,    // two fades longer than the signal
    BadSizes,        // subject: the function; value, taperSize: the size and taper given
    // The level setting.
    Overflow,        // peak: the largest magnitude after scaling
    NotFinite,       // the power between the fades is not a finite number
    TooSmall,        // the power is below the smallest normal double
    Cancel,          // the components cancel
    NotANumber,      // samples that are not numbers
    AllZero,         // every sample between the fades would be 0 (subject: the format)
    // Memory and plans.
    NoWorkMemory,    // the level setting's work buffer
    NoSampleMemory,  // the 16-bit output buffer
    PlanSpent,       // a plan's samples were already emitted
    Stopped,         // the receiver of the samples stopped the run
    // Any other refusal of a program or of its library: text is the sentence after
    // "error: ", without the line end.
    Failed,
};

struct Result {
    Status status = Status::Ok;
    const char *subject = nullptr;  // an option, a function or what was allocated
    std::string text;               // a value as the user wrote it
    long long value = 0, limit = 0;  // a size, and the largest allowed
    long long taperSize = 0;          // BadSizes: the taper given, in samples
    double peak = 0.0;
    double scale = 32767.0;  // the full scale a peak is compared with

    Result() = default;
    Result(Status s) : status(s) {}  // NOLINT: a bare status converts
    bool ok() const { return status == Status::Ok; }
    // The message of the failure, every line with its line end; empty for Ok.
    std::string message() const;
    // Why the level cannot be set, one sentence, for NotFinite .. AllZero; else empty.
    std::string levelCause() const;
};

// A failure whose message is "error: " and the sentence given.
Result failure(std::string sentence);

// printf into a string of whatever length it takes: the texts of results, refusals and
// reports.
std::string formatted(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Returned by a program's option parser when the run goes on; any other value is the
// exit status of a run that ends there (-h, a refused option).
constexpr int RUN_CONTINUES = -1;

#endif
