#pragma once
// The Wolff cluster update: one cluster grown from a random site across like
// bonds with probability 1 - exp(-2 / temperature), then negated; and runs of
// such updates. h_z takes no part.

#include <cstdint>

#include "model/lattice.hpp"
#include "model/run_tally.hpp"

namespace spinlattice::model {

// Grows one Wolff cluster from a random start site and negates it; returns its size.
std::uint64_t wolff_step(Lattice& lattice);

// The work one Wolff update counts besides its cluster's sites (run_tally.hpp).
inline constexpr std::uint64_t kWolffUpdateWork = 8;

// A slice of a run: Wolff updates in a row, the same draws and flips as as
// many single updates, until `count` are made or their work reaches `work`
// (at least one update when count > 0); added to the tally (total: spins flipped).
void wolff_steps(Lattice& lattice, std::uint64_t count, std::uint64_t work, RunTally& tally);

}  // namespace spinlattice::model
