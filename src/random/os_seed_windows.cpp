// Seeding on Windows: the system's preferred generator, BCryptGenRandom.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which defines what they use.
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "random/os_seed.hpp"
#include "random/os_seed_windows.hpp"

namespace spinlattice::random {
namespace {

// The system's own description of a Windows error code, in UTF-8, without the line end.
std::string describe(DWORD code) {
    wchar_t* wide = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
    std::string text;
    if (length != 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide, int(length), nullptr, 0, nullptr, nullptr);
        text.resize(std::size_t(std::max(size, 0)));
        WideCharToMultiByte(CP_UTF8, 0, wide, int(length), text.data(), size, nullptr, nullptr);
    }
    LocalFree(wide);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

std::string status_reason(long status) {
    const DWORD code = RtlNtStatusToDosError(NTSTATUS(status));
    return os_error_reason(describe(code).c_str(), code);
}

void fill_from_os(std::uint8_t* buf, std::size_t len) {
    while (len > 0) {
        const ULONG chunk = ULONG(std::min<std::size_t>(len, 1u << 30));
        const NTSTATUS status = BCryptGenRandom(nullptr, buf, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) seeding_failed(status_reason(status));
        buf += chunk;
        len -= chunk;
    }
}

}  // namespace spinlattice::random
