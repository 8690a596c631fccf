// The sums over the periods used: each period's spectrum of the response (and of the
// reference) into running means and scatters, and the delay refined from the means.
#include <algorithm>
#include <cmath>

#include "analysis.h"
#include "steps.h"

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
    std::vector<double> y(static_cast<size_t>(P)), u(static_cast<size_t>(P));
    std::vector<Complex> spectrumU(withReference ? bins : 0);
    if (!reader->seek(first))
        return failure(formatted("\"%s\" cannot be read at frame %lld.", name.c_str(), first));
    for (long long m = 0; m < M; m++) {
        if (reader->read(P, y.data(), u.data()) != P)
            return failure(formatted("\"%s\" ends early, in period %lld.", name.c_str(), m + 1));
        for (double v : y) sums->power += v * v;
        if (withReference) {
            std::copy(u.begin(), u.end(), fft.signal());
            fft.toSpectrum();
            for (size_t k = 0; k < bins; k++) spectrumU[k] = fft.bin(static_cast<long long>(k));
        }
        std::copy(y.begin(), y.end(), fft.signal());
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
