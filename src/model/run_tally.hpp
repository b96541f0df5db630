#pragma once
// Long runs of updates are made in slices, so that the caller can look up
// between them (the binding checks for signals there). A slice is bounded by
// its work, counted in sites: one per Metropolis update; for a Wolff update
// the sites of its cluster plus a fixed cost per update, since one cluster
// can span the lattice.

#include <cstdint>

namespace spinlattice::model {

// The totals of a run so far: whole updates made, and what they add up to
// (flips made, or spins flipped). Kept current also when an update stops.
struct RunTally {
    std::uint64_t updates = 0;
    std::uint64_t total = 0;
};

}  // namespace spinlattice::model
