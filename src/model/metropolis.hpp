#pragma once
// One single-spin Metropolis update: one index draw, and one unit draw only
// when the flip would raise the energy (or dE is not a number); the flip is
// made when exp(-dE / temperature) > u.

#include <array>
#include <cstddef>

#include "model/observables.hpp"

namespace spinlattice::model {

// The same update for every case, including the ones the inline path leaves:
// an empty or huge lattice, a buffer near its end, changed parameters. Out of
// line, so that the inline update stays small.
void simulation_step_general(Lattice& lattice);

struct SiteAndRow {
    std::uint64_t index;
    std::uint64_t row;
};

// The index draw for 0 < n = rows * cols < 2^32, read in place as random_range
// takes it (needs room for two words), with its row floor(index / cols) by one
// multiply: without the correction draw the index is floor(w * rows * cols / 2^32)
// for the first word w, and floor(floor(y) / cols) = floor(y / cols) makes the
// row floor(w * rows / 2^32).
inline SiteAndRow site_and_row(random::StdRng::BufferedDraws& draws, std::uint32_t n, std::uint32_t rows,
                               std::uint32_t cols) noexcept {
    std::uint64_t row;
    const std::uint64_t index = random::narrow_index(
        n, [&draws] { return draws.next_word(); },
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

// Left, up, right and down of a site as offsets from it, for the inline update.
using NeighbourOffsets = std::array<std::ptrdiff_t, 4>;

// Whether site (row, col) of a w x h lattice has a neighbour across an edge.
// Unsigned: column and row 0 wrap to the top. One expectation on the whole
// test keeps the common case on the straight path.
inline bool touches_edge(std::uint64_t row, std::uint64_t col, std::uint64_t w, std::uint64_t h) noexcept {
    return __builtin_expect(col - 1 >= w - 2 || row - 1 >= h - 2, 0);
}
// Away from the edges (nearly every site of a large lattice) the offsets are constants.
inline NeighbourOffsets interior_offsets(std::uint64_t w) noexcept {
    const std::ptrdiff_t wide = std::ptrdiff_t(w);
    return {-1, -wide, 1, wide};
}
// The same wrap as neighbour_list, for any site of a lattice of n = w * h sites.
inline NeighbourOffsets edge_offsets(std::uint64_t row, std::uint64_t col, std::uint64_t w, std::uint64_t h,
                                     std::uint64_t n) noexcept {
    const std::ptrdiff_t wide = std::ptrdiff_t(w), last_row = std::ptrdiff_t(n - w);
    // worked out from the last to the first: in this order the inline update needs no more registers
    const std::ptrdiff_t down = row + 1 == h ? -last_row : wide;
    const std::ptrdiff_t right = col + 1 == w ? 1 - wide : 1;
    const std::ptrdiff_t up = row == 0 ? last_row : -wide;
    const std::ptrdiff_t left = col == 0 ? wide - 1 : -1;
    return {left, up, right, down};
}

// Small enough to sit in the caller: when the buffer holds the four words the
// update can take, the lattice has fewer than 2^32 sites and the cached
// outcomes are current, the draws are read in place, the row comes with the
// index draw, the neighbours are found by offsets from the site and the
// acceptance is decided without branches (it is unpredictable); anything else
// takes one call out.
[[gnu::always_inline]] inline void simulation_step(Lattice& lattice) {
    const std::uint64_t n = lattice.inline_sites();
    if (!(lattice.rng.room_words(4) && n != 0)) [[unlikely]] {
        simulation_step_general(lattice);
        return;
    }
    auto draws = lattice.rng.buffered_draws();
    const std::uint64_t w = lattice.width, h = lattice.height;
    const auto [i, row] = site_and_row(draws, std::uint32_t(n), std::uint32_t(h), std::uint32_t(w));
    const std::uint64_t col = i - row * w;
    Spin* const site = lattice.sites.data() + i;
    const auto sum = [site](const NeighbourOffsets& at) {
        return ((site[at[0]] + site[at[1]]) + site[at[2]]) + site[at[3]];
    };
    const int nb = touches_edge(row, col, w, h) ? sum(edge_offsets(row, col, w, h, n)) : sum(interior_offsets(w));
    const Spin s = *site;
    const bool flip = lattice.cached_acceptance(s, nb).decide(draws);
    lattice.rng.finish(draws);
    *site = Spin(s ^ (-2 & -int(flip)));  // +-1 ^ -2 is the other sign
}

}  // namespace spinlattice::model
