// The statistics of the mean over periods: quantiles of the F and Student t laws, the
// uncertainty of an excited line, the test of a line or a group of lines against the
// noise of the mean, and the periods that differ from the rest beyond their noise.
#ifndef SONVEL_ANALYSIS_STATISTICS_H
#define SONVEL_ANALYSIS_STATISTICS_H

#include <complex>
#include <vector>

#include "analysis.h"

// The level of the tests: 95 % intervals, 5 % false alarms.
constexpr double TEST_LEVEL = 0.05;

// The level of the summary's test of a whole group of detection lines: a linear system's
// summary reads "below the noise floor" all but once in 500 groups, while distortion
// spread over thousands of lines still passes it at a few percent of their floor.
constexpr double SUMMARY_TEST_LEVEL = 0.002;

// x with P(F > x) = alpha for F of d1 and d2 degrees of freedom (d2 above 1e6 counts
// as 1e6: the quantile then differs by less than 1e-5 of itself).
double fQuantile(double alpha, double d1, double d2);

// t with P(|T| > t) = alpha for Student's T of nu degrees of freedom.
double tQuantile(double alpha, double nu);

// The same as fQuantile(alpha, 2, d2), in closed form: P(F > x) = (1 + 2x / d2)^(-d2 / 2).
double fQuantile2(double alpha, double d2);

// Fills the uncertainty of an excited line from its mean response over M periods and
// the variance of one period's response (complex, E|Y - mean|^2, on the response's
// scale), with t the two-sided Student quantile of 2(M - 1) degrees of freedom: the
// noise taken as circular, its real and imaginary parts each carry half the variance.
void describeUncertainty(std::complex<double> response, double variance, long long M, double t, LineResult *line);

// The group delay of each excited line, in ms: minus the slope of the phase between
// its neighbours (one neighbour at the ends), taken as the shorter turn.
void groupDelays(std::vector<LineResult> *lines);

// Lines not excited tested together against the noise of the mean: the sum of their
// powers with the played content removed, the sum of their floors (variance / M) and of
// the floors' squares, for the degrees of freedom when the noise is not white.
struct LineGroup {
    long long lines = 0;
    double power = 0.0, floor = 0.0, floorSquares = 0.0;
};

// Whether a group's power stands above its floor at TEST_LEVEL, from M periods.
bool groupSignificant(const LineGroup &g, long long M);

// The periods (from 0) to leave out of M, from changes[m - 1], the energy of the
// difference between period m and period m - 1 of P samples each; periodEnergy, the
// mean energy of a period, sets the smallest change that counts. Sets *unsteady (and
// returns none) where so many periods differ that the noise itself is not steady.
std::vector<long long> findOutliers(const std::vector<double> &changes, long long P, double periodEnergy,
                                    bool *unsteady);

#endif
