#pragma once
// The exponential behind the Metropolis acceptance and the Wolff bond probability.

namespace spinlattice::model {

// The C library's exp, whichever compiler built the module: results depend on its last bit.
double libm_exp(double x) noexcept;

}  // namespace spinlattice::model
