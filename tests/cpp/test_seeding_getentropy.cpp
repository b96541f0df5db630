// Seeding through getentropy, the way macOS and the BSDs seed, run here on
// glibc, which has getentropy too. This executable defines getentropy (the
// generator looks it up at run time, and the link exports it) and links the
// getentropy seeding file in place of the Linux one.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "check.hpp"
#include "random/os_seed.hpp"
#include "seeding.hpp"

using seeding::Bytes;

namespace fake {

std::deque<int> failures;  // errnos for the next calls to fail with; 0 sets errno to 0
std::vector<std::size_t> requests;
std::vector<const std::uint8_t*> places;
Bytes handed;
std::uint8_t next_byte = 0x33;

}  // namespace fake

// Exported, so that the run-time lookup finds it before the C library's.
extern "C" [[gnu::visibility("default")]] int getentropy(void* buf, std::size_t len) {
    fake::requests.push_back(len);
    fake::places.push_back(static_cast<std::uint8_t*>(buf));
    if (!fake::failures.empty()) {
        errno = fake::failures.front();
        fake::failures.pop_front();
        return -1;
    }
    if (len > 256) {
        errno = EIO;
        return -1;
    }
    for (std::size_t i = 0; i < len; ++i) {
        static_cast<std::uint8_t*>(buf)[i] = fake::next_byte;
        fake::handed.push_back(fake::next_byte);
        fake::next_byte = std::uint8_t(fake::next_byte * 5 + 17);
    }
    return 0;
}

namespace {

void fills_the_seed_in_one_request() {
    seeding::Outcome o = seeding::seed_once();
    CHECK(seeding::keyed_by(o, fake::handed));
    CHECK(fake::requests == std::vector<std::size_t>{32});
}

void longer_requests_go_in_pieces_of_256_bytes() {
    fake::requests.clear();
    fake::places.clear();
    std::vector<std::uint8_t> buf(600);
    spinlattice::random::fill_from_os(buf.data(), buf.size());
    CHECK(fake::requests == (std::vector<std::size_t>{256, 256, 88}));
    CHECK(fake::places == (std::vector<const std::uint8_t*>{&buf[0], &buf[256], &buf[512]}));
    CHECK(Bytes(fake::handed.end() - 600, fake::handed.end()) == Bytes(buf.begin(), buf.end()));
}

void interrupts_are_retried_and_failures_stop() {
    fake::requests.clear();
    fake::failures = {EINTR, EINTR};
    seeding::Outcome o = seeding::seed_once();
    CHECK(seeding::keyed_by(o, fake::handed));
    CHECK(fake::requests == (std::vector<std::size_t>{32, 32, 32}));

    fake::failures = {EIO};
    CHECK_MESSAGE(seeding::seed_once(), "from_os_rng failed: Input/output error (os error 5)");
    fake::failures = {EFAULT};
    CHECK_MESSAGE(seeding::seed_once(), "from_os_rng failed: Bad address (os error 14)");
    fake::failures = {0};
    CHECK_MESSAGE(seeding::seed_once(), "from_os_rng failed: errno: did not return a positive value");
    fake::failures = {-7};
    CHECK_MESSAGE(seeding::seed_once(), "from_os_rng failed: errno: did not return a positive value");

    // A failure leaves nothing behind: the next seeding works.
    seeding::Outcome later = seeding::seed_once();
    CHECK(seeding::keyed_by(later, fake::handed));
}

}  // namespace

int main() {
    fills_the_seed_in_one_request();
    longer_requests_go_in_pieces_of_256_bytes();
    interrupts_are_retried_and_failures_stop();
    return check::finish("test_seeding_getentropy");
}
