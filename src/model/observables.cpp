#include "model/observables.hpp"

namespace spinlattice::model {

namespace {
// Calls site(s, nb) for every site in index order, with nb its exact
// neighbour sum ((left + up) + right) + down. Walks rows and columns instead
// of dividing per site, wrapping by before() and after() (geometry.hpp), with
// the two edge columns taken out of the inner loop.
template <class Site>
void for_each_site(const Lattice& lattice, Site&& site) noexcept {
    const std::uint64_t w = lattice.width, h = lattice.height;
    const Spin* s = lattice.sites.data();
    auto visit = [&site](int spin, int left, int up, int right, int down) {
        site(spin, ((left + up) + right) + down);
    };
    for (std::uint64_t row = 0; row < h; ++row) {
        const Spin* here = s + row * w;
        const Spin* above = s + before(row, h) * w;
        const Spin* below = s + after(row, h) * w;
        if (w == 1) {
            visit(here[0], here[0], above[0], here[0], below[0]);
            continue;
        }
        const std::uint64_t last = w - 1;
        visit(here[0], here[before(0, w)], above[0], here[1], below[0]);
        for (std::uint64_t col = 1; col < last; ++col)
            visit(here[col], here[col - 1], above[col], here[col + 1], below[col]);
        visit(here[last], here[last - 1], above[last], here[after(last, w)], below[last]);
    }
}
}  // namespace

double energy(const Lattice& lattice) noexcept {
    if (lattice.site_count() == 0) return 0.0;
    const double h_z = lattice.h_z();
    if (h_z == 0.0) {
        // Without a field every term (nb * s) * -0.5 is an integer and every
        // partial sum an integer far below 2^53, so each addition of the
        // sequential double sum is exact: the integer sum gives the same double
        // (a zero total is +0.0 both ways).
        std::int64_t sum = 0;  // of nb * s: every bond counted from both ends, so even
        for_each_site(lattice, [&sum](int spin, int nb) { sum += nb * spin; });
        return double(-(sum / 2));
    }
    double total = 0.0;
    for_each_site(lattice, [&total, h_z](int spin, int nb) { total = total + energy_term(spin, nb, h_z); });
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
