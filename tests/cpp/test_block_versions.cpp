// Every vector version of the block function the processor supports must
// write the same words as the scalar definition, and dispatch must pick the
// best supported one.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "random/block_versions.hpp"

using namespace spinlattice::random;

namespace {

using Buffer = std::uint32_t[kBufferWords];

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// Little-endian words from hex text, as a keystream is published.
void words_from_hex(const char* hex, std::uint32_t* words) {
    const std::size_t bytes = std::strlen(hex) / 2;
    for (std::size_t i = 0; i < bytes / 4; ++i) words[i] = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::uint32_t byte = std::stoul(std::string(hex + 2 * i, 2), nullptr, 16);
        words[i / 4] |= byte << (8 * (i % 4));
    }
}

bool same_words(const std::uint32_t* a, const std::uint32_t* b, unsigned n) {
    return std::memcmp(a, b, n * sizeof(std::uint32_t)) == 0;
}

void agrees_with_scalar(const BlockVersion& version) {
    std::uint64_t rng = 0x5EED;
    const std::uint64_t counters[] = {0, 1, 2, 3, 4,
                                      0xFFFFFFFBu, 0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu,
                                      0x100000000u, 0x100000003u, 0x1FFFFFFFFu,
                                      ~0ull - 4, ~0ull - 3, ~0ull - 2, ~0ull - 1, ~0ull};
    const std::uint64_t streams[] = {0, 1, 0xFFFFFFFFu, 0x100000000u, ~0ull};
    const unsigned double_rounds[] = {6, 0, 1, 10};
    int mismatches = 0;
    for (int trial = 0; trial < 40; ++trial) {
        std::uint32_t key[8];
        for (auto& word : key) word = std::uint32_t(splitmix64(rng));
        for (std::uint64_t counter : counters) {
            for (std::uint64_t stream : streams) {
                for (unsigned rounds : double_rounds) {
                    Buffer expected, got;
                    chacha_blocks_scalar(key, counter, stream, rounds, expected);
                    version.function(key, counter, stream, rounds, got);
                    if (!same_words(expected, got, kBufferWords)) ++mismatches;
                }
            }
        }
        // And counters nowhere near a boundary.
        const std::uint64_t counter = splitmix64(rng);
        Buffer expected, got;
        chacha_blocks_scalar(key, counter, 0, 6, expected);
        version.function(key, counter, 0, 6, got);
        if (!same_words(expected, got, kBufferWords)) ++mismatches;
    }
    CHECK_EQ(mismatches, 0);
}

// Published ChaCha12 keystream for the all-zero key and nonce: blocks 0 and 1.
void zero_key_chacha12(const BlockVersion& version) {
    std::uint32_t expected[32];
    words_from_hex("9bf49a6a0755f953811fce125f2683d5" "0429c3bb49e074147e0089a52eae155f"
                   "0564f879d27ae3c02ce82834acfa8c79" "3a629f2ca0de6919610be82f411326be"
                   "0bd58841203e74fe86fc71338ce0173d" "c628ebb719bdcbcc151585214cc089b4"
                   "42258dcda14cf111c602b8971b8cc843" "e91e46ca905151c02744a6b017e69316",
                   expected);
    const std::uint32_t key[8] = {};
    Buffer got;
    version.function(key, 0, 0, 6, got);
    CHECK_EQ(got[0], 0x6a9af49bu);
    CHECK(same_words(expected, got, 32));
}

// RFC 8439 section 2.3.2: ChaCha20 block with counter word 1 and nonce 09000000 4a000000 00000000.
void rfc8439_block(const BlockVersion& version) {
    std::uint32_t key[8];
    for (unsigned i = 0; i < 8; ++i)
        key[i] = (4 * i) | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
    const std::uint32_t expected[16] = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    Buffer got;
    version.function(key, 0x0900000000000001u, 0x4a000000u, 10, got);
    CHECK(same_words(expected, got, 16));
}

#if defined(__x86_64__)
// The kernel's view of the processor, independent of the module's probe and of the
// compiler's runtime: the words of the first "flags" line of /proc/cpuinfo. The kernel
// leaves AVX out when it does not save the YMM registers.
std::vector<std::string> cpu_flags() {
    std::vector<std::string> flags;
    if (std::FILE* f = std::fopen("/proc/cpuinfo", "r")) {
        char line[8192];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "flags", 5) != 0) continue;
            for (char* word = std::strtok(std::strchr(line, ':') + 1, " \n"); word; word = std::strtok(nullptr, " \n"))
                flags.emplace_back(word);
            break;
        }
        std::fclose(f);
    }
    return flags;
}
#endif

// What dispatch should pick here: on x86-64 the best version whose feature the kernel
// reports; elsewhere the one vector version, if any.
const char* expected_choice() {
#if defined(__x86_64__)
    const std::vector<std::string> flags = cpu_flags();
    const auto has = [&](const char* flag) { return std::find(flags.begin(), flags.end(), flag) != flags.end(); };
    if (has("avx2")) return "avx2";
    if (has("avx")) return "avx";
    if (has("sse4_1")) return "sse4.1";
    if (has("ssse3")) return "ssse3";
    if (has("sse2")) return "sse2";
    return "scalar";
#elif defined(__aarch64__)
    return "neon";
#else
    return "scalar";
#endif
}

// The versions built for this processor, best first; the baseline ones run on
// every processor of its kind (SSE2 on x86-64, NEON on aarch64, and scalar).
#if defined(__x86_64__)
const std::vector<std::string> kBuiltVersions = {"avx2", "avx", "sse4.1", "ssse3", "sse2", "scalar"};
constexpr int kBaselineVersions = 2;
#elif defined(__aarch64__)
const std::vector<std::string> kBuiltVersions = {"neon", "scalar"};
constexpr int kBaselineVersions = 2;
#else
const std::vector<std::string> kBuiltVersions = {"scalar"};
constexpr int kBaselineVersions = 1;
#endif

void lists_the_versions_built_here() {
    std::vector<std::string> names;
    for (const BlockVersion& version : block_versions()) names.emplace_back(version.name);
    CHECK(names == kBuiltVersions);
}

void dispatch_picks_the_best() {
    const std::string expected = expected_choice();
    CHECK(expected == chosen_block_version_name());
    // The first supported entry of the list is the one chosen.
    for (const BlockVersion& version : block_versions()) {
        if (!version.supported()) continue;
        CHECK(version.function == best_block_function());
        break;
    }
    CHECK(block_versions().back().supported());

    force_block_function(chacha_blocks_scalar);
    CHECK(best_block_function() == chacha_blocks_scalar);
    CHECK(std::string("scalar") == chosen_block_version_name());
    reset_block_function();
    CHECK(expected == chosen_block_version_name());
}

}  // namespace

int main() {
    int tested = 0;
    for (const BlockVersion& version : block_versions()) {
        if (!version.supported()) {
            std::printf("skipping %s: not supported here\n", version.name);
            continue;
        }
        ++tested;
        std::printf("checking %s\n", version.name);
        agrees_with_scalar(version);
        zero_key_chacha12(version);
        rfc8439_block(version);
    }
    CHECK(tested >= kBaselineVersions);
    lists_the_versions_built_here();
    dispatch_picks_the_best();
    return check::finish("test_block_versions");
}
