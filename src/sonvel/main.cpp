// sonvel: sums sinusoidal components into a test signal at a set power level and writes
// it as a WAVE or raw PCM file.
#include "cli_main.h"
#include "sonvel.h"

int main(int argc, char **argv) { return runMain(sonvelMain, argc, argv); }
