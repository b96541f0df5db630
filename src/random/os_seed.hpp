#pragma once
// Seeding's one seam with the operating system. Each system has its own file
// (os_seed_linux.cpp, os_seed_getentropy.cpp, os_seed_windows.cpp), chosen by
// the build; the generator calls nothing else of it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace spinlattice::random {

// Fills buf[0, len) from the system's entropy source, or stops with seeding_failed.
void fill_from_os(std::uint8_t* buf, std::size_t len);

// The stop of a failed seeding: "from_os_rng failed: " followed by `reason`.
[[noreturn]] void seeding_failed(const std::string& reason);

// A system error as its reason: "<description> (os error <code>)".
std::string os_error_reason(const char* description, long long code);

}  // namespace spinlattice::random
