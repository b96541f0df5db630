// Seeding from the operating system: getrandom when the C library has it and
// the kernel allows it, otherwise /dev/urandom once /dev/random is readable.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "fixed_texts.hpp"
#include "random/os_seed.hpp"

// The XSI variant, whatever the feature macros make of strerror_r.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace spinlattice::random {
namespace {

using GetrandomFn = ssize_t (*)(void*, std::size_t, unsigned);

// One seeding failure: an errno (> 0), or one of the two internal texts.
struct SeedError {
    int os_error = 0;
    const char* internal = nullptr;
};
constexpr SeedError kUnexpected{0, fixed::kSeedingUnexpected};
constexpr SeedError kErrnoNotPositive{0, fixed::kSeedingErrnoNotPositive};

SeedError last_os_error() {
    const int e = errno;
    return e > 0 ? SeedError{e, nullptr} : kErrnoNotPositive;
}

[[noreturn]] void stop_seeding(const SeedError& error) {
    if (error.internal) seeding_failed(error.internal);
    char description[256] = "";
    if (__xpg_strerror_r(error.os_error, description, sizeof description) != 0) description[0] = '\0';
    seeding_failed(os_error_reason(description, error.os_error));
}

// Not yet chosen, the C library's getrandom, or "not available".
void* const kNotChosen = nullptr;
void* const kNotAvailable = reinterpret_cast<void*>(std::uintptr_t(1));
std::atomic<void*> GETRANDOM_FN{kNotChosen};

// Looked up at run time so that an interposed getrandom is honoured.
GetrandomFn choose_getrandom() {
    void* choice = GETRANDOM_FN.load(std::memory_order_acquire);
    if (choice == kNotChosen) {
        choice = dlsym(RTLD_DEFAULT, "getrandom");
        if (choice == nullptr) {
            choice = kNotAvailable;
        } else {
            auto probe = reinterpret_cast<GetrandomFn>(choice);
            if (probe(nullptr, 0, 0) < 0 && (errno == ENOSYS || errno == EPERM)) choice = kNotAvailable;
        }
        GETRANDOM_FN.store(choice, std::memory_order_release);
    }
    return choice == kNotAvailable ? nullptr : reinterpret_cast<GetrandomFn>(choice);
}

// Fills buf completely with `source(rest, remaining)`; returns false and sets error otherwise.
template <class Source>
bool fill_from(Source&& source, std::uint8_t* buf, std::size_t len, SeedError& error) {
    std::size_t done = 0;
    while (done < len) {
        const std::size_t remaining = len - done;
        const ssize_t got = source(buf + done, remaining);
        if (got > 0) {
            if (std::size_t(got) > remaining) { error = kUnexpected; return false; }
            done += std::size_t(got);
        } else if (got == -1) {
            const SeedError os = last_os_error();
            if (os.os_error == EINTR) continue;
            error = os;
            return false;
        } else {
            error = kUnexpected;
            return false;
        }
    }
    return true;
}

// -1 before the device is opened, -2 while one thread opens it, then the descriptor.
std::atomic<std::int32_t> FD{-1};
static_assert(sizeof(FD) == sizeof(std::int32_t) && std::atomic<std::int32_t>::is_always_lock_free);

int open_retrying(const char* path) {
    for (;;) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Waits until /dev/random has been seeded, then opens /dev/urandom.
int open_urandom_after_random(SeedError& error) {
    const int random_fd = open_retrying("/dev/random");
    if (random_fd < 0) { error = last_os_error(); return -1; }
    pollfd pfd{random_fd, POLLIN, 0};
    for (;;) {
        if (::poll(&pfd, 1, -1) >= 0) break;
        const SeedError os = last_os_error();
        if (os.os_error == EINTR) continue;
        ::close(random_fd);
        error = os;
        return -1;
    }
    ::close(random_fd);
    const int fd = open_retrying("/dev/urandom");
    if (fd < 0) error = last_os_error();
    return fd;
}

// Private futex operations on FD: std::atomic::wait would use shared ones here.
std::int32_t* fd_word() { return reinterpret_cast<std::int32_t*>(&FD); }
void wait_while_opening() { syscall(SYS_futex, fd_word(), FUTEX_WAIT_PRIVATE, -2, nullptr); }
void wake_all_waiters() { syscall(SYS_futex, fd_word(), FUTEX_WAKE_PRIVATE, INT_MAX); }

int open_or_wait(SeedError& error) {
    for (;;) {
        std::int32_t fd = FD.load();
        if (fd >= 0) return fd;
        if (fd == -2) {
            wait_while_opening();  // returns at once if FD already changed
            continue;
        }
        if (!FD.compare_exchange_strong(fd, -2)) continue;
        const int opened = open_urandom_after_random(error);
        FD.store(opened >= 0 ? opened : -1);
        wake_all_waiters();
        return opened;
    }
}

}  // namespace

void fill_from_os(std::uint8_t* buf, std::size_t len) {
    SeedError error;
    if (GetrandomFn getrandom_fn = choose_getrandom()) {
        auto source = [getrandom_fn](std::uint8_t* p, std::size_t n) { return getrandom_fn(p, n, 0); };
        if (!fill_from(source, buf, len, error)) stop_seeding(error);
        return;
    }
    const int fd = open_or_wait(error);
    if (fd < 0) stop_seeding(error);
    auto source = [fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); };
    if (!fill_from(source, buf, len, error)) stop_seeding(error);
}

}  // namespace spinlattice::random
