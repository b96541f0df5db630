#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would not lower (or keep) the energy.

#include <cmath>

#include "model/observables.hpp"

namespace spinlattice::model {

inline void simulation_step(Lattice& lattice) {
    const std::uint64_t i = lattice.rng.random_range(lattice.site_count());
    const double delta_e = flip_energy_difference(lattice, i);
    if (!(delta_e <= 0)) {  // NaN takes this branch too
        const double u = lattice.rng.unit();
        const double a = std::exp(-delta_e / lattice.temperature);
        if (!(a > u)) return;
    }
    lattice.sites[i] = Spin(-lattice.sites[i]);
}

}  // namespace spinlattice::model
