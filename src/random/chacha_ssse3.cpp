// Compiled with -mssse3: rotations by 16 and 8 are byte shuffles.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {

void chacha_blocks_ssse3(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                         unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    chacha_blocks_128<ByteShuffleRows>(key, counter, stream, double_rounds, out);
}

}  // namespace spinlattice::random
