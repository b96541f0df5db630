#include "model/lattice.hpp"

#include <utility>

#include "model/metropolis.hpp"

namespace spinlattice::model {

Lattice Lattice::create(std::uint64_t width, std::uint64_t height, double temperature, double h_z) {
    return create_with(random::StdRng::from_os_rng(), width, height, temperature, h_z);
}

Lattice Lattice::create_with(random::StdRng rng, std::uint64_t width, std::uint64_t height,
                             double temperature, double h_z) {
    // A product that wraps is refused like any count of 2^63 or more,
    // before anything is allocated or drawn.
    std::uint64_t n;
    if (__builtin_mul_overflow(width, height, &n) || n >= (std::uint64_t(1) << 63))
        stop("capacity overflow");
    SpinField sites(n);
    Spin* out = sites.data();
    rng.coins(n, [&out](bool heads) { *out++ = Spin(heads ? 1 : -1); });
    return Lattice{width, height, std::move(sites), temperature, h_z, std::move(rng)};
}

// Out of line beside the record, so that the inline update stays small.
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
