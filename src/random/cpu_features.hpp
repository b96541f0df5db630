#pragma once
// The x86-64 features the vector block functions need, read once per process.
// Built only for x86-64; other processors have no run-time choice.

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
