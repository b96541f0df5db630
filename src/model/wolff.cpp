#include "model/wolff.hpp"

#include <cmath>

#include "model/site_stack.hpp"

namespace spinlattice::model {

namespace {
// The cluster is grown depth-first from an explicit stack (the site that
// joined last is expanded next), examining neighbours left, up, right, down.
//
// A joining site is negated at once instead of being marked in a flag array:
// a joined site then carries -s0, so the "already in the cluster" test and
// the "other spin" test both skip it without a draw, exactly as flags would,
// and a site outside the cluster keeps its original spin until the end. The
// draws and the final spins are those of flagging and negating afterwards,
// without zeroing n bytes per call.
//
// Index is 32-bit when every site index fits, halving the lists' memory. The
// list positions live in locals: spin stores are byte stores, which the
// compiler must assume may alias any member it would otherwise reload.
template <class Index>
void grow_cluster(Lattice& lattice, std::uint64_t start, random::UnitBound p) {
    random::StdRng& rng = lattice.rng;
    Spin* const spins = lattice.sites.data();
    const Spin s0 = spins[start];
    const Index width = Index(lattice.width), last_col = width - 1;
    const Index last_row = Index(lattice.site_count() - lattice.width);  // its first site

    ClusterStorage<Index> storage;
    PendingSite<Index>* pending = storage.pending();
    Index* joined = storage.joined();
    std::uint64_t capacity = storage.capacity(), top = 0, count = 0;

    // Examines one neighbour: writes its entries and keeps them only when it joins.
    auto examine = [&](Index m, Index column, auto& joins) {
        const Spin spin = spins[m];
        const bool joins_now = joins(spin == s0);
        spins[m] = Spin(spin ^ (Spin(-2) & -Spin(joins_now)));  // +-1 ^ -2 is the other sign
        pending[top] = {m, column};
        joined[count] = m;
        top += joins_now;
        count += joins_now;
    };
    // Examines the four neighbours of the last pending site; joins(like) says
    // whether a neighbour with spin s0 joins, taking its unit draw only then.
    auto expand_next = [&](auto&& joins) {
        const auto [k, col] = pending[--top];
        const bool at_left = col == 0, at_right = col == last_col;
        examine(at_left ? k + last_col : k - 1, at_left ? last_col : col - 1, joins);
        examine(k < width ? k + last_row : k - width, col, joins);
        examine(at_right ? k - last_col : k + 1, at_right ? 0 : col + 1, joins);
        examine(k >= last_row ? k - last_row : k + width, col, joins);
    };

    spins[start] = Spin(-s0);
    pending[top++] = {Index(start), Index(lattice.position(start)[1])};
    joined[count++] = Index(start);
    try {
        while (top != 0) {
            // While the buffer holds the words of four draws they are read in place.
            auto units = rng.buffered_draws();
            auto in_buffer = [&units, p](bool like) { return units.below_if(like, p); };
            while (top != 0 && units.room(4) && capacity - count >= 4) expand_next(in_buffer);
            rng.finish(units);
            if (top == 0) break;
            if (capacity - count < 4) {
                storage.grow(top, count, lattice.site_count() + 4);  // count never exceeds n
                pending = storage.pending();
                joined = storage.joined();
                capacity = storage.capacity();
                continue;
            }
            auto one_by_one = [&rng, p](bool like) { return like && rng.unit_below(p); };
            expand_next(one_by_one);
        }
    } catch (...) {
        for (std::uint64_t i = 0; i < count; ++i) spins[joined[i]] = s0;
        throw;
    }
}
}  // namespace

void wolff_step(Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    const std::uint64_t start = lattice.rng.random_range(n);
    const random::UnitBound p(1.0 - std::exp(-2.0 / lattice.temperature));
    if ((n >> 32) == 0)
        grow_cluster<std::uint32_t>(lattice, start, p);
    else
        grow_cluster<std::uint64_t>(lattice, start, p);
}

}  // namespace spinlattice::model
