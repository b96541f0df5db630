#include "model/exponential.hpp"

#include <cmath>

// A toolchain whose runtime library brings its own exp (1 ulp away from glibc's on some
// inputs) gets this reference bound to the C library's version, named by the build.
#ifdef SPINLATTICE_LIBM_EXP_VERSION
__asm__(".symver exp, exp@" SPINLATTICE_LIBM_EXP_VERSION);
#endif

double spinlattice::model::libm_exp(double x) noexcept { return std::exp(x); }
