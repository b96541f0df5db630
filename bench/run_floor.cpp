// The floor under a run in one call: C++ loops that call the model's inline
// Metropolis update and its Wolff update directly, with no interpreter, no
// slices and no tally, for bench_runs.py to time through ctypes beside the
// module's simulation_steps and wolff_steps in one process.

#include <cstdint>
#include <memory>

#include "model/metropolis.hpp"
#include "model/wolff.hpp"
#include "random/std_rng.hpp"

using namespace spinlattice;

namespace {
volatile std::uint64_t sink = 0;  // keeps the results observable
}

extern "C" {

// A lattice from a fixed seed, owned by the caller until floor_free.
[[gnu::visibility("default")]] void* floor_lattice(std::uint64_t width, std::uint64_t height, double temperature) {
    random::Seed seed{};
    for (unsigned i = 0; i < seed.size(); ++i) seed[i] = std::uint8_t(3 * i + 5);
    return new model::Lattice(
        model::Lattice::create_with(random::StdRng::from_seed(seed), width, height, temperature, 0.0));
}

[[gnu::visibility("default")]] void floor_free(void* lattice) { delete static_cast<model::Lattice*>(lattice); }

// `count` inline Metropolis updates in a plain loop; returns how many flipped.
[[gnu::visibility("default")]] std::uint64_t floor_metropolis(void* lattice, std::uint64_t count) {
    model::Lattice& l = *static_cast<model::Lattice*>(lattice);
    std::uint64_t flips = 0;
    for (std::uint64_t k = 0; k < count; ++k) flips += model::simulation_step(l);
    sink = flips;
    return flips;
}

// `count` Wolff updates; returns the spins they flipped.
[[gnu::visibility("default")]] std::uint64_t floor_wolff(void* lattice, std::uint64_t count) {
    model::Lattice& l = *static_cast<model::Lattice*>(lattice);
    std::uint64_t flipped = 0;
    for (std::uint64_t k = 0; k < count; ++k) flipped += model::wolff_step(l);
    sink = flipped;
    return flipped;
}
}
