#pragma once
// Windows' side of the seeding seam, for its tests: how a failure reads.

#include <string>

namespace spinlattice::random {

// The reason a failed BCryptGenRandom gives: the system's text for the status's
// Windows error code, then " (os error <code>)".
std::string status_reason(long status);

}  // namespace spinlattice::random
