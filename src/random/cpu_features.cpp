#include "random/cpu_features.hpp"

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <cstdint>

namespace spinlattice::random {
namespace {

// Register bits of cpuid leaf 1 (ecx, edx) and leaf 7 (ebx), as the processor manuals number them.
constexpr unsigned kEdxSse2 = 1u << 26;
constexpr unsigned kEcxSsse3 = 1u << 9;
constexpr unsigned kEcxSse41 = 1u << 19;
constexpr unsigned kEcxOsxsave = 1u << 27;
constexpr unsigned kEcxAvx = 1u << 28;
constexpr unsigned kEbxAvx2 = 1u << 5;

struct Registers {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// Leaf `leaf`, subleaf `sub`; all zero for a leaf the processor does not have.
Registers cpuid(unsigned leaf, unsigned sub) noexcept {
    Registers r;
#if defined(_MSC_VER)
    int max[4], out[4];
    __cpuid(max, int(leaf & 0x80000000u));
    if (unsigned(max[0]) < leaf) return r;
    __cpuidex(out, int(leaf), int(sub));
    r = {unsigned(out[0]), unsigned(out[1]), unsigned(out[2]), unsigned(out[3])};
#else
    if (!__get_cpuid_count(leaf, sub, &r.eax, &r.ebx, &r.ecx, &r.edx)) return Registers{};
#endif
    return r;
}

// XCR0 through xgetbv; the intrinsic would need the xsave target on this baseline file.
std::uint64_t xcr0() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return std::uint64_t(hi) << 32 | lo;
#endif
}

unsigned detect() noexcept {
    const Registers leaf1 = cpuid(1, 0);
    unsigned found = 0;
    if (leaf1.edx & kEdxSse2) found |= kSse2;
    if (leaf1.ecx & kEcxSsse3) found |= kSsse3;
    if (leaf1.ecx & kEcxSse41) found |= kSse41;
    // AVX state must be enabled by the OS (XCR0 bits 1 and 2: XMM and YMM),
    // otherwise the first YMM instruction faults.
    const bool ymm_saved = (leaf1.ecx & kEcxOsxsave) && (xcr0() & 0x6) == 0x6;
    if (!ymm_saved || !(leaf1.ecx & kEcxAvx)) return found;
    found |= kAvx;
    if (cpuid(7, 0).ebx & kEbxAvx2) found |= kAvx2;
    return found;
}

}  // namespace

unsigned cpu_features() noexcept {
    static const unsigned features = detect();
    return features;
}

}  // namespace spinlattice::random
