#include "stop.hpp"

#include <string>

namespace spinlattice {

void stop(const char* message) { throw Stop(message); }

// Fixed text (fixed_texts.hpp).
void stop_index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
    throw Stop("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
               std::to_string(index));
}

}  // namespace spinlattice
