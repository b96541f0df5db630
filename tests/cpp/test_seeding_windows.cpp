// Seeding through the Windows generator: real calls (under Wine on the build
// machine, where Wine implements them), and the text of a real failure.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which defines what it uses.
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "random/os_seed.hpp"
#include "random/os_seed_windows.hpp"
#include "seeding.hpp"

namespace {

void real_seeds_differ() {
    seeding::Outcome a = seeding::seed_once(), b = seeding::seed_once();
    CHECK(a.rng && b.rng);
    if (a.rng && b.rng) {
        int equal = 0;
        for (int i = 0; i < 8; ++i) equal += a.rng->next_u32() == b.rng->next_u32();
        CHECK(equal < 8);
    }
    // Every byte of a longer request is written: none of 4096 is left at its fill value twice over.
    std::vector<std::uint8_t> first(4096, 0xA5), second(4096, 0xA5);
    spinlattice::random::fill_from_os(first.data(), first.size());
    spinlattice::random::fill_from_os(second.data(), second.size());
    int unchanged = 0;
    for (std::size_t i = 0; i < first.size(); ++i) unchanged += first[i] == 0xA5 && second[i] == 0xA5;
    CHECK(unchanged < 8);
}

// With no algorithm handle and without the flag that picks the system's own,
// the call fails for real: its reason is the system's text and the Windows code.
void a_real_failure_reads_as_the_system_says() {
    std::uint8_t buf[16];
    const NTSTATUS status = BCryptGenRandom(nullptr, buf, sizeof buf, 0);
    CHECK(!BCRYPT_SUCCESS(status));
    const std::string reason = spinlattice::random::status_reason(status);
    const std::string code = " (os error " + std::to_string(ERROR_INVALID_HANDLE) + ")";
    check::record(reason.size() > code.size() && reason.compare(reason.size() - code.size(), code.size(), code) == 0,
                  "reason ends with the Windows code", __FILE__, __LINE__, "(got \"" + reason + "\")");
    const char before = reason.size() > code.size() ? reason[reason.size() - code.size() - 1] : ' ';
    CHECK(before != ' ' && before != '\n' && before != '\r');
    try {
        spinlattice::random::seeding_failed(reason);
    } catch (const spinlattice::Stop& s) {
        CHECK(s.message() == "from_os_rng failed: " + reason);
    }
}

}  // namespace

int main() {
    real_seeds_differ();
    a_real_failure_reads_as_the_system_says();
    return check::finish("test_seeding_windows");
}
