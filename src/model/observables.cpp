#include "model/observables.hpp"

namespace spinlattice::model {

namespace {
// One site's term, (nb * s) * -0.5 - s * h_z, in that order (both products exact).
inline double energy_term(int spin, int left, int up, int right, int down, double h_z) noexcept {
    const double s = spin;
    const double nb = ((left + up) + right) + down;  // small integers: exact either way
    return (nb * s) * -0.5 - s * h_z;
}

// nb * s of one site, an integer in -4..4.
inline int bond_sum(int spin, int left, int up, int right, int down) noexcept {
    return (((left + up) + right) + down) * spin;
}

// Without a field every term (nb * s) * -0.5 is an integer and every partial
// sum an integer far below 2^53, so each addition of the sequential double sum
// is exact: the integer sum gives the same double (a zero total is +0.0 both ways).
double energy_without_field(const Lattice& lattice) noexcept {
    const std::uint64_t w = lattice.width, h = lattice.height;
    const Spin* s = lattice.sites.data();
    std::int64_t sum = 0;  // of nb * s: every bond counted from both ends, so even
    for (std::uint64_t row = 0; row < h; ++row) {
        const Spin* here = s + row * w;
        const Spin* above = s + (row == 0 ? h - 1 : row - 1) * w;
        const Spin* below = s + (row + 1 == h ? 0 : row + 1) * w;
        if (w == 1) {
            sum += bond_sum(here[0], here[0], above[0], here[0], below[0]);
            continue;
        }
        std::int64_t row_sum = bond_sum(here[0], here[w - 1], above[0], here[1], below[0]);
        for (std::uint64_t col = 1; col + 1 < w; ++col)
            row_sum += bond_sum(here[col], here[col - 1], above[col], here[col + 1], below[col]);
        row_sum += bond_sum(here[w - 1], here[w - 2], above[w - 1], here[0], below[w - 1]);
        sum += row_sum;
    }
    return double(-(sum / 2));
}
}  // namespace

double energy(const Lattice& lattice) noexcept {
    // Walks rows and columns instead of dividing per site; the neighbour
    // indices and the order of the sum are those of neighbour_list, with the
    // two edge columns taken out of the inner loop.
    const std::uint64_t w = lattice.width, h = lattice.height;
    const Spin* s = lattice.sites.data();
    const double h_z = lattice.h_z;
    double total = 0.0;
    if (lattice.site_count() == 0) return total;
    if (h_z == 0.0) return energy_without_field(lattice);
    for (std::uint64_t row = 0; row < h; ++row) {
        const Spin* here = s + row * w;
        const Spin* above = s + (row == 0 ? h - 1 : row - 1) * w;
        const Spin* below = s + (row + 1 == h ? 0 : row + 1) * w;
        if (w == 1) {
            total = total + energy_term(here[0], here[0], above[0], here[0], below[0], h_z);
            continue;
        }
        total = total + energy_term(here[0], here[w - 1], above[0], here[1], below[0], h_z);
        for (std::uint64_t col = 1; col + 1 < w; ++col)
            total = total + energy_term(here[col], here[col - 1], above[col], here[col + 1], below[col], h_z);
        total = total + energy_term(here[w - 1], here[w - 2], above[w - 1], here[0], below[w - 1], h_z);
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
