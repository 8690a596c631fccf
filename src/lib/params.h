// The parameter list: one sinusoidal component a line (frequency in Hz, linear
// amplitude, phase in radians), read into three columns.
#ifndef SONVEL_PARAMS_H
#define SONVEL_PARAMS_H

#include <cstdio>

#include "result.h"

// Largest number of sinusoidal components in one parameter list.
constexpr int MAXSINES = 2048;

// Three parallel columns of component values, filled from index 0, with their count.
struct ParamTable {
    double freq[MAXSINES];   // Hz
    double amp[MAXSINES];    // linear
    double phase[MAXSINES];  // radians
    int count;
};

// Reads one line piece of at most 79 characters into buf (80 bytes), keeping its line
// end if it fits; a CR LF pair reads as a lone LF. Returns the number of characters
// stored (NUL bytes included), or 0 at end of stream or on a read error.
int readLine(char *buf, FILE *fp);

// Reads the parameter list from fp into the three columns and stores the number of
// components (1 to MAXSINES) in *count. Prints nothing.
Result readParams(double *freq, double *amp, double *phase, FILE *fp, int *count);

#endif
