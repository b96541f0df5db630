// Compiled with -mavx: the SSSE3 kernel in VEX three-operand form, which saves
// the register copies the two-operand SSE forms need.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {

void chacha_blocks_avx(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                       unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    chacha_blocks_128<ByteShuffleRows>(key, counter, stream, double_rounds, out);
}

}  // namespace spinlattice::random
