#include "model/lattice.hpp"

#include <utility>

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
        stop(fixed::kCapacityOverflow);
    SpinField sites(n);
    Spin* out = sites.data();
    rng.coins(n, [&out](bool heads) { *out++ = Spin(heads ? 1 : -1); });
    return Lattice(width, height, std::move(sites), temperature, h_z, std::move(rng));
}

Lattice::Lattice(std::uint64_t width, std::uint64_t height, SpinField sites, double temperature, double h_z,
                 random::StdRng rng) noexcept
    : width(width),
      height(height),
      sites(std::move(sites)),
      rng(std::move(rng)),
      temperature_(temperature),
      h_z_(h_z),
      acceptance_(temperature, h_z),
      width_reciprocal_(width_reciprocal(width)) {}

}  // namespace spinlattice::model
