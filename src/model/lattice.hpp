#pragma once
// The lattice record: a width x height rectangle of spins with periodic
// boundaries, its temperature and field, and its own generator.

#include <array>
#include <cstdint>

#include "model/acceptance.hpp"
#include "model/spin_field.hpp"
#include "random/std_rng.hpp"
#include "stop.hpp"

namespace spinlattice::model {

using Neighbours = std::array<std::uint64_t, 4>;  // left, up, right, down

struct Lattice {
    std::uint64_t width;
    std::uint64_t height;
    SpinField sites;
    double temperature;
    double h_z;
    random::StdRng rng;
    // Not part of the state: Metropolis outcomes cached for the current temperature and h_z.
    AcceptanceTable acceptance{temperature, h_z};
    // Not part of the state: ceil(2^64 / width) for 1 < width < 2^32, else 0, to divide by multiplying.
    std::uint64_t width_reciprocal = width > 1 && (width >> 32) == 0 ? ~std::uint64_t(0) / width + 1 : 0;
    // Not part of the state: the site count while the inline update may run (below 2^32 sites,
    // acceptance table current), else 0, so that its hot path tests one value. Set by the
    // out-of-line update; the parameters change through set_temperature and set_h_z only.
    std::uint32_t inline_sites = 0;

    void set_temperature(double value) noexcept {
        temperature = value;
        inline_sites = 0;
    }
    void set_h_z(double value) noexcept {
        h_z = value;
        inline_sites = 0;
    }

    // Seeds a generator from the OS and draws one coin per site (+1 on true).
    static Lattice create(std::uint64_t width, std::uint64_t height, double temperature, double h_z);
    // The same from a given generator.
    static Lattice create_with(random::StdRng rng, std::uint64_t width, std::uint64_t height,
                               double temperature, double h_z);

    std::uint64_t site_count() const noexcept { return sites.size(); }

    // Left, up, right, down of site k, wrapping at the edges; stops when k is outside.
    Neighbours neighbour_list(std::uint64_t k) const {
        if (k >= site_count()) [[unlikely]] stop("Accessing out of bounds!");
        return neighbour_list_unchecked(k);
    }

    // Row and column of a k already known to be below the site count.
    std::array<std::uint64_t, 2> position(std::uint64_t k) const noexcept {
        const std::uint64_t w = width;
        if (width_reciprocal != 0 && (k >> 32) == 0) [[likely]] {
            // Exact for 32-bit k and width (Lemire, Kaser and Kurz, "Faster remainder by direct computation").
            using u128 = unsigned __int128;
            const std::uint64_t fraction = width_reciprocal * k;
            return {std::uint64_t((u128(width_reciprocal) * k) >> 64), std::uint64_t((u128(fraction) * w) >> 64)};
        }
        if (((k | w) >> 32) == 0)  // 32-bit division is several times cheaper
            return {std::uint32_t(k) / std::uint32_t(w), std::uint32_t(k) % std::uint32_t(w)};
        return {k / w, k % w};
    }

    // The neighbour list of a k already known to be below the site count.
    Neighbours neighbour_list_unchecked(std::uint64_t k) const noexcept {
        const std::uint64_t w = width, h = height;
        const auto [row, col] = position(k);
        // Comparisons give the same wrap as (col + w - 1) % w without two more divisions.
        const std::uint64_t left = col == 0 ? w - 1 : col - 1;
        const std::uint64_t right = col + 1 == w ? 0 : col + 1;
        const std::uint64_t up = row == 0 ? h - 1 : row - 1;
        const std::uint64_t down = row + 1 == h ? 0 : row + 1;
        return {row * w + left, up * w + col, row * w + right, down * w + col};
    }

    std::uint64_t idx_to_flat(std::uint64_t row, std::uint64_t col) const {
        if (row >= height || col >= width) [[unlikely]] stop("Accessing out of bounds!");
        return row * width + col;
    }

    std::array<std::uint64_t, 2> flat_to_idx(std::uint64_t flat_idx) const {
        if (flat_idx >= site_count()) [[unlikely]] stop("Accessing out of bounds!");
        return {flat_idx / width, flat_idx % width};
    }
};

}  // namespace spinlattice::model
