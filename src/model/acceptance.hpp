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
#include "random/draw_cursor.hpp"
#include "random/std_rng.hpp"

namespace spinlattice::model {

// A case's decision: flip without a draw when dE <= 0 (sure), else flip when
// exp(-dE / temperature) > u for a unit draw u. Kept as the bound and the
// words taken, so that the inline update, reading the buffer in place, decides
// either kind without a branch: a sure case compares against 2^53, which
// every (v >> 11) lies below, and takes 0 words.
class AcceptanceCase {
public:
    AcceptanceCase(bool sure, random::UnitBound p) noexcept
        : bound_(sure ? std::uint64_t(1) << 53 : p.limit()), words_(sure ? 0 : 2) {}

    bool sure() const noexcept { return words_ == 0; }
    // The decision, with its unit draw taken from the generator when it needs one.
    bool decide(random::StdRng& rng) const noexcept { return sure() || (rng.next_u64() >> 11) < bound_; }
    // The same with the draw read in place (needs room for two words).
    bool decide(random::DrawCursor& draws) const noexcept {
        const bool below = (draws.wide() >> 11) < bound_;
        draws.take(words_);
        return below;
    }
    // The same with a branch on whether the draw is taken. In a run of
    // updates a predicted branch lets the next update start before this one
    // is decided, where the position of its words would otherwise wait for it.
    bool decide_branching(random::DrawCursor& draws) const noexcept {
        if (sure()) return true;
        const bool below = (draws.wide() >> 11) < bound_;
        draws.take(2);
        return below;
    }

private:
    friend class AcceptanceTable;
    AcceptanceCase(std::uint64_t bound, std::uint64_t words) noexcept : bound_(bound), words_(words) {}
    std::uint64_t bound_;
    std::uint64_t words_;
};

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
        return AcceptanceCase(bounds_[k], words_[k]);
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
                bounds_[slot(s, nb)] = c.bound_;
                words_[slot(s, nb)] = c.words_;
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
