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
    random::BlockRng& words = lattice.rng.block_rng();
    std::uint64_t v;
    if (words.peek_u64(v)) [[likely]] {
        // Decided without branches (acceptance is unpredictable); the unit
        // draw is taken only for an uphill move, as the sequential test does.
        const bool flip = outcome.downhill | (outcome.a > random::StdRng::unit_from(v));
        words.take_peeked(!outcome.downhill);
        lattice.sites[i] = Spin(s * (1 - 2 * int(flip)));
        return;
    }
    if (!outcome.downhill) {
        const double u = lattice.rng.unit();
        if (!(outcome.a > u)) return;
    }
    lattice.sites[i] = Spin(-s);
}

}  // namespace spinlattice::model
