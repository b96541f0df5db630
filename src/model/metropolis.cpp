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
// Updates in place until `count` are made or the buffer may run short, in
// stretches that the words left are sure to cover (an update takes four at
// most), so that an update tests nothing but its own outcome. Returns the
// updates made; their flips are added to `flips`.
std::uint64_t run_in_place(Lattice& lattice, std::uint64_t count, std::uint64_t& flips) noexcept {
    const InPlaceShape shape(lattice);
    auto draws = lattice.rng.buffered_draws();
    std::uint64_t made = 0, flipped = 0;
    for (;;) {
        const std::uint64_t sure = draws.words_left() / 4, left = count - made;
        const std::uint64_t stretch = sure < left ? sure : left;
        if (stretch == 0) break;
        for (std::uint64_t k = 0; k < stretch; ++k)
            flipped += update_in_place(lattice, shape, draws,
                                       [](AcceptanceCase c, auto& d) { return c.decide_branching(d); });
        made += stretch;
    }
    lattice.rng.finish(draws);
    flips += flipped;
    return made;
}
}  // namespace

void simulation_steps(Lattice& lattice, std::uint64_t count, std::uint64_t work, RunTally& tally) {
    const std::uint64_t updates = count < work ? count : work;
    std::uint64_t made = 0, flips = 0;
    try {
        while (made < updates) {
            if (lattice.inline_sites() == 0) [[unlikely]] {  // outcomes not yet cached, or no inline path
                flips += simulation_step_general(lattice);
                ++made;
                continue;
            }
            // Fewer than four words left: the generator refills ahead, keeping them in front.
            if (!lattice.rng.room_words(4)) lattice.rng.refill_ahead();
            made += run_in_place(lattice, updates - made, flips);
        }
    } catch (...) {
        tally.updates += made;
        tally.total += flips;
        throw;
    }
    tally.updates += made;
    tally.total += flips;
}

}  // namespace spinlattice::model
