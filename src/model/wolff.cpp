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
// start spin s0 is a template argument and the list ends are pointers, so
// that the loop's values fit in registers; they live in locals because spin
// stores are byte stores, which the compiler must assume may alias any member
// it would otherwise reload.
template <class Index, Spin s0>
void grow_cluster(Lattice& lattice, std::uint64_t start, random::UnitBound p) {
    random::StdRng& rng = lattice.rng;
    Spin* const spins = lattice.sites.data();
    const Index width = Index(lattice.width), last_col = width - 1;
    const Index last_row = Index(lattice.site_count() - lattice.width);  // its first site

    ClusterStorage<Index> storage;
    PendingSite<Index>* pending = storage.pending();
    PendingSite<Index>* top = pending;
    Index* joined = storage.joined();
    Index* tail = joined;
    // Room for one more expansion while tail <= roomy (pending never outgrows joined).
    Index* roomy = joined + storage.capacity() - 4;

    // Examines one neighbour: writes its entries and keeps them only when it joins.
    auto examine = [&](Index m, Index column, auto& joins) {
        const Spin spin = spins[m];
        const bool joins_now = joins(spin == s0);
        spins[m] = Spin(spin - 2 * s0 * int(joins_now));  // s0 becomes -s0
        *top = {m, column};
        *tail = m;
        top += joins_now;
        tail += joins_now;
    };
    // Examines the four neighbours of the last pending site; joins(like) says
    // whether a neighbour with spin s0 joins, taking its unit draw only then.
    auto expand_next = [&](auto&& joins) {
        const auto [k, col] = *--top;
        const bool at_left = col == 0, at_right = col == last_col;
        examine(at_left ? k + last_col : k - 1, at_left ? last_col : col - 1, joins);
        examine(k < width ? k + last_row : k - width, col, joins);
        examine(at_right ? k - last_col : k + 1, at_right ? 0 : col + 1, joins);
        examine(k >= last_row ? k - last_row : k + width, col, joins);
    };

    spins[start] = Spin(-s0);
    *top++ = {Index(start), Index(lattice.position(start)[1])};
    *tail++ = Index(start);
    try {
        while (top != pending) {
            // While the buffer holds the words of four draws they are read in place.
            auto units = rng.buffered_draws();
            auto in_buffer = [&units, p](bool like) { return units.below_if(like, p); };
            while (top != pending && units.room(4) && tail <= roomy) expand_next(in_buffer);
            rng.finish(units);
            if (top == pending) break;
            if (tail > roomy) {
                const std::uint64_t count = std::uint64_t(tail - joined);
                storage.grow(std::uint64_t(top - pending), count, lattice.site_count() + 4);  // count never exceeds n
                top = storage.pending() + (top - pending);
                pending = storage.pending();
                joined = storage.joined();
                tail = joined + count;
                roomy = joined + storage.capacity() - 4;
                continue;
            }
            auto one_by_one = [&rng, p](bool like) { return like && rng.unit_below(p); };
            expand_next(one_by_one);
        }
    } catch (...) {
        for (const Index* j = joined; j != tail; ++j) spins[*j] = s0;
        throw;
    }
}

template <class Index>
void grow_cluster_from(Lattice& lattice, std::uint64_t start, random::UnitBound p) {
    if (lattice.sites[start] > 0)
        grow_cluster<Index, 1>(lattice, start, p);
    else
        grow_cluster<Index, -1>(lattice, start, p);
}
}  // namespace

void wolff_step(Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    const std::uint64_t start = lattice.rng.random_range(n);
    const random::UnitBound p(1.0 - std::exp(-2.0 / lattice.temperature));
    if ((n >> 32) == 0)
        grow_cluster_from<std::uint32_t>(lattice, start, p);
    else
        grow_cluster_from<std::uint64_t>(lattice, start, p);
}

}  // namespace spinlattice::model
