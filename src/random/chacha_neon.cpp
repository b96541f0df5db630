// Advanced SIMD is part of the aarch64 baseline: no flags and no run-time
// check. Rotations by 16 swap half-words; the others shift and insert.
#include <arm_neon.h>

#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {
namespace {

// Additions, xors, loads and stores are the shared lane arithmetic (add, eor, ld1, st1 on NEON).
struct NeonRows : LaneRows<uint32x4_t> {
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n == 16) return vreinterpretq_u32_u16(vrev32q_u16(vreinterpretq_u16_u32(x)));
        else return vsriq_n_u32(vshlq_n_u32(x, n), x, 32 - n);
    }
    template <int words>
    static Vec turn(Vec x) { return vextq_u32(x, x, words); }
};

}  // namespace

void chacha_blocks_neon(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                        unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    chacha_blocks_128<NeonRows>(key, counter, stream, double_rounds, out);
}

}  // namespace spinlattice::random
