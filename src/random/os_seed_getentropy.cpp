// Seeding on macOS and the other systems that have getentropy: at most 256
// bytes a call, from the kernel's generator, which is always ready there.

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fixed_texts.hpp"
#include "random/os_seed.hpp"

namespace spinlattice::random {
namespace {

using GetentropyFn = int (*)(void*, std::size_t);
constexpr std::size_t kMaxRequest = 256;

// strerror_r is the XSI one (an int) on these systems; the GNU one returns the text.
[[maybe_unused]] const char* description_of(int result, const char* buf) { return result == 0 ? buf : ""; }
[[maybe_unused]] const char* description_of(const char* result, const char*) { return result; }

[[noreturn]] void stop_with_errno(int e) {
    if (e <= 0) seeding_failed(fixed::kSeedingErrnoNotPositive);
    char buf[256] = "";
    seeding_failed(os_error_reason(description_of(strerror_r(e, buf, sizeof buf), buf), e));
}

// Looked up at run time so that an interposed getentropy is honoured; every
// thread that races here finds the same function.
std::atomic<GetentropyFn> GETENTROPY_FN{nullptr};

GetentropyFn find_getentropy() {
    GetentropyFn fn = GETENTROPY_FN.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = reinterpret_cast<GetentropyFn>(dlsym(RTLD_DEFAULT, "getentropy"));
        GETENTROPY_FN.store(fn, std::memory_order_release);
    }
    return fn;
}

}  // namespace

void fill_from_os(std::uint8_t* buf, std::size_t len) {
    const GetentropyFn getentropy_fn = find_getentropy();
    if (getentropy_fn == nullptr) stop_with_errno(ENOSYS);
    while (len > 0) {
        const std::size_t chunk = std::min(len, kMaxRequest);
        if (getentropy_fn(buf, chunk) != 0) {
            const int e = errno;
            if (e == EINTR) continue;
            stop_with_errno(e);
        }
        buf += chunk;
        len -= chunk;
    }
}

}  // namespace spinlattice::random
