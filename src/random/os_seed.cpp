// What seeding is on every system: 32 bytes from the system's source, one stop text.

#include "random/os_seed.hpp"

#include "random/std_rng.hpp"
#include "stop.hpp"

namespace spinlattice::random {

// Fixed text (fixed_texts.hpp).
void seeding_failed(const std::string& reason) { throw Stop("from_os_rng failed: " + reason); }

std::string os_error_reason(const char* description, long long code) {
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

StdRng StdRng::from_os_rng() {
    Seed seed{};
    fill_from_os(seed.data(), seed.size());
    return from_seed(seed);
}

}  // namespace spinlattice::random
