#pragma once
// The Metropolis test depends on a site only through its spin s and the
// neighbour sum nb (-4, -2, 0, 2 or 4): ten cases. Each case's decision is
// computed once per (temperature, h_z) from the same dE the observables
// report, so the outcomes are those of computing it at every step.

#include <bit>
#include <cstdint>
#include <initializer_list>

#include "model/energy_terms.hpp"
#include "model/exponential.hpp"
#include "random/std_rng.hpp"

namespace spinlattice::model {

// Flip without a unit draw when dE <= 0, else when exp(-dE / temperature) > u.
using AcceptanceCase = random::UnitOrSure;

class AcceptanceTable {
public:
    explicit AcceptanceTable(double temperature, double h_z) noexcept { fill(temperature, h_z); }

    // The case for spin s (+1 or -1) with neighbour sum nb, valid for these parameters.
    AcceptanceCase lookup(int s, int nb, double temperature, double h_z) noexcept {
        if (!fresh(temperature, h_z)) [[unlikely]] fill(temperature, h_z);
        return at(s, nb);
    }
    AcceptanceCase at(int s, int nb) const noexcept {
        const unsigned k = slot(s, nb);
        return AcceptanceCase::from_parts(bounds_[k], words_[k]);
    }

private:
    // Whether the cases were computed for these parameters (bit for bit: NaN, -0.0).
    bool fresh(double temperature, double h_z) const noexcept {
        return std::bit_cast<std::uint64_t>(temperature) == temperature_bits_ &&
               std::bit_cast<std::uint64_t>(h_z) == h_z_bits_;
    }
    [[gnu::noinline]] void fill(double temperature, double h_z) noexcept {
        for (const int s : {-1, 1}) {
            for (int nb = -4; nb <= 4; nb += 2) {
                const double delta_e = flip_energy_difference(s, nb, h_z);
                const bool downhill = delta_e <= 0;
                const AcceptanceCase c(downhill, random::UnitBound(downhill ? 0.0 : libm_exp(-delta_e / temperature)));
                bounds_[slot(s, nb)] = c.bound();
                words_[slot(s, nb)] = c.words();
            }
        }
        temperature_bits_ = std::bit_cast<std::uint64_t>(temperature);
        h_z_bits_ = std::bit_cast<std::uint64_t>(h_z);
    }

    // nb + 4 is 0..8; s & 10 is 0 for +1 and 10 for -1 (two's complement): two
    // instructions, no division, and the odd slots stay unused. Unsigned, so
    // that indexing needs no sign extension.
    static unsigned slot(int s, int nb) noexcept { return unsigned(nb + 4 + (s & 10)); }

    // Each part in its own array: eight-byte entries are reached with one scaled index.
    std::uint64_t bounds_[19] = {};
    std::uint64_t words_[19] = {};
    std::uint64_t temperature_bits_;
    std::uint64_t h_z_bits_;
};

}  // namespace spinlattice::model
