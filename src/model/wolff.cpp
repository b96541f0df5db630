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
class Cluster {
public:
    Cluster(Lattice& lattice, Spin s0) noexcept
        : spins_(lattice.sites.data()), s0_(s0), width_(lattice.width),
          above_last_row_(lattice.site_count() - lattice.width) {}

    void join(std::uint64_t site, std::uint64_t column) noexcept {
        spins_[site] = Spin(-s0_);
        lists_.join_if(true, site, column);
    }

    // Examines the four neighbours of the last pending site; joins(like)
    // returns whether a neighbour with spin s0 (like) joins, taking its unit
    // draw only when like. No branch depends on the spins or the draws.
    template <class Joins>
    void expand_next(Joins&& joins) noexcept {
        const auto [k, col] = lists_.pop();
        const std::uint64_t last_col = width_ - 1;
        const bool at_left = col == 0, at_right = col == last_col;
        examine(at_left ? k + last_col : k - 1, at_left ? last_col : col - 1, joins);
        examine(k < width_ ? k + above_last_row_ : k - width_, col, joins);
        examine(at_right ? k - last_col : k + 1, at_right ? 0 : col + 1, joins);
        examine(k >= above_last_row_ ? k - above_last_row_ : k + width_, col, joins);
    }

    ClusterLists& lists() noexcept { return lists_; }
    // Puts s0 back on every joined site, after a failure.
    void undo() noexcept {
        for (const std::uint64_t* p = lists_.joined_begin(); p != lists_.joined_end(); ++p) spins_[*p] = s0_;
    }

private:
    template <class Joins>
    void examine(std::uint64_t m, std::uint64_t column, Joins& joins) noexcept {
        const Spin spin = spins_[m];
        const bool joined = joins(spin == s0_);
        spins_[m] = Spin(spin ^ (Spin(-2) & -Spin(joined)));  // +-1 ^ -2 is the other sign
        lists_.join_if(joined, m, column);
    }

    Spin* spins_;
    Spin s0_;
    std::uint64_t width_;
    std::uint64_t above_last_row_;  // n - width: the first site of the last row
    ClusterLists lists_;
};
}  // namespace

void wolff_step(Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    const std::uint64_t start = lattice.rng.random_range(n);
    const Spin s0 = lattice.sites[start];  // start < site count: the draw is in range
    const random::UnitBound p(1.0 - std::exp(-2.0 / lattice.temperature));
    random::StdRng& rng = lattice.rng;

    Cluster cluster(lattice, s0);
    ClusterLists& lists = cluster.lists();
    cluster.join(start, lattice.position(start)[1]);
    try {
        while (!lists.pending_empty()) {
            // While the buffer holds the words of four draws, the draws are read in place.
            auto units = rng.buffered_units();
            while (units.room(4) && lists.has_room(4) && !lists.pending_empty())
                cluster.expand_next([&units, p](bool like) { return units.below_if(like, p); });
            rng.finish(units);
            if (lists.pending_empty()) break;
            if (!lists.has_room(4)) {
                lists.grow();
                continue;
            }
            cluster.expand_next([&rng, p](bool like) { return like && rng.unit_below(p); });
        }
    } catch (...) {
        cluster.undo();
        throw;
    }
}

}  // namespace spinlattice::model
