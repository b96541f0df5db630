#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would raise the energy (or dE is not a number); the flip is
// made when exp(-dE / temperature) > u.

#include "model/observables.hpp"

namespace spinlattice::model {

inline void simulation_step(Lattice& lattice) {
    const std::uint64_t i = lattice.rng.random_range(lattice.site_count());
    const Spin s = lattice.sites[i];  // i < site count: the draw is in range
    const AcceptanceCase& outcome =
        lattice.acceptance.lookup(s, neighbour_sum(lattice, i), lattice.temperature, lattice.h_z);
    auto units = lattice.rng.buffered_units();
    bool flip;
    if (units.room(1)) [[likely]] {
        // Decided without branches (acceptance is unpredictable).
        flip = outcome.downhill | units.below_if(!outcome.downhill, outcome.uphill);
        lattice.rng.finish(units);
    } else {
        flip = outcome.downhill || lattice.rng.unit_below(outcome.uphill);
    }
    lattice.sites[i] = Spin(s ^ (-2 & -int(flip)));  // +-1 ^ -2 is the other sign
}

}  // namespace spinlattice::model
