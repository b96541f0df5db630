#include "model/metropolis.hpp"

namespace spinlattice::model {

void simulation_step_general(Lattice& lattice) {
    const std::uint64_t i = lattice.rng.random_range(lattice.site_count());
    const Spin s = lattice.sites[i];  // i < site count: the draw is in range
    if (lattice.acceptance(s, neighbour_sum(lattice, i)).decide(lattice.rng)) lattice.sites[i] = Spin(-s);
}

}  // namespace spinlattice::model
