// The text of a design's list: comments that say how it was made, its crest factors and
// the highest levels at which sonvel plays it, the detection lines, then a line for
// each sine as sonvel reads it.
#ifndef SONVEL_DESIGN_LIST_TEXT_H
#define SONVEL_DESIGN_LIST_TEXT_H

#include <cstdint>
#include <string>

#include "design.h"

// One design's list, comments first, in *out, for the phases of s drawn from seed;
// realisation 0 stands alone, r > 0 is realisation r of s.realisations. command is the
// command line as the first comment shows it. 1 after an "error: " line.
int designList(const DesignSettings &s, const LineSet &lines, uint64_t seed, int realisation,
               const std::string &command, std::string *out);

#endif
