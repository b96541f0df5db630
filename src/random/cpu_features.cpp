#include "random/cpu_features.hpp"

#include <cpuid.h>

#include <cstdint>

namespace spinlattice::random {
namespace {

// XCR0 through xgetbv; the intrinsic would need -mxsave on this baseline file.
std::uint64_t xcr0() noexcept {
    std::uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return std::uint64_t(hi) << 32 | lo;
}

unsigned detect() noexcept {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    unsigned found = 0;
    if (edx & bit_SSE2) found |= kSse2;
    if (ecx & bit_SSSE3) found |= kSsse3;
    if (ecx & bit_SSE4_1) found |= kSse41;
    // AVX state must be enabled by the OS (XCR0 bits 1 and 2: XMM and YMM),
    // otherwise the first YMM instruction faults.
    const bool ymm_saved = (ecx & bit_OSXSAVE) && (xcr0() & 0x6) == 0x6;
    if (!ymm_saved || !(ecx & bit_AVX)) return found;
    found |= kAvx;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2)) found |= kAvx2;
    return found;
}

}  // namespace

unsigned cpu_features() noexcept {
    static const unsigned features = detect();
    return features;
}

}  // namespace spinlattice::random
