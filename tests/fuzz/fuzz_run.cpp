// The program below its command line: fuzzed option values and a fuzzed parameter
// list run through sonvelMain with raw output into memory files. Every refusal must
// end with status 1 and a message; every sample written must be the truncation toward
// zero of a finite value within 16-bit full scale, as worked out here from the same list.
//
// Input: four lines with the values of -t, -s, -l and -T, then the parameter list.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gen_signal.h"
#include "sonvel.h"

namespace {

// Signals longer than this are skipped, so that every input runs in milliseconds.
const double MAX_SAMPLES = 2000;

struct MemoryFile {
    explicit MemoryFile(const char *name) : fd(memfd_create(name, 0)) {}
    ~MemoryFile() { close(fd); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
    std::string contents() const
    {
        std::string data(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        if (!data.empty() && pread(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size()))
            std::abort();
        return data;
    }
    int fd;
};

// Takes the next line of the input as an option value (at most 12 characters of it).
std::string nextValue(const uint8_t *&data, size_t &size)
{
    std::string value;
    while (size > 0) {
        char c = static_cast<char>(*data++);
        size--;
        if (c == '\n') break;
        if (value.size() < 12 && c != '\0') value += c;
    }
    return value;
}

// The samples the run must have written, worked out from the list with the library's
// steps; empty when no signal can be made. Aborts on a sample that breaks the contract.
void checkSamples(const std::string &list, const RunSettings &s, const std::string &written)
{
    std::unique_ptr<ParamTable> t(new ParamTable());
    FILE *in = fmemopen(const_cast<char *>(list.data()), list.size(), "r");
    FILE *savedErr = stderr;
    stderr = std::fopen("/dev/null", "w");
    t->count = readpars(t->freq, t->amp, t->phase, in);
    std::fclose(stderr);
    stderr = savedErr;
    std::fclose(in);

    std::vector<double> x(s.dataSize, 0.0);
    sumComponents(x.data(), s.dataSize, t->freq, t->amp, t->phase, t->count, s.samplingHz);
    addTaper(x.data(), s.dataSize, s.taperSize);
    double p = calcPower(x.data(), BUF_DOUBLE, s.dataSize, s.taperSize);
    scale(x.data(), s.dataSize, std::pow(10.0, (s.levelDb - p) / 20.0));
    if (written.size() != 2u * s.dataSize) std::abort();
    for (int n = 0; n < s.dataSize; n++) {
        int16_t sample = static_cast<int16_t>(static_cast<uint8_t>(written[2 * n]) |
                                              static_cast<uint8_t>(written[2 * n + 1]) << 8);
        if (!std::isfinite(x[n]) || std::fabs(x[n]) > FULL_SCALE) std::abort();
        if (sample != static_cast<int16_t>(x[n])) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string t = nextValue(data, size), s = nextValue(data, size);
    std::string l = nextValue(data, size), T = nextValue(data, size);
    std::string list(reinterpret_cast<const char *>(data), size);

    // Skip long signals before running anything; refusals of any size still run.
    RunSettings expected;
    expected.durationMs = std::atoi(t.c_str());
    expected.samplingHz = std::atoi(s.c_str());
    expected.levelDb = std::atoi(l.c_str());
    expected.taperMs = std::atoi(T.c_str());
    if (expected.durationMs > 0 && expected.samplingHz > 0 &&
        std::trunc(expected.samplingHz / 1000.0 * expected.durationMs) > MAX_SAMPLES &&
        std::trunc(expected.samplingHz / 1000.0 * expected.durationMs) <= MAX_DATA_SIZE)
        return 0;

    MemoryFile listFile("list"), outFile("out");
    if (!list.empty() && write(listFile.fd, list.data(), list.size()) != static_cast<ssize_t>(list.size()))
        std::abort();
    std::string listPath = listFile.path(), outPath = outFile.path();
    std::vector<std::string> args{"sonvel", "-r", "-t", t, "-s", s, "-l", l, "-T", T,
                                  "-f", listPath, outPath};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    char *err = nullptr, *out = nullptr;
    size_t errSize = 0, outSize = 0;
    FILE *savedErr = stderr, *savedOut = stdout;
    stderr = open_memstream(&err, &errSize);
    stdout = open_memstream(&out, &outSize);
    int status = sonvelMain(static_cast<int>(args.size()), argv.data());
    std::fclose(stderr);
    std::fclose(stdout);
    stderr = savedErr;
    stdout = savedOut;

    if (status != 0 && status != 1) std::abort();
    if (status == 1 && errSize == 0 && outSize == 0) std::abort();
    if (status == 0) {
        if (outSize != 0) std::abort();
        if (deriveSizes(&expected) != 0) std::abort();
        checkSamples(list, expected, outFile.contents());
    }
    std::free(err);
    std::free(out);
    return 0;
}
