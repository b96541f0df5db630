// The Wolff update when memory for its lists is refused: array allocations
// are made to fail on demand, and the cluster must either complete exactly
// as with memory to spare or leave every spin as it was.

#include <cstdint>
#include <cstdlib>
#include <new>

#include "check.hpp"
#include "model/lattice.hpp"
#include "model/wolff.hpp"

using spinlattice::model::Lattice;
using spinlattice::random::Seed;
using spinlattice::random::StdRng;

namespace {
bool refuse_nothrow = false;                 // every no-throw array allocation fails
std::size_t refuse_above = ~std::size_t(0);  // throwing array allocations above this fail
}  // namespace

void* operator new[](std::size_t size) {
    if (size > refuse_above) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return refuse_nothrow ? nullptr : std::malloc(size ? size : 1);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {
constexpr std::uint64_t kWidth = 200, kHeight = 180, kSites = kWidth * kHeight;

// All spins +1 at T = +0: every examined like neighbour joins, so one call
// flips the whole lattice (past every growth of the lists) with n - 1 unit draws.
Lattice uniform_lattice() {
    Seed seed{};
    seed[0] = 7;
    Lattice lattice = Lattice::create_with(StdRng::from_seed(seed), kWidth, kHeight, 0.0, 0.0);
    for (std::uint64_t k = 0; k < kSites; ++k) lattice.sites[k] = 1;
    return lattice;
}

std::int64_t magnetisation(const Lattice& lattice) {
    std::int64_t m = 0;
    for (std::uint64_t k = 0; k < kSites; ++k) m += lattice.sites[k];
    return m;
}

// Refused room for the whole lattice at once, the lists keep growing step by step.
void test_cluster_completes_exactly_with_or_without_room_for_all() {
    for (bool refuse : {false, true}) {
        refuse_nothrow = refuse;
        Lattice lattice = uniform_lattice();
        StdRng expected = lattice.rng;
        expected.random_range(kSites);
        for (std::uint64_t i = 1; i < kSites; ++i) expected.next_u64();
        spinlattice::model::wolff_step(lattice);
        CHECK_EQ(magnetisation(lattice), -std::int64_t(kSites));
        CHECK_EQ(lattice.rng.index(), expected.index());
        CHECK_EQ(lattice.rng.next_u64(), expected.next_u64());
    }
    refuse_nothrow = false;
}

// When growing fails too, the call stops with bad_alloc and every spin is as before.
void test_refused_growth_restores_every_spin() {
    Lattice lattice = uniform_lattice();
    refuse_nothrow = true;
    refuse_above = 64 * 1024;  // the lists' first growth fits, the second does not
    bool refused = false;
    try {
        spinlattice::model::wolff_step(lattice);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    refuse_nothrow = false;
    refuse_above = ~std::size_t(0);
    CHECK(refused);
    CHECK_EQ(magnetisation(lattice), std::int64_t(kSites));
}
}  // namespace

int main() {
    test_cluster_completes_exactly_with_or_without_room_for_all();
    test_refused_growth_restores_every_spin();
    return check::finish("test_wolff_memory");
}
