// A real discrete Fourier transform of n points with FFTW: a signal of n samples, its
// half spectrum of n / 2 + 1 bins, and the plans between them. The plans are made with
// FFTW_ESTIMATE, which measures nothing, so the same input gives the same output on
// every run. Only the programs that need FFTW link this (library sonvel_fft); the
// engine does not.
#ifndef SONVEL_FFT_H
#define SONVEL_FFT_H

#include <fftw3.h>

#include <complex>
#include <utility>

class RealTransform {
public:
    // Which plans open makes.
    enum Plans { FORWARD = 1, INVERSE = 2, BOTH = FORWARD | INVERSE };

    RealTransform() = default;
    ~RealTransform() { close(); }
    RealTransform(const RealTransform &) = delete;
    RealTransform &operator=(const RealTransform &) = delete;
    RealTransform(RealTransform &&other) noexcept { *this = std::move(other); }
    RealTransform &operator=(RealTransform &&other) noexcept;

    // Takes both buffers (zero-filled) and the plans asked for, for n points, giving back
    // whatever it held. False, and holding nothing, when n is below 1 or above what FFTW
    // plans (INT_MAX), or when a buffer or a plan is not to be had.
    bool open(long long n, Plans plans = BOTH);
    // Gives back the plans and buffers; open may then be called again.
    void close();

    int size() const { return n_; }  // points, 0 when closed
    double *signal() const { return signal_; }
    fftw_complex *spectrum() const { return spectrum_; }
    std::complex<double> bin(long long k) const { return {spectrum_[k][0], spectrum_[k][1]}; }

    // The forward transform: spectrum = DFT(signal); the signal is kept.
    void toSpectrum() const { fftw_execute(forward_); }
    // The inverse without the 1 / n: signal = n IDFT(spectrum), with the imaginary
    // parts of bin 0 (and of bin n / 2 for even n) taken as 0. The spectrum is lost.
    void toSignal() const { fftw_execute(inverse_); }

private:
    int n_ = 0;
    double *signal_ = nullptr;
    fftw_complex *spectrum_ = nullptr;
    fftw_plan forward_ = nullptr, inverse_ = nullptr;
};

#endif
