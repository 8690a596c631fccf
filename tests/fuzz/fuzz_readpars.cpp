// The parameter list reader on arbitrary bytes. Its contract: a count of 0 after
// exactly one message line, or 1 to MAXSINES components and no message; the line
// buffer is never read or written past its 80 bytes (AddressSanitizer watches).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sonvel.h"

namespace {

const char *const MESSAGES[] = {
    "error: readpars(): too many lines\n",
    "error: readpars(): illegal form of params\n",
    "error: readpars(): during reading parameters\n",
    "error: readpars(): no parameters given\n",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char empty[1];
    FILE *in = fmemopen(size ? const_cast<uint8_t *>(data) : reinterpret_cast<uint8_t *>(empty),
                        size, "r");
    if (!in) std::abort();

    std::unique_ptr<ParamTable> table(new ParamTable());
    char *message = nullptr;
    size_t messageSize = 0;
    FILE *savedErr = stderr;
    stderr = open_memstream(&message, &messageSize);
    int count = readpars(table->freq, table->amp, table->phase, in);
    std::fclose(stderr);
    stderr = savedErr;
    std::fclose(in);

    if (count < 0 || count > MAXSINES) std::abort();
    if (count > 0 && messageSize != 0) std::abort();
    if (count == 0) {
        bool known = false;
        for (const char *m : MESSAGES) known |= std::strcmp(message, m) == 0;
        if (!known) std::abort();
    }
    std::free(message);
    return 0;
}
