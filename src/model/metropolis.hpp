#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would raise the energy (or dE is not a number); the flip is
// made when exp(-dE / temperature) > u.

#include <cstddef>

#include "model/observables.hpp"

namespace spinlattice::model {

// The same update for every case, including the ones the inline path leaves:
// an empty or huge lattice, a buffer near its end, changed parameters. Out of
// line, so that the inline update stays small.
void simulation_step_general(Lattice& lattice);

// Small enough to sit in the caller: when the buffer holds the four words the
// update can take, the lattice has fewer than 2^32 sites and the acceptance
// table is current, the draws are read in place, the row comes with the index
// draw, the neighbours are found by offsets from the site and the acceptance
// is decided without branches (it is unpredictable); anything else takes one
// call out.
[[gnu::always_inline]] inline void simulation_step(Lattice& lattice) {
    const std::uint64_t n = lattice.inline_sites;
    if (!(lattice.rng.room_words(4) && n != 0)) [[unlikely]] {
        simulation_step_general(lattice);
        return;
    }
    auto draws = lattice.rng.buffered_draws();
    const std::uint64_t w = lattice.width, h = lattice.height;
    const auto [i, row] = draws.index_below_with_row(std::uint32_t(n), std::uint32_t(h), std::uint32_t(w));
    const std::uint64_t col = i - row * w;
    Spin* const site = lattice.sites.data() + i;
    // Neighbours as offsets from the site; away from the edges (nearly every
    // site of a large lattice) they are constants and no wrap needs working out.
    const std::ptrdiff_t wide = std::ptrdiff_t(w);
    const auto sum = [site](std::ptrdiff_t left, std::ptrdiff_t up, std::ptrdiff_t right, std::ptrdiff_t down) {
        return ((site[left] + site[up]) + site[right]) + site[down];
    };
    int nb;
    // unsigned: column and row 0 wrap to the top; one expectation on the whole
    // test keeps the common case on the straight path
    if (__builtin_expect(col - 1 >= w - 2 || row - 1 >= h - 2, 0)) {
        // The same wrap as neighbour_list.
        const std::ptrdiff_t last_row = std::ptrdiff_t(n - w);
        nb = sum(col == 0 ? wide - 1 : -1, row == 0 ? last_row : -wide, col + 1 == w ? 1 - wide : 1,
                 row + 1 == h ? -last_row : wide);
    } else {
        nb = sum(-1, -wide, 1, wide);
    }
    const Spin s = *site;
    const bool flip = draws.unit_or_sure(lattice.acceptance.at(s, nb));
    lattice.rng.finish(draws);
    *site = Spin(s ^ (-2 & -int(flip)));  // +-1 ^ -2 is the other sign
}

}  // namespace spinlattice::model
