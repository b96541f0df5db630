#pragma once
// The Metropolis test depends on a site only through its spin s and the
// neighbour sum nb (-4, -2, 0, 2 or 4): ten cases. Their dE and exp(-dE / T)
// are computed once per (temperature, h_z), with the same operations a
// direct computation would use, so the outcomes are identical bit for bit.

#include <bit>
#include <cmath>
#include <cstdint>

namespace spinlattice::model {

struct AcceptanceCase {
    bool downhill;  // dE <= 0: flip without a unit draw
    double a;       // exp(-dE / temperature), used when !downhill
};

class AcceptanceTable {
public:
    // The case for spin s (+1 or -1) with neighbour sum nb, valid for these parameters.
    const AcceptanceCase& lookup(int s, int nb, double temperature, double h_z) noexcept {
        if (std::bit_cast<std::uint64_t>(temperature) != temperature_bits_ ||
            std::bit_cast<std::uint64_t>(h_z) != h_z_bits_) [[unlikely]]
            fill(temperature, h_z);
        return cases_[(s > 0) * 5 + (nb + 4) / 2];
    }

    explicit AcceptanceTable(double temperature, double h_z) noexcept { fill(temperature, h_z); }

private:
    [[gnu::noinline]] void fill(double temperature, double h_z) noexcept {
        for (int s_index = 0; s_index < 2; ++s_index) {
            const double s = s_index ? 1.0 : -1.0;
            for (int k = 0; k < 5; ++k) {
                const double nb = double(2 * k - 4);
                const double delta_e = (nb + h_z) * (s + s);
                AcceptanceCase& c = cases_[s_index * 5 + k];
                c.downhill = delta_e <= 0;
                c.a = std::exp(-delta_e / temperature);
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
