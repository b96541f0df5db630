#include "model/wolff.hpp"

#include "model/exponential.hpp"
#include "random/draw_cursor.hpp"
#include "model/cluster_storage.hpp"

namespace spinlattice::model {

namespace {
// Whether a like-spin neighbour joins, from the wide value of its unit draw:
// p > unit draw as one comparison of that value, or certain when p >= 1.
struct JoinsBelow {
    std::uint64_t wide_limit;
    std::uint64_t operator()(std::uint64_t wide) const noexcept { return wide < wide_limit; }
};
struct JoinsAlways {
    std::uint64_t operator()(std::uint64_t) const noexcept { return 1; }
};

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
// Every neighbour is examined without a data-dependent branch: its entries
// are written, and kept only when it joins. The one branch per site, on
// whether it touches an edge, is rarely taken. The draws are read in place
// (draw_cursor.hpp); when fewer than one expansion's words are left the
// cursor refills, keeping those words in front, so the loop never takes them
// one by one.
//
// Index is 32-bit when every site index fits, halving the lists' memory. The
// start spin s0 is a template argument and the list ends are pointers, so
// that the loop's values fit in registers; they live in locals because spin
// stores are byte stores, which the compiler must assume may alias any member
// it would otherwise reload.
// Returns the number of sites in the cluster: each is expanded exactly once.
template <class Index, Spin s0, class Joins>
std::uint64_t grow_cluster(Lattice& lattice, std::uint64_t start, Joins joins) {
    using Geometry = ClusterGeometry<Index>;
    using Entry = typename Geometry::Entry;
    constexpr unsigned kExpansionWords = 8;  // four unit draws at most
    random::StdRng& rng = lattice.rng;
    Spin* const spins = lattice.sites.data();
    const Geometry geometry(lattice.width, lattice.site_count());

    ClusterStorage<Index> storage;
    Entry* pending = storage.pending();
    Entry* top = pending;
    Index* joined = storage.joined();
    Index* tail = joined;
    // Room for one more expansion while tail <= roomy (pending never outgrows joined).
    Index* roomy = joined + storage.capacity() - 4;
    std::uint64_t expanded = 0;

    // Expands pending sites until none is left, the draws in the buffer run
    // short or (while listing joined sites) the lists are full.
    auto expand = [&](auto listing) {
        random::DrawCursor units(rng);
        // Examines one neighbour; a like spin takes its draw and joins when the draw says so.
        auto examine = [&](Entry e) {
            const Index m = Geometry::site(e);
            const std::uint32_t spin = std::uint8_t(spins[m]);  // 1 or 255
            const std::uint64_t like = (s0 > 0 ? spin ^ 0xFFu : spin) >> 7;
            const std::uint64_t joins_now = like & joins(units.wide());
            units.take(2 * like);
            // s0 stays only when like and not joining; everything else is now -s0
            spins[m] = Spin(s0 * (2 * int(like ^ joins_now) - 1));
            *top = e;
            top += joins_now;
            if constexpr (listing) {
                *tail = m;
                tail += joins_now;
            }
        };
        while (top != pending && units.has_room(kExpansionWords) && (!listing || tail <= roomy)) {
            geometry.for_each_neighbour(*--top, examine);
            ++expanded;
        }
    };

    spins[start] = Spin(-s0);
    *top++ = Geometry::entry(start, lattice.position(start)[1]);
    *tail++ = Index(start);
    const std::uint64_t limit = lattice.site_count() + 4;  // n entries and one expansion's slack
    // The joined sites are listed only to restore the spins when memory runs
    // out; once the pending list has room for every site, it can't. That room
    // is taken when it is at most kAllAtOnce times the room the cluster has
    // already filled, so that its cost stays in proportion to the work done,
    // even on a huge lattice.
    constexpr std::uint64_t kAllAtOnce = 64;
    bool listing = true;
    while (top != pending) {
        if (!random::DrawCursor::has_room(rng, kExpansionWords)) random::DrawCursor(rng).refill();
        if (!listing) {
            expand(std::false_type{});
            continue;
        }
        expand(std::true_type{});
        if (tail <= roomy || top == pending) continue;
        const std::uint64_t waiting = std::uint64_t(top - pending);
        if (limit / kAllAtOnce <= storage.capacity() && storage.take_all(waiting, limit)) {
            pending = storage.pending();
            top = pending + waiting;
            listing = false;
            continue;
        }
        const std::uint64_t count = std::uint64_t(tail - joined);
        try {
            storage.grow(waiting, count, limit);
        } catch (...) {
            for (const Index* j = joined; j != tail; ++j) spins[*j] = s0;
            throw;
        }
        pending = storage.pending();
        top = pending + waiting;
        joined = storage.joined();
        tail = joined + count;
        roomy = joined + storage.capacity() - 4;
    }
    return expanded;
}

template <class Index, class Joins>
std::uint64_t grow_cluster_from(Lattice& lattice, std::uint64_t start, Joins joins) {
    if (lattice.sites[start] > 0) return grow_cluster<Index, 1>(lattice, start, joins);
    return grow_cluster<Index, -1>(lattice, start, joins);
}

template <class Index>
std::uint64_t grow_cluster_from(Lattice& lattice, std::uint64_t start, random::UnitBound p) {
    if (p.certain()) return grow_cluster_from<Index>(lattice, start, JoinsAlways{});
    return grow_cluster_from<Index>(lattice, start, JoinsBelow{p.wide_limit()});
}

// The bond probability 1 - exp(-2 / temperature), as the integer bound of a unit draw.
random::UnitBound bond_probability(const Lattice& lattice) noexcept {
    return random::UnitBound(1.0 - libm_exp(-2.0 / lattice.temperature()));
}

std::uint64_t wolff_step(Lattice& lattice, random::UnitBound p) {
    const std::uint64_t n = lattice.site_count();
    const std::uint64_t start = lattice.rng.random_range(n);
    if ((n >> 32) == 0) return grow_cluster_from<std::uint32_t>(lattice, start, p);
    return grow_cluster_from<std::uint64_t>(lattice, start, p);
}
}  // namespace

std::uint64_t wolff_step(Lattice& lattice) { return wolff_step(lattice, bond_probability(lattice)); }

void wolff_steps(Lattice& lattice, std::uint64_t count, std::uint64_t work, RunTally& tally) {
    if (count == 0) return;
    // The temperature can't change during the run: p is the same for every update.
    const random::UnitBound p = bond_probability(lattice);
    std::uint64_t made = 0, done = 0;
    do {
        const std::uint64_t size = wolff_step(lattice, p);  // a stop leaves the tally at the whole updates
        ++made;
        ++tally.updates;
        tally.total += size;
        done += size + kWolffUpdateWork;
    } while (made < count && done < work);
}

}  // namespace spinlattice::model
