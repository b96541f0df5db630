#include "model/metropolis.hpp"

namespace spinlattice::model {

bool simulation_step_general(Lattice& lattice) {
    const std::uint64_t i = lattice.rng.random_range(lattice.site_count());
    const Spin s = lattice.sites[i];  // i < site count: the draw is in range
    if (!lattice.acceptance(s, neighbour_sum(lattice, i)).decide(lattice.rng)) return false;
    lattice.sites[i] = Spin(-s);
    return true;
}

namespace {
// Updates in place until `count` are made, in stretches that the words left
// are sure to cover (an update takes four at most), so that an update tests
// nothing but its own outcome; their flips are added to `flips`.
void run_in_place(Lattice& lattice, std::uint64_t count, std::uint64_t& flips) noexcept {
    const InPlaceShape shape(lattice);
    random::DrawCursor draws(lattice.rng);
    std::uint64_t made = 0, flipped = 0;
    while (made < count) {
        const std::uint64_t sure = draws.words_left() / 4, left = count - made;
        const std::uint64_t stretch = sure < left ? sure : left;
        if (stretch == 0) {
            draws.refill();  // fewer than four words left
            continue;
        }
        for (std::uint64_t k = 0; k < stretch; ++k)
            flipped += update_in_place(lattice, shape, draws,
                                       [](AcceptanceCase c, auto& d) { return c.decide_branching(d); });
        made += stretch;
    }
    flips += flipped;
}
}  // namespace

void simulation_steps(Lattice& lattice, std::uint64_t count, std::uint64_t work, RunTally& tally) {
    const std::uint64_t updates = count < work ? count : work;
    std::uint64_t made = 0, flips = 0;
    try {
        // Until the first update has brought the cached outcomes up to date, and
        // on lattices without an inline path, one update at a time.
        for (; made < updates && lattice.inline_sites() == 0; ++made) flips += simulation_step_general(lattice);
    } catch (...) {
        tally.updates += made;
        tally.total += flips;
        throw;
    }
    if (made < updates) run_in_place(lattice, updates - made, flips);
    tally.updates += updates;
    tally.total += flips;
}

}  // namespace spinlattice::model
