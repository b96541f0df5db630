#pragma once
// The two per-site quantities of the energy, written once: the observables
// and the Metropolis acceptance table both evaluate these, so they agree bit
// for bit. A spin enters as exactly 1.0 or -1.0, a neighbour sum as an exact
// small integer.

namespace spinlattice::model {

// dE = (nb + h_z) * (s + s): the sum rounded once, the product with +-2 exact.
inline double flip_energy_difference(int spin, int neighbour_sum, double h_z) noexcept {
    const double s = spin;
    return (double(neighbour_sum) + h_z) * (s + s);
}

// One site's energy term, (nb * s) * -0.5 - s * h_z, in that order (both products exact).
inline double energy_term(int spin, int neighbour_sum, double h_z) noexcept {
    const double s = spin;
    return (double(neighbour_sum) * s) * -0.5 - s * h_z;
}

}  // namespace spinlattice::model
