// Where the random choices of the programs come from (the dither, the designer's
// starts and phases): a SplitMix64 state, the same numbers on every machine for the
// same seed.
#ifndef SONVEL_RANDOM_H
#define SONVEL_RANDOM_H

#include <cstdint>

inline uint64_t nextRandom(uint64_t *state)
{
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// In [0, 1), from the top 53 bits.
inline double uniformRandom(uint64_t *state) { return static_cast<double>(nextRandom(state) >> 11) * 0x1p-53; }

#endif
