#include "model/observables.hpp"

namespace spinlattice::model {

double energy(const Lattice& lattice) noexcept {
    // Walks rows and columns instead of dividing per site; the neighbour
    // indices and the order of the sum are those of neighbour_list.
    const std::uint64_t w = lattice.width, h = lattice.height;
    const Spin* s = lattice.sites.data();
    const double h_z = lattice.h_z;
    double total = 0.0;
    if (lattice.site_count() == 0) return total;
    for (std::uint64_t row = 0; row < h; ++row) {
        const Spin* here = s + row * w;
        const Spin* above = s + (row == 0 ? h - 1 : row - 1) * w;
        const Spin* below = s + (row + 1 == h ? 0 : row + 1) * w;
        for (std::uint64_t col = 0; col < w; ++col) {
            const std::uint64_t left = col == 0 ? w - 1 : col - 1;
            const std::uint64_t right = col + 1 == w ? 0 : col + 1;
            const double spin = here[col];
            const double nb = ((here[left] + above[col]) + here[right]) + below[col];
            const double a = (nb * spin) * -0.5;  // exact
            const double b = spin * h_z;          // exact: h_z or -h_z
            const double term = a - b;
            total = total + term;
        }
    }
    return total;
}

namespace {
// The sum starts at -0.0 and adds +-1.0 per site; every partial sum is an
// integer far below 2^53, so an integer count gives the same double.
double magnetization_sum(const Lattice& lattice) noexcept {
    const std::uint64_t n = lattice.site_count();
    if (n == 0) return -0.0;
    const Spin* s = lattice.sites.data();
    std::int64_t total = 0;
    for (std::uint64_t i = 0; i < n; ++i) total += s[i];
    return double(total);
}
}  // namespace

double total_magnetization(const Lattice& lattice) noexcept { return magnetization_sum(lattice); }

double average_magnetization(const Lattice& lattice) noexcept {
    return magnetization_sum(lattice) / double(lattice.width * lattice.height);
}

}  // namespace spinlattice::model
