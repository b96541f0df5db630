#pragma once
// The lattice record: a width x height rectangle of spins with periodic
// boundaries, its temperature and field, and its own generator.

#include <array>
#include <cstdint>
#include <utility>

#include "model/acceptance.hpp"
#include "model/geometry.hpp"
#include "model/spin_field.hpp"
#include "fixed_texts.hpp"
#include "random/std_rng.hpp"
#include "stop.hpp"

namespace spinlattice::model {

class Lattice {
public:
    // Seeds a generator from the OS and draws one coin per site (+1 on true).
    static Lattice create(std::uint64_t width, std::uint64_t height, double temperature, double h_z);
    // The same from a given generator.
    static Lattice create_with(random::StdRng rng, std::uint64_t width, std::uint64_t height,
                               double temperature, double h_z);

    std::uint64_t width;
    std::uint64_t height;
    SpinField sites;
    random::StdRng rng;

    double temperature() const noexcept { return temperature_; }
    double h_z() const noexcept { return h_z_; }
    // The only writers of the parameters: each sends the next update out of line,
    // where the cached outcomes are brought up to date.
    void set_temperature(double value) noexcept {
        temperature_ = value;
        inline_sites_ = 0;
    }
    void set_h_z(double value) noexcept {
        h_z_ = value;
        inline_sites_ = 0;
    }

    // The site count while the inline update may run (below 2^32 sites, cached
    // outcomes current), else 0, so that its hot path tests one value.
    std::uint32_t inline_sites() const noexcept { return inline_sites_; }
    // The cached outcome for spin s with neighbour sum nb; current while inline_sites() != 0.
    AcceptanceCase cached_acceptance(int s, int nb) const noexcept { return acceptance_.at(s, nb); }
    // The outcome for the current parameters; afterwards the inline update may run.
    AcceptanceCase acceptance(int s, int nb) noexcept {
        const AcceptanceCase outcome = acceptance_.lookup(s, nb, temperature_, h_z_);
        const std::uint64_t n = site_count();
        inline_sites_ = n - 1 < 0xFFFFFFFFu ? std::uint32_t(n) : 0;
        return outcome;
    }

    std::uint64_t site_count() const noexcept { return sites.size(); }

    // Replaces every spin by `spins`, one +1 or -1 per site in site-index
    // order, values checked by the caller; draws nothing. Stops, changing
    // nothing, when the count is not the site count.
    void set_spins(SpinField spins) {
        if (spins.size() != site_count()) [[unlikely]] stop(fixed::kSpinCountMismatch);
        sites = std::move(spins);
    }

    // Left, up, right, down of site k, wrapping at the edges; stops when k is outside.
    Neighbours neighbour_list(std::uint64_t k) const {
        if (k >= site_count()) [[unlikely]] stop(fixed::kOutOfBounds);
        return neighbour_list_unchecked(k);
    }

    // Row and column of a k already known to be below the site count.
    std::array<std::uint64_t, 2> position(std::uint64_t k) const noexcept {
        return model::position(k, width, width_reciprocal_);
    }

    // The neighbour list of a k already known to be below the site count.
    Neighbours neighbour_list_unchecked(std::uint64_t k) const noexcept {
        const auto [row, col] = position(k);
        return model::neighbour_list(k, row, col, width, height);
    }

    std::uint64_t idx_to_flat(std::uint64_t row, std::uint64_t col) const {
        if (row >= height || col >= width) [[unlikely]] stop(fixed::kOutOfBounds);
        return row * width + col;
    }

    std::array<std::uint64_t, 2> flat_to_idx(std::uint64_t flat_idx) const {
        if (flat_idx >= site_count()) [[unlikely]] stop(fixed::kOutOfBounds);
        return position(flat_idx);
    }

private:
    Lattice(std::uint64_t width, std::uint64_t height, SpinField sites, double temperature, double h_z,
            random::StdRng rng) noexcept;

    double temperature_;
    double h_z_;
    // Not part of the state: Metropolis outcomes cached for the current temperature and h_z.
    AcceptanceTable acceptance_;
    // Not part of the state: width_reciprocal(width), to divide by multiplying.
    std::uint64_t width_reciprocal_;
    // Not part of the state: see inline_sites().
    std::uint32_t inline_sites_ = 0;
};

}  // namespace spinlattice::model
