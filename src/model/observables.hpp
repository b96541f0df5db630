#pragma once
// Energy and magnetisation. Floating-point operations run in a fixed order:
// the results are specified bit for bit, so nothing here may be reassociated.

#include <cstdint>

#include "model/energy_terms.hpp"
#include "model/lattice.hpp"

namespace spinlattice::model {

// Sum of the four neighbour spins of site k (k < site count), an exact integer.
inline int neighbour_sum(const Lattice& lattice, std::uint64_t k) noexcept {
    const Neighbours nb = lattice.neighbour_list_unchecked(k);
    const Spin* s = lattice.sites.data();
    return ((s[nb[0]] + s[nb[1]]) + s[nb[2]]) + s[nb[3]];
}

// What negating site k would change the energy by.
inline double flip_energy_difference(const Lattice& lattice, std::uint64_t k) {
    const Spin s = lattice.sites.at(k);  // checks k against the length first
    return flip_energy_difference(s, neighbour_sum(lattice, k), lattice.h_z());
}

double energy(const Lattice& lattice) noexcept;
double total_magnetization(const Lattice& lattice) noexcept;
double average_magnetization(const Lattice& lattice) noexcept;

}  // namespace spinlattice::model
