// Compiled with -msse4.1. ChaCha needs nothing new from SSE4.1; this is the
// SSSE3 kernel left to the compiler's SSE4.1 code generation.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {

void chacha_blocks_sse41(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                         unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    chacha_blocks_128<ByteShuffleRows>(key, counter, stream, double_rounds, out);
}

}  // namespace spinlattice::random
