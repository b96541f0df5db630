#include "model/wolff.hpp"

#include <cmath>

#include "model/site_stack.hpp"

namespace spinlattice::model {

// The cluster is grown depth-first from an explicit stack (the site that
// joined last is expanded next), examining neighbours left, up, right, down.
//
// A joining site is negated at once instead of being marked in a flag array:
// a joined site then carries -s0, so the "already in the cluster" test and
// the "other spin" test both skip it without a draw, exactly as flags would,
// and a site outside the cluster keeps its original spin until the end. The
// draws and the final spins are those of flagging and negating afterwards,
// without zeroing n bytes per call.
void wolff_step(Lattice& lattice) {
    const std::uint64_t n = lattice.site_count();
    const std::uint64_t start = lattice.rng.random_range(n);
    Spin* spins = lattice.sites.data();
    const Spin s0 = spins[start];
    const double p = 1.0 - std::exp(-2.0 / lattice.temperature);

    SiteStack pending;
    SiteStack joined;  // every negated site, to restore them if memory runs out
    try {
        joined.push(start);
        spins[start] = Spin(-s0);
        pending.push(start);
        while (!pending.empty()) {
            const Neighbours nb = lattice.neighbour_list(pending.pop());
            for (const std::uint64_t m : nb) {
                if (spins[m] != s0) continue;  // in the cluster already, or the other spin
                if (!(p > lattice.rng.unit())) continue;
                joined.push(m);
                spins[m] = Spin(-s0);
                pending.push(m);
            }
        }
    } catch (...) {
        for (const std::uint64_t site : joined) spins[site] = s0;
        throw;
    }
}

}  // namespace spinlattice::model
