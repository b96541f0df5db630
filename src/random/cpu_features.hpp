#pragma once
// The processor features the vector block functions need, read once per process.

namespace spinlattice::random {

enum CpuFeature : unsigned {
    kSse2 = 1u << 0,
    kSsse3 = 1u << 1,
    kSse41 = 1u << 2,
    kAvx = 1u << 3,
    kAvx2 = 1u << 4,
};

// Bit set of CpuFeature; AVX and AVX2 only when the OS also saves the YMM registers.
unsigned cpu_features() noexcept;

}  // namespace spinlattice::random
