// The geometry's encodings of the periodic wrap against its definition: the
// site at column (col -+ 1) mod w and row (row -+ 1) mod h. On small and
// degenerate shapes, where every site touches an edge or the neighbours
// coincide: position and the neighbour list, the offsets the Metropolis
// update reads (and the row of its index draw), the Wolff update's cluster
// entries, and the observables' row walk.

#include <cstdint>
#include <utility>
#include <vector>

#include "check.hpp"
#include "model/lattice.hpp"
#include "model/metropolis.hpp"
#include "model/observables.hpp"
#include "model/geometry.hpp"

using spinlattice::model::Lattice;
using spinlattice::model::Neighbours;
using spinlattice::random::DrawCursor;
using spinlattice::random::Seed;
using spinlattice::random::StdRng;

namespace {

const std::vector<std::pair<std::uint64_t, std::uint64_t>> kShapes = {
    {1, 1}, {1, 2}, {2, 1}, {2, 2}, {1, 7}, {7, 1}, {2, 5}, {5, 2}, {3, 3}, {3, 2}, {4, 6}, {9, 4}, {16, 3}};

Lattice lattice_of(std::uint64_t w, std::uint64_t h, double h_z = 0.0) {
    Seed seed{};
    seed[0] = std::uint8_t(w * 16 + h);
    return Lattice::create_with(StdRng::from_seed(seed), w, h, 1.0, h_z);
}

// The definition: left, up, right, down with the wrap worked out by remainders.
Neighbours wrapped(std::uint64_t w, std::uint64_t h, std::uint64_t k) {
    const std::uint64_t row = k / w, col = k % w;
    return {row * w + (col + w - 1) % w, (row + h - 1) % h * w + col, row * w + (col + 1) % w,
            (row + 1) % h * w + col};
}

void test_neighbour_list_and_position() {
    for (const auto& [w, h] : kShapes) {
        const Lattice lattice = lattice_of(w, h);
        int wrong = 0;
        for (std::uint64_t k = 0; k < w * h; ++k) {
            wrong += lattice.neighbour_list(k) != wrapped(w, h, k);
            wrong += lattice.position(k) != std::array<std::uint64_t, 2>{k / w, k % w};
        }
        CHECK_EQ(wrong, 0);
    }
    // Position's other encodings: 32-bit division (width 1), and 64-bit division
    // for an index or a width of 2^32 or more (no site is needed to ask).
    int wrong = 0;
    const std::uint64_t one = 1, max = ~std::uint64_t(0);
    for (std::uint64_t w : {one, one + 1, one + 2, one + 6, (one << 31) + 1, (one << 32) - 1, one << 32,
                            (one << 32) + 3, (one << 63) + 5, max}) {
        const Lattice empty = lattice_of(w, 0);
        for (std::uint64_t k : {one - 1, one, w - 1, w, w + 1, 5 * w + 2, (one << 32) - 1, one << 32,
                                (one << 40) + 12345, max - 1})
            wrong += empty.position(k) != std::array<std::uint64_t, 2>{k / w, k % w};
    }
    CHECK_EQ(wrong, 0);
}

void test_metropolis_offsets() {
    using namespace spinlattice::model;
    for (const auto& [w, h] : kShapes) {
        const std::uint64_t n = w * h;
        int wrong = 0, edges = 0;
        for (std::uint64_t k = 0; k < n; ++k) {
            const Neighbours expected = wrapped(w, h, k);
            const std::uint64_t row = k / w, col = k % w;
            const bool edge = touches_edge(row, col, w, h);
            const NeighbourOffsets used = edge ? neighbour_offsets(row, col, w, h, n) : interior_offsets(w);
            const NeighbourOffsets general = neighbour_offsets(row, col, w, h, n);
            for (int i = 0; i < 4; ++i) {
                wrong += k + used[i] != expected[i];
                wrong += k + general[i] != expected[i];  // the edge form holds for every site
            }
            edges += edge;
        }
        CHECK_EQ(wrong, 0);
        CHECK(edges > 0);
    }
}

// The row found with the index draw, with and without the correction draw, on
// shapes of up to 2^32 - 1 sites, where the correction is common and the rows many.
void test_metropolis_row() {
    int wrong = 0, corrected = 0;
    for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {1, 1}, {7, 1}, {1, 7}, {3, 5}, {3072, 4096}, {65536, 65535}, {65535, 65537}, {3, 1431655765},
             {1431655765, 3}, {1, 0xFFFFFFFFu}, {0xFFFFFFFFu, 1}, {1, 3u << 30}, {3, 1u << 30}, {5, 0x30000000}}) {
        const std::uint32_t n = w * h;
        StdRng g = StdRng::from_seed(Seed{std::uint8_t(w), std::uint8_t(h)});
        for (int draw = 0; draw < 2000; ++draw) {
            if (!DrawCursor::has_room(g, 2)) DrawCursor(g).refill();
            const std::uint64_t before = g.index();
            StdRng reference = g;
            const std::uint64_t expected = reference.random_range(n);
            spinlattice::model::SiteAndRow drawn{};
            {
                DrawCursor draws(g);
                drawn = spinlattice::model::site_and_row(draws, n, h, w);
            }
            wrong += drawn.index != expected || drawn.row != expected / w || g.index() != reference.index();
            corrected += (g.index() + 64 - before) % 64 == 2;
        }
    }
    CHECK_EQ(wrong, 0);
    CHECK(corrected > 0);
}

template <class Index>
int wrong_pending_entries(std::uint64_t w, std::uint64_t h) {
    using Geometry = spinlattice::model::ClusterGeometry<Index>;
    const std::uint64_t n = w * h;
    const Geometry geometry(w, n);
    int wrong = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const Neighbours expected = wrapped(w, h, k);
        int i = 0;
        geometry.for_each_neighbour(Geometry::entry(k, k % w), [&](typename Geometry::Entry e) {
            wrong += i >= 4 || Geometry::site(e) != expected[i] || Geometry::column(e) != expected[i] % w;
            ++i;
        });
        wrong += i != 4;
    }
    return wrong;
}

void test_wolff_entries() {
    for (const auto& [w, h] : kShapes) {
        CHECK_EQ(wrong_pending_entries<std::uint32_t>(w, h), 0);
        CHECK_EQ(wrong_pending_entries<std::uint64_t>(w, h), 0);
    }
}

// The energy's row walk against the sum over neighbour_list in the same order,
// with and without a field (the two take different arithmetic).
void test_observables_walk() {
    for (const auto& [w, h] : kShapes) {
        for (double h_z : {0.0, 0.3}) {
            const Lattice lattice = lattice_of(w, h, h_z);
            double expected = 0.0;
            for (std::uint64_t k = 0; k < w * h; ++k) {
                const Neighbours nb = wrapped(w, h, k);
                const double s = lattice.sites[k];
                const double sum = ((double(lattice.sites[nb[0]]) + lattice.sites[nb[1]]) + lattice.sites[nb[2]]) +
                                   lattice.sites[nb[3]];
                expected = expected + ((sum * s) * -0.5 - s * h_z);
            }
            CHECK(spinlattice::model::energy(lattice) == expected);
        }
    }
}

}  // namespace

int main() {
    test_neighbour_list_and_position();
    test_metropolis_offsets();
    test_metropolis_row();
    test_wolff_entries();
    test_observables_walk();
    return check::finish("test_periodic_wrap");
}
