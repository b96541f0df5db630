#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would raise the energy (or dE is not a number); the flip is
// made when exp(-dE / temperature) > u.

#include "model/observables.hpp"

namespace spinlattice::model {

// The same update for every case, including the ones the inline path leaves:
// an empty or huge lattice, a buffer near its end, changed parameters.
void simulation_step_general(Lattice& lattice);

// Small enough to sit in the caller: when the buffer holds the four words the
// update can take, the lattice has fewer than 2^32 sites and the acceptance
// table is current, the draws are read in place and the acceptance decided
// without branches (it is unpredictable); anything else takes one call out.
[[gnu::always_inline]] inline void simulation_step(Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    auto draws = lattice.rng.buffered_draws();
    if (!(draws.room_words(4) && n - 1 < 0xFFFFFFFFu && lattice.acceptance.fresh(lattice.temperature, lattice.h_z)))
        [[unlikely]] {
        simulation_step_general(lattice);
        return;
    }
    const std::uint64_t i = draws.index_below(std::uint32_t(n));
    const Spin s = lattice.sites[i];
    const AcceptanceCase& outcome = lattice.acceptance.at(s, neighbour_sum(lattice, i));
    const bool flip = outcome.downhill | draws.below_if(!outcome.downhill, outcome.uphill);
    lattice.rng.finish(draws);
    lattice.sites[i] = Spin(s ^ (-2 & -int(flip)));  // +-1 ^ -2 is the other sign
}

}  // namespace spinlattice::model
