// Compiled with -msse4.1. ChaCha needs nothing new from SSE4.1, so this is the
// SSSE3 kernel again; the entry stays because the run-time choice is
// documented as naming every level from SSE2 to AVX2.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {

void chacha_blocks_sse41(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                         unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    chacha_blocks_128<ByteShuffleRows>(key, counter, stream, double_rounds, out);
}

}  // namespace spinlattice::random
