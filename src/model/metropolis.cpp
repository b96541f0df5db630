#include "model/metropolis.hpp"

namespace spinlattice::model {

void simulation_step_general(Lattice& lattice) {
    const std::uint64_t i = lattice.rng.random_range(lattice.site_count());
    const Spin s = lattice.sites[i];  // i < site count: the draw is in range
    const AcceptanceCase outcome =
        lattice.acceptance.lookup(s, neighbour_sum(lattice, i), lattice.temperature, lattice.h_z);
    if (lattice.rng.unit_or_sure(outcome)) lattice.sites[i] = Spin(-s);
    const std::uint64_t n = lattice.site_count();  // the table is current after lookup
    lattice.inline_sites = n - 1 < 0xFFFFFFFFu ? std::uint32_t(n) : 0;
}

}  // namespace spinlattice::model
