#pragma once
// The Metropolis test depends on a site only through its spin s and the
// neighbour sum nb (-4, -2, 0, 2 or 4): ten cases. Each case's decision is
// computed once per (temperature, h_z) from the same dE the observables
// report, so the outcomes are those of computing it at every step.

#include <bit>
#include <cmath>
#include <cstdint>

#include "model/energy_terms.hpp"
#include "random/std_rng.hpp"

namespace spinlattice::model {

struct AcceptanceCase {
    bool downhill;                // dE <= 0: flip without a unit draw
    random::UnitBound uphill;     // exp(-dE / temperature) > u, used when !downhill
};

class AcceptanceTable {
public:
    explicit AcceptanceTable(double temperature, double h_z) noexcept { fill(temperature, h_z); }

    // The case for spin s (+1 or -1) with neighbour sum nb, valid for these parameters.
    const AcceptanceCase& lookup(int s, int nb, double temperature, double h_z) noexcept {
        if (std::bit_cast<std::uint64_t>(temperature) != temperature_bits_ ||
            std::bit_cast<std::uint64_t>(h_z) != h_z_bits_) [[unlikely]]
            fill(temperature, h_z);
        return cases_[(s > 0) * 5 + (nb + 4) / 2];
    }

private:
    [[gnu::noinline]] void fill(double temperature, double h_z) noexcept {
        for (int s_index = 0; s_index < 2; ++s_index) {
            for (int k = 0; k < 5; ++k) {
                const double delta_e = flip_energy_difference(s_index ? 1 : -1, 2 * k - 4, h_z);
                cases_[s_index * 5 + k] = {delta_e <= 0, random::UnitBound(std::exp(-delta_e / temperature))};
            }
        }
        temperature_bits_ = std::bit_cast<std::uint64_t>(temperature);
        h_z_bits_ = std::bit_cast<std::uint64_t>(h_z);
    }

    AcceptanceCase cases_[10];
    std::uint64_t temperature_bits_;
    std::uint64_t h_z_bits_;
};

}  // namespace spinlattice::model
