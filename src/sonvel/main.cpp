// sonvel: sums sinusoidal components into a 16-bit mono test signal at a set power level
// and writes it as a WAVE or raw PCM file.
#include <cstdio>
#include <new>

#include "sonvel.h"

int main(int argc, char **argv)
{
    // An allocation that throws (the parameter table, names of the output file) ends the
    // run like any other failure, not in std::terminate.
    try {
        return sonvelMain(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("error: out of memory.\n", stderr);
        return 1;
    }
}
