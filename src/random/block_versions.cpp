#include "random/chacha.hpp"

namespace spinlattice::random {

// Placeholder until the vector versions and their dispatch land.
BlockFunction best_block_function() noexcept { return chacha_blocks_scalar; }

}  // namespace spinlattice::random
