// The sums over the periods used: each period's spectrum of the response (and of the
// reference) into running means and scatters, and the delay refined from the means.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "analysis.h"
#include "statistics.h"
#include "steps.h"

namespace {

// The energy of the difference between a period and the one before it.
double changeOf(const std::vector<double> &now, const std::vector<double> &before)
{
    double sum = 0.0;
    for (size_t n = 0; n < now.size(); n++) sum += (now[n] - before[n]) * (now[n] - before[n]);
    return sum;
}

}  // namespace

Result accumulatePeriods(ChannelReader *reader, const std::string &name, long long first, long long M,
                         long long P, size_t bins, bool withReference, PeriodSums *sums)
{
    sums->Y.resize(bins);
    if (withReference) {
        sums->U.resize(bins);
        sums->coRe.assign(bins, 0.0);
        sums->coIm.assign(bins, 0.0);
    }
    Accumulator &Y = sums->Y, &U = sums->U;
    RealTransform fft;
    openTransform(&fft, P, RealTransform::FORWARD);
    // Each period is read into y (u) and kept as lastY (lastU) for the next one's change.
    std::vector<double> y(static_cast<size_t>(P)), u(static_cast<size_t>(P)), lastY(y.size()), lastU(u.size());
    std::vector<Complex> spectrumU(withReference ? bins : 0);
    if (!reader->seek(first))
        return failure(formatted("\"%s\" cannot be read at frame %lld.", name.c_str(), first));
    for (long long m = 0; m < M; m++) {
        if (reader->read(P, y.data(), u.data()) != P)
            return failure(formatted("\"%s\" ends early, in period %lld.", name.c_str(), m + 1));
        if (m > 0) sums->changeY.push_back(changeOf(y, lastY));
        lastY.swap(y);
        for (double v : lastY) sums->power += v * v;
        if (withReference) {
            if (m > 0) sums->changeU.push_back(changeOf(u, lastU));
            lastU.swap(u);
            for (double v : lastU) sums->referencePower += v * v;
            std::copy(lastU.begin(), lastU.end(), fft.signal());
            fft.toSpectrum();
            for (size_t k = 0; k < bins; k++) spectrumU[k] = fft.bin(static_cast<long long>(k));
        }
        std::copy(lastY.begin(), lastY.end(), fft.signal());
        fft.toSpectrum();
        // Welford's steps in real arithmetic (a product of std::complex values checks for
        // infinities, at several times the cost).
        const double inverse = 1.0 / static_cast<double>(m + 1);
        const fftw_complex *spectrum = fft.spectrum();
        for (size_t k = 0; k < bins; k++) {
            const double vr = spectrum[k][0], vi = spectrum[k][1];
            const double dr = vr - Y.re[k], di = vi - Y.im[k];
            Y.re[k] += dr * inverse;
            Y.im[k] += di * inverse;
            Y.m2[k] += dr * (vr - Y.re[k]) + di * (vi - Y.im[k]);
            if (withReference) {
                const double wr = spectrumU[k].real(), wi = spectrumU[k].imag();
                const double er = wr - U.re[k], ei = wi - U.im[k];
                U.re[k] += er * inverse;
                U.im[k] += ei * inverse;
                U.m2[k] += er * (wr - U.re[k]) + ei * (wi - U.im[k]);
                // (v - mean before) conj(w - mean after)
                const double fr = wr - U.re[k], fi = wi - U.im[k];
                sums->coRe[k] += dr * fr + di * fi;
                sums->coIm[k] += di * fr - dr * fi;
            }
        }
    }
    sums->count = M;
    return Status::Ok;
}

namespace {

// Takes period m (from 0) out of the sums: Welford's steps backwards, with its spectra
// made again from the file.
Result removePeriod(ChannelReader *reader, const std::string &name, long long first, long long m, long long P,
                    bool withReference, RealTransform *fft, PeriodSums *sums)
{
    std::vector<double> y(static_cast<size_t>(P)), u(static_cast<size_t>(P));
    if (!reader->seek(first + m * P) || reader->read(P, y.data(), u.data()) != P)
        return failure(formatted("\"%s\" cannot be read again in period %lld.", name.c_str(), m + 1));
    const size_t bins = sums->Y.re.size();
    std::vector<Complex> spectrumU(withReference ? bins : 0);
    if (withReference) {
        for (double v : u) sums->referencePower -= v * v;
        std::copy(u.begin(), u.end(), fft->signal());
        fft->toSpectrum();
        for (size_t k = 0; k < bins; k++) spectrumU[k] = fft->bin(static_cast<long long>(k));
    }
    for (double v : y) sums->power -= v * v;
    std::copy(y.begin(), y.end(), fft->signal());
    fft->toSpectrum();
    // n periods before, n - 1 after: mean' = mean + (mean - x) / (n - 1), and the
    // squares and co-moment lose what adding x gave them. What is left of the squares
    // below 1e-12 of them is the subtraction's rounding (periods that were otherwise
    // identical): 0.
    const double inverse = 1.0 / static_cast<double>(sums->count - 1);
    auto lessened = [](double m2, double part) {
        const double left = m2 - part;
        return left > 1e-12 * m2 ? left : 0.0;
    };
    Accumulator &Y = sums->Y, &U = sums->U;
    for (size_t k = 0; k < bins; k++) {
        const double vr = fft->bin(static_cast<long long>(k)).real(), vi = fft->bin(static_cast<long long>(k)).imag();
        const double dr = vr - Y.re[k], di = vi - Y.im[k];  // against the mean after adding
        Y.re[k] -= dr * inverse;
        Y.im[k] -= di * inverse;
        Y.m2[k] = lessened(Y.m2[k], (vr - Y.re[k]) * dr + (vi - Y.im[k]) * di);
        if (withReference) {
            const double wr = spectrumU[k].real(), wi = spectrumU[k].imag();
            const double fr = wr - U.re[k], fi = wi - U.im[k];
            U.re[k] -= fr * inverse;
            U.im[k] -= fi * inverse;
            U.m2[k] = lessened(U.m2[k], (wr - U.re[k]) * fr + (wi - U.im[k]) * fi);
            // (v - mean before) conj(w - mean after), as it was added
            const double er = vr - Y.re[k], ei = vi - Y.im[k];
            sums->coRe[k] -= er * fr + ei * fi;
            sums->coIm[k] -= ei * fr - er * fi;
        }
    }
    sums->count--;
    return Status::Ok;
}

}  // namespace

Result leaveOutOutliers(ChannelReader *reader, const std::string &name, long long first, long long M,
                        long long P, bool withReference, PeriodSums *sums, Analysis *out)
{
    bool unsteady = false, unsteadyU = false;
    const double periods = static_cast<double>(M);
    std::vector<long long> found = findOutliers(sums->changeY, P, sums->power / periods, &unsteady);
    if (withReference) {
        const std::vector<long long> inReference =
            findOutliers(sums->changeU, P, sums->referencePower / periods, &unsteadyU);
        std::vector<long long> both;
        std::set_union(found.begin(), found.end(), inReference.begin(), inReference.end(), std::back_inserter(both));
        found.swap(both);
    }
    if (unsteady || unsteadyU)
        out->warnings.push_back("the periods differ from one another more than steady noise would make them "
                                "differ: none was left out.");
    if (found.empty()) return Status::Ok;
    RealTransform fft;
    openTransform(&fft, P, RealTransform::FORWARD);
    for (long long m : found) {
        const Result r = removePeriod(reader, name, first, m, P, withReference, &fft, sums);
        if (!r.ok()) return r;
    }
    std::string named;
    for (size_t i = 0; i < found.size() && i < 10; i++) named += formatted("%s%lld", i ? ", " : "", found[i] + 1);
    if (found.size() > 10) named += ", ...";
    out->warnings.push_back(formatted("%zu period%s differ%s from the rest beyond the noise (a click, a dropout, a "
                                      "fade) and %s left out: %s.", found.size(), found.size() == 1 ? "" : "s",
                                      found.size() == 1 ? "s" : "", found.size() == 1 ? "is" : "are", named.c_str()));
    for (long long m : found) out->outlierPeriods.push_back(m + 1);
    return Status::Ok;
}

double refineDelay(const Accumulator &sums, const PlayedSignal &played, long long first, double near,
                   bool *inverted)
{
    const long long P = played.period;
    std::vector<Complex> cross(static_cast<size_t>(P / 2 + 1));
    for (long long k : played.excited)
        cross[static_cast<size_t>(k)] = sums.mean(static_cast<size_t>(k)) *
                                        rotation(k, -static_cast<double>(first), P) *
                                        std::conj(played.spectrum[static_cast<size_t>(k)]);
    const double d = delayNear(cross, played, near, inverted);
    return std::fabs(d - std::round(d)) < 1e-9 ? std::round(d) + 0.0 : d;
}
