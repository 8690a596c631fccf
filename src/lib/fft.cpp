#include "fft.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

RealTransform &RealTransform::operator=(RealTransform &&other) noexcept
{
    if (this != &other) {
        close();
        n_ = std::exchange(other.n_, 0);
        signal_ = std::exchange(other.signal_, nullptr);
        spectrum_ = std::exchange(other.spectrum_, nullptr);
        forward_ = std::exchange(other.forward_, nullptr);
        inverse_ = std::exchange(other.inverse_, nullptr);
    }
    return *this;
}

bool RealTransform::open(long long n, Plans plans)
{
    close();
    if (n < 1 || n > INT_MAX) return false;
    const size_t points = static_cast<size_t>(n), bins = points / 2 + 1;
    signal_ = fftw_alloc_real(points);
    spectrum_ = fftw_alloc_complex(bins);
    // FFTW's planner ends the process when an allocation of its own fails, so the memory
    // its tables take (at most about the size of the buffers) is asked for, and given
    // back, before it plans.
    void *planning = std::malloc(bins * sizeof(fftw_complex) * 2);
    const bool buffers = signal_ && spectrum_ && planning;
    std::free(planning);
    if (!buffers) {
        close();
        return false;
    }
    std::memset(signal_, 0, points * sizeof(double));
    std::memset(spectrum_, 0, bins * sizeof(fftw_complex));
    n_ = static_cast<int>(n);
    if (plans & INVERSE) inverse_ = fftw_plan_dft_c2r_1d(n_, spectrum_, signal_, FFTW_ESTIMATE);
    if (plans & FORWARD) forward_ = fftw_plan_dft_r2c_1d(n_, signal_, spectrum_, FFTW_ESTIMATE);
    if (((plans & FORWARD) && !forward_) || ((plans & INVERSE) && !inverse_)) {
        close();
        return false;
    }
    return true;
}

void RealTransform::close()
{
    if (forward_) fftw_destroy_plan(forward_);
    if (inverse_) fftw_destroy_plan(inverse_);
    fftw_free(signal_);
    fftw_free(spectrum_);
    n_ = 0;
    signal_ = nullptr;
    spectrum_ = nullptr;
    forward_ = inverse_ = nullptr;
}
