// Throughput of every supported block function against the scalar one, and
// the cost of building a 1024 x 1024 lattice (8 MiB of keystream) with the best
// version against the scalar one. Ratios are taken in one process; each
// figure is the fastest of several interleaved rounds, since the machine is shared.

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "model/lattice.hpp"
#include "random/block_versions.hpp"

using namespace spinlattice;
using random::BlockFunction;
using random::BlockVersion;

namespace {

constexpr int kRounds = 300;
constexpr int kCallsPerRound = 2000;  // many short rounds: a shared machine disturbs long ones
constexpr double kBytesPerCall = random::kBufferWords * sizeof(std::uint32_t);

struct Timing {
    double ns = 1e300;
    double ticks = 1e300;
};

volatile std::uint32_t sink = 0;  // keeps the keystream observable

// The time-stamp counter where there is one; elsewhere only nanoseconds are reported.
std::uint64_t ticks_now() {
#if defined(__x86_64__)
    return __rdtsc();
#else
    return 0;
#endif
}

void time_calls(BlockFunction function, Timing& best) {
    std::uint32_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint32_t out[random::kBufferWords];
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t start_ticks = ticks_now();
    for (int i = 0; i < kCallsPerRound; ++i) {
        function(key, 4 * std::uint64_t(i), 0, 6, out);
        key[0] ^= out[17];  // keeps the calls dependent, as in a generator
    }
    const std::uint64_t ticks = ticks_now() - start_ticks;
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    sink = sink ^ key[0];
    if (ns < best.ns) best = {ns, double(ticks)};
}

double time_lattice(BlockFunction function, std::vector<model::Spin>& spins) {
    random::Seed seed{};
    for (unsigned i = 0; i < seed.size(); ++i) seed[i] = std::uint8_t(7 * i + 1);
    random::force_block_function(function);
    const auto start = std::chrono::steady_clock::now();
    model::Lattice lattice = model::Lattice::create_with(random::StdRng::from_seed(seed), 1024, 1024, 2.0, 0.0);
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    random::reset_block_function();
    spins.assign(lattice.sites.data(), lattice.sites.data() + lattice.site_count());
    return ns;
}

}  // namespace

int main() {
    std::vector<const BlockVersion*> versions;
    for (const BlockVersion& version : random::block_versions())
        if (version.supported()) versions.push_back(&version);
    std::vector<Timing> timings(versions.size());
    for (int round = 0; round < kRounds; ++round)
        for (std::size_t v = 0; v < versions.size(); ++v) time_calls(versions[v]->function, timings[v]);

    const Timing& scalar = timings.back();  // the list ends with the scalar version
    const double bytes = kBytesPerCall * kCallsPerRound;
    std::printf("block functions, %d calls of 256 bytes, fastest of %d rounds (steady_clock):\n", kCallsPerRound,
                kRounds);
    for (std::size_t v = 0; v < versions.size(); ++v)
        std::printf("  %-7s %6.3f bytes/ns  %5.2fx scalar\n", versions[v]->name, bytes / timings[v].ns,
                    scalar.ns / timings[v].ns);
    // The TSC counts at the nominal clock, not the core clock under turbo.
    if (timings.front().ticks > 0)
        std::printf("  best (%s): %.3f TSC ticks/byte, scalar %.3f TSC ticks/byte (TSC at %.2f GHz)\n",
                    versions.front()->name, timings.front().ticks / bytes, scalar.ticks / bytes,
                    timings.front().ticks / timings.front().ns);

    const BlockFunction best = versions.front()->function;
    double best_ns = 1e300, scalar_ns = 1e300;
    std::vector<model::Spin> best_spins, scalar_spins;
    for (int round = 0; round < kRounds; ++round) {
        const double b = time_lattice(best, best_spins), s = time_lattice(random::chacha_blocks_scalar, scalar_spins);
        if (b < best_ns) best_ns = b;
        if (s < scalar_ns) scalar_ns = s;
    }
    std::printf("Lattice::create_with 1024 x 1024 (8 MiB keystream), fastest of %d rounds:\n", kRounds);
    std::printf("  %s %.2f ms, scalar %.2f ms, ratio %.3f, spins identical: %s\n", versions.front()->name,
                best_ns / 1e6, scalar_ns / 1e6, best_ns / scalar_ns, best_spins == scalar_spins ? "yes" : "NO");
    return 0;
}
