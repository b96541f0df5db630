#include "model/exponential.hpp"

#include <cmath>

// A toolchain whose runtime library brings its own exp (1 ulp away from glibc's on some
// inputs) gets this reference bound to the C library's version, named by the build.
#ifdef SPINLATTICE_LIBM_EXP_VERSION
__asm__(".symver exp, exp@" SPINLATTICE_LIBM_EXP_VERSION);
#endif

#if defined(_WIN32) && defined(__MINGW32__)
// MinGW links an exp of its own runtime ahead of the DLL's; the UCRT's is called through
// its import slot, so results are those of every other Windows program.
extern "C" double (*__imp_exp)(double);

double spinlattice::model::libm_exp(double x) noexcept { return __imp_exp(x); }
#else
double spinlattice::model::libm_exp(double x) noexcept { return std::exp(x); }
#endif
