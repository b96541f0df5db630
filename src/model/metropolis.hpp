#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would raise the energy (or dE is not a number); the flip is
// made when exp(-dE / temperature) > u. Each returns whether it flipped.

#include <array>
#include <cstddef>

#include "model/observables.hpp"
#include "model/run_tally.hpp"
#include "random/draw_cursor.hpp"

namespace spinlattice::model {

// The same update for every case, including the ones the inline path leaves:
// an empty or huge lattice, a buffer near its end, changed parameters. Out of
// line, so that the inline update stays small.
bool simulation_step_general(Lattice& lattice);

// A slice of a run: min(count, work) updates in a row, the same draws and
// flips as as many single updates, added to the tally (total: flips made).
void simulation_steps(Lattice& lattice, std::uint64_t count, std::uint64_t work, RunTally& tally);

struct SiteAndRow {
    std::uint64_t index;
    std::uint64_t row;
};

// The index draw for 0 < n = rows * cols < 2^32, read in place, with its row
// floor(index / cols) by one multiply: without the correction draw the index
// is floor(w * rows * cols / 2^32) for the first word w, and
// floor(floor(y) / cols) = floor(y / cols) makes the row floor(w * rows / 2^32).
inline SiteAndRow site_and_row(random::DrawCursor& draws, std::uint32_t n, std::uint32_t rows,
                               std::uint32_t cols) noexcept {
    std::uint64_t row;
    const std::uint64_t index = draws.index(
        n,
        [&row, rows](std::uint64_t i, std::uint32_t first) {
            row = (std::uint64_t(first) * rows) >> 32;
            return i;
        },
        [&row, cols](std::uint64_t i) {
            row = std::uint32_t(i) / cols;
            return i;
        });
    return {index, row};
}

// What an update made in place reads of the lattice besides its spins and
// outcomes, held in locals: spin stores are byte stores, which the compiler
// must assume may alias the lattice's fields, and would reload them after each.
struct InPlaceShape {
    Spin* spins;
    std::uint64_t w;
    std::uint64_t h;
    std::uint32_t n;  // below 2^32

    explicit InPlaceShape(Lattice& lattice) noexcept
        : spins(lattice.sites.data()), w(lattice.width), h(lattice.height), n(lattice.inline_sites()) {}
};

// One update from draws read in place (the buffer holds the four words it
// can take), on a lattice whose cached outcomes are current and that has an
// inline path (inline_sites() != 0): the row comes with the index draw, the
// neighbours are found by offsets from the site, and decide(case, draws)
// takes the acceptance.
template <class Decide>
[[gnu::always_inline]] inline bool update_in_place(const Lattice& lattice, const InPlaceShape& shape,
                                                   random::DrawCursor& draws, Decide&& decide) {
    const std::uint64_t w = shape.w, h = shape.h;
    const std::uint32_t n = shape.n;
    Spin* const spins = shape.spins;
    const auto [i, row] = site_and_row(draws, n, std::uint32_t(h), std::uint32_t(w));
    const std::uint64_t col = i - row * w;
    Spin* const site = spins + i;
    const auto sum = [site](const NeighbourOffsets& at) {
        return ((site[at[0]] + site[at[1]]) + site[at[2]]) + site[at[3]];
    };
    const int nb = touches_edge(row, col, w, h) ? sum(neighbour_offsets(row, col, w, h, n)) : sum(interior_offsets(w));
    const Spin s = *site;
    const bool flip = decide(lattice.cached_acceptance(s, nb), draws);
    *site = Spin(s ^ (-2 & -int(flip)));  // +-1 ^ -2 is the other sign
    return flip;
}

// Small enough to sit in the caller: when the buffer holds the four words the
// update can take, the lattice has fewer than 2^32 sites and the cached
// outcomes are current, the update is made in place and its acceptance
// decided without branches (it is unpredictable); anything else takes one
// call out.
[[gnu::always_inline]] inline bool simulation_step(Lattice& lattice) {
    const std::uint32_t n = lattice.inline_sites();
    if (!(random::DrawCursor::has_room(lattice.rng, 4) && n != 0)) [[unlikely]]
        return simulation_step_general(lattice);
    random::DrawCursor draws(lattice.rng);
    return update_in_place(lattice, InPlaceShape(lattice), draws,
                           [](AcceptanceCase c, auto& d) { return c.decide(d); });
}

}  // namespace spinlattice::model
