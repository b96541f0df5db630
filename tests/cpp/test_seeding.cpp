// Seeding from the operating system under injected faults. This executable
// defines getrandom (the generator looks it up at run time, and the link
// exports it) and wraps open, poll, read, close and syscall to record what the
// seeding does and to inject errors. The choice of source and the /dev/urandom
// descriptor are per process, so every scenario runs in a forked child.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "chacha_reference.hpp"
#include "check.hpp"
#include "seeding.hpp"
#include "random/std_rng.hpp"
#include "stop.hpp"

using spinlattice::random::StdRng;
using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint32_t>;

namespace fake {

// What a faked source does on one call; an empty script gives all that is asked.
struct Step {
    enum Kind { Give, Fail, Return, Overlong } kind;
    long value;  // Give: at most this many bytes (0: all); Fail: errno; Return: the value
};
Step give(long n = 0) { return {Step::Give, n}; }
Step fail(int e) { return {Step::Fail, e}; }
Step ret(long v) { return {Step::Return, v}; }
Step overlong() { return {Step::Overlong, 0}; }

struct Call {
    const std::uint8_t* buf;
    std::size_t len;
};

struct Source {
    std::deque<Step> script;
    Bytes handed;  // every byte handed out, in order
    std::vector<Call> calls;
    std::uint8_t next_byte = 0x5a;

    ssize_t serve(void* buf, std::size_t len) {
        calls.push_back({static_cast<std::uint8_t*>(buf), len});
        Step step = give();
        if (!script.empty()) { step = script.front(); script.pop_front(); }
        switch (step.kind) {
            case Step::Give: {
                const std::size_t n = step.value == 0 ? len : std::min<std::size_t>(step.value, len);
                for (std::size_t i = 0; i < n; ++i) {
                    static_cast<std::uint8_t*>(buf)[i] = next_byte;
                    handed.push_back(next_byte);
                    next_byte = std::uint8_t(next_byte * 5 + 17);
                }
                return ssize_t(n);
            }
            case Step::Fail: errno = int(step.value); return -1;
            case Step::Return: return step.value;
            case Step::Overlong: return ssize_t(len + 1);
        }
        return -1;
    }
};

std::mutex lock;  // guards everything below that is not atomic

// getrandom
Source getrandom_source;
std::vector<unsigned> getrandom_flags;
int probe_errno = 0;  // non-zero: the zero-length probe fails with it
bool real_getrandom = false;

// The devices: what was done to them, in order, as short lines.
std::vector<std::string> events;
std::atomic<int> random_fd{-1}, urandom_fd{-1};
std::vector<int> open_flags;
int eintr_open_random = 0, eintr_open_urandom = 0, eintr_poll = 0;  // EINTRs to inject first
int fail_open_random = 0, fail_open_urandom = 0, fail_poll = 0;     // one error to inject
pollfd polled{};
nfds_t polled_count = 0;
int poll_timeout = 0;
Source urandom_source;

// Futex traffic: waits expecting -2 (only the descriptor word holds that) and wake-alls.
int hold_poll_for_sleepers = 0;  // poll waits until this many threads sleep
bool hold_timed_out = false;
std::set<pid_t> sleepers;
std::set<long> wait_words;
bool waits_private = true;
struct Wake {
    long word;
    bool is_private;
    int value;  // the word when the wake was issued
};
std::vector<Wake> wakes;

}  // namespace fake

namespace {

// The C library's definition. The slot is constant-initialised: a guarded local
// static would itself use futexes when threads race on it.
template <class F>
F real(std::atomic<F>& slot, const char* name) {
    F f = slot.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        slot.store(f, std::memory_order_release);
    }
    return f;
}

// The names of the errors these tests inject (the C library's own table is too new for
// the oldest glibc the module is built for).
const char* error_name(int e) {
    switch (e) {
    case EACCES: return "EACCES";
    case EINTR: return "EINTR";
    case EINVAL: return "EINVAL";
    case EIO: return "EIO";
    case ENOENT: return "ENOENT";
    case ENOMEM: return "ENOMEM";
    case ENOSYS: return "ENOSYS";
    case EPERM: return "EPERM";
    default: return "another error";
    }
}

std::string with_error(std::string what, int e) { return what + ": " + error_name(e); }

}  // namespace

#define EXPORTED extern "C" [[gnu::visibility("default")]]

EXPORTED ssize_t getrandom(void* buf, std::size_t len, unsigned flags) {
    static constinit std::atomic<ssize_t (*)(void*, std::size_t, unsigned)> slot{nullptr};
    const auto next = real(slot, "getrandom");
    std::lock_guard guard(fake::lock);
    fake::getrandom_flags.push_back(flags);
    if (len == 0) {
        fake::getrandom_source.calls.push_back({static_cast<std::uint8_t*>(buf), len});
        if (fake::probe_errno == 0) return 0;
        errno = fake::probe_errno;
        return -1;
    }
    if (fake::real_getrandom) return next(buf, len, flags);
    return fake::getrandom_source.serve(buf, len);
}

EXPORTED int open(const char* path, int flags, ...) {
    static constinit std::atomic<int (*)(const char*, int, ...)> slot{nullptr};
    const auto next = real(slot, "open");
    unsigned mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, unsigned);
        va_end(ap);
    }
    const bool is_random = std::strcmp(path, "/dev/random") == 0;
    const bool is_urandom = std::strcmp(path, "/dev/urandom") == 0;
    if (!is_random && !is_urandom) return next(path, flags, mode);
    std::lock_guard guard(fake::lock);
    const std::string what = std::string("open ") + path;
    int& eintr = is_random ? fake::eintr_open_random : fake::eintr_open_urandom;
    int& failure = is_random ? fake::fail_open_random : fake::fail_open_urandom;
    fake::open_flags.push_back(flags);
    if (eintr > 0 || failure != 0) {
        int e = EINTR;
        if (eintr > 0) --eintr; else e = std::exchange(failure, 0);
        fake::events.push_back(with_error(what, e));
        errno = e;
        return -1;
    }
    fake::events.push_back(what);
    const int fd = next(path, flags, mode);
    (is_random ? fake::random_fd : fake::urandom_fd) = fd;
    return fd;
}

EXPORTED int poll(pollfd* fds, nfds_t count, int timeout) {
    static constinit std::atomic<int (*)(pollfd*, nfds_t, int)> slot{nullptr};
    const auto next = real(slot, "poll");
    if (count == 0 || fds[0].fd < 0 || fds[0].fd != fake::random_fd) return next(fds, count, timeout);
    int hold = 0;
    {
        std::lock_guard guard(fake::lock);
        fake::polled = fds[0];
        fake::polled_count = count;
        fake::poll_timeout = timeout;
        if (fake::eintr_poll > 0 || fake::fail_poll != 0) {
            int e = EINTR;
            if (fake::eintr_poll > 0) --fake::eintr_poll; else e = std::exchange(fake::fail_poll, 0);
            fake::events.push_back(with_error("poll /dev/random", e));
            errno = e;
            return -1;
        }
        fake::events.push_back("poll /dev/random");
        hold = fake::hold_poll_for_sleepers;
    }
    // Keeps the opening thread here until the others sleep on the descriptor word.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (hold > 0) {
        {
            std::lock_guard guard(fake::lock);
            if (int(fake::sleepers.size()) >= hold) break;
            if (std::chrono::steady_clock::now() > deadline) { fake::hold_timed_out = true; break; }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return next(fds, count, timeout);
}

EXPORTED int close(int fd) {
    static constinit std::atomic<int (*)(int)> slot{nullptr};
    const auto next = real(slot, "close");
    if (fd >= 0 && (fd == fake::random_fd || fd == fake::urandom_fd)) {
        std::lock_guard guard(fake::lock);
        const bool is_random = fd == fake::random_fd;
        fake::events.push_back(is_random ? "close /dev/random" : "close /dev/urandom");
        (is_random ? fake::random_fd : fake::urandom_fd) = -1;
    }
    return next(fd);
}

EXPORTED ssize_t read(int fd, void* buf, std::size_t len) {
    static constinit std::atomic<ssize_t (*)(int, void*, std::size_t)> slot{nullptr};
    const auto next = real(slot, "read");
    if (fd < 0 || fd != fake::urandom_fd) return next(fd, buf, len);
    std::lock_guard guard(fake::lock);
    fake::events.push_back("read /dev/urandom");
    return fake::urandom_source.serve(buf, len);
}

// Sees the futex waits (expecting -2) and wake-alls on the descriptor word.
EXPORTED long syscall(long number, ...) noexcept {
    static constinit std::atomic<long (*)(long, ...)> slot{nullptr};
    const auto next = real(slot, "syscall");
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_futex) {
        std::lock_guard guard(fake::lock);
        const int op = int(a[1]) & ~FUTEX_PRIVATE_FLAG;
        const bool is_private = (int(a[1]) & FUTEX_PRIVATE_FLAG) != 0;
        if (op == FUTEX_WAIT && int(a[2]) == -2) {
            fake::sleepers.insert(pid_t(next(SYS_gettid, 0, 0, 0, 0, 0, 0)));  // gettid() is newer than glibc 2.17
            fake::wait_words.insert(a[0]);
            fake::waits_private = fake::waits_private && is_private;
        } else if (op == FUTEX_WAKE && int(a[2]) == INT_MAX) {
            const int value = reinterpret_cast<const std::atomic<int>*>(a[0])->load();
            fake::wakes.push_back({a[0], is_private, value});
        }
    }
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

namespace {

using seeding::keyed_by;
using seeding::Outcome;
using seeding::seed_once;

using Events = std::vector<std::string>;

// Events recorded since the mark, so each seeding can be checked on its own.
Events events_since(std::size_t mark) {
    std::lock_guard guard(fake::lock);
    return Events(fake::events.begin() + std::ptrdiff_t(mark), fake::events.end());
}

const Events kOpenSequence = {"open /dev/random", "poll /dev/random", "close /dev/random",
                              "open /dev/urandom", "read /dev/urandom"};

std::string joined(const Events& e) {
    std::string s;
    for (const auto& line : e) s += "[" + line + "]";
    return s;
}

#define CHECK_EVENTS(mark, ...) \
    do { \
        const Events got_ = events_since(mark), want_ = __VA_ARGS__; \
        ::check::record(got_ == want_, "events == " #__VA_ARGS__, __FILE__, __LINE__, joined(got_)); \
    } while (0)


std::size_t probes() {
    std::size_t n = 0;
    for (const auto& c : fake::getrandom_source.calls) n += c.len == 0;
    return n;
}

template <class Body>
void scenario(const char* name, Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);  // a hang fails the scenario instead of the whole run
        check::failures = 0;  // counts inherited from the parent are not this scenario's
        body();
        std::fflush(nullptr);
        _exit(check::failures == 0 ? 0 : 1);
    }
    int status = 0;
    const bool waited = pid > 0 && waitpid(pid, &status, 0) == pid;
    const bool ok = waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::string detail = "in scenario \"" + std::string(name) + "\"";
    if (waited && WIFSIGNALED(status)) detail += ", killed by signal " + std::to_string(WTERMSIG(status));
    check::record(ok, "scenario passed", __FILE__, __LINE__, detail);
}

void getrandom_fills_the_seed_and_is_probed_once() {
    Outcome first = seed_once();
    CHECK(keyed_by(first, fake::getrandom_source.handed));
    const auto& calls = fake::getrandom_source.calls;
    CHECK_EQ(calls.size(), 2u);
    CHECK(calls.size() >= 1 && calls[0].len == 0);
    CHECK(calls.size() >= 2 && calls[1].len == 32);
    CHECK(fake::getrandom_flags == std::vector<unsigned>(fake::getrandom_flags.size(), 0u));

    Outcome second = seed_once();
    CHECK(keyed_by(second, fake::getrandom_source.handed));
    CHECK_EQ(fake::getrandom_source.handed.size(), 64u);
    CHECK_EQ(probes(), 1u);
    CHECK_EVENTS(0, {});  // no device touched
}

void getrandom_short_reads_and_interrupts_continue() {
    auto& src = fake::getrandom_source;
    src.script = {fake::give(1), fake::give(1), fake::give(1), fake::fail(EINTR), fake::give(10),
                  fake::fail(EINTR), fake::fail(EINTR), fake::give()};
    Outcome o = seed_once();
    CHECK(keyed_by(o, src.handed));
    CHECK_EQ(src.handed.size(), 32u);
    // Each call asks for the rest of the buffer, where the previous one stopped.
    std::vector<std::size_t> lengths;
    bool rest_of_buffer = true;
    for (std::size_t i = 1; i < src.calls.size(); ++i) {
        lengths.push_back(src.calls[i].len);
        rest_of_buffer &= src.calls[i].buf == src.calls[1].buf + (32 - src.calls[i].len);
    }
    CHECK(lengths == (std::vector<std::size_t>{32, 31, 30, 29, 29, 19, 19, 19}));
    CHECK(rest_of_buffer);

    // One byte at a time.
    src.script.assign(32, fake::give(1));
    Outcome bytewise = seed_once();
    CHECK(keyed_by(bytewise, src.handed));
    CHECK_EQ(src.handed.size(), 64u);
}

void getrandom_failures() {
    auto& src = fake::getrandom_source;
    auto failing = [&](std::deque<fake::Step> script) {
        src.script = std::move(script);
        Outcome o = seed_once();
        src.script.clear();
        return o;
    };
    CHECK_MESSAGE(failing({fake::fail(EIO)}), "from_os_rng failed: Input/output error (os error 5)");
    CHECK_MESSAGE(failing({fake::ret(0)}), "from_os_rng failed: unexpected situation");
    CHECK_MESSAGE(failing({fake::overlong()}), "from_os_rng failed: unexpected situation");
    // Longer than what is left, though shorter than the whole seed.
    CHECK_MESSAGE(failing({fake::give(7), fake::overlong()}), "from_os_rng failed: unexpected situation");
    CHECK_MESSAGE(failing({fake::ret(-2)}), "from_os_rng failed: unexpected situation");
    CHECK_MESSAGE(failing({fake::fail(0)}), "from_os_rng failed: errno: did not return a positive value");
    CHECK_MESSAGE(failing({fake::fail(-4)}), "from_os_rng failed: errno: did not return a positive value");

    // A failure changes nothing: the next seeding works without a second probe.
    Outcome later = seed_once();
    CHECK(keyed_by(later, src.handed));
    CHECK_EQ(probes(), 1u);
}

void fallback_after_probe(int probe_errno) {
    fake::probe_errno = probe_errno;
    Outcome first = seed_once();
    CHECK(keyed_by(first, fake::urandom_source.handed));
    CHECK_EVENTS(0, kOpenSequence);
    CHECK_EQ(fake::getrandom_source.calls.size(), 1u);  // only the probe
    CHECK(fake::getrandom_flags == std::vector<unsigned>{0});
    bool read_only_cloexec = fake::open_flags.size() == 2;
    for (int flags : fake::open_flags)
        read_only_cloexec &= (flags & O_ACCMODE) == O_RDONLY && (flags & O_CLOEXEC) != 0;
    CHECK(read_only_cloexec);
    CHECK(fake::polled_count == 1 && fake::polled.events == POLLIN && fake::poll_timeout < 0);

    // The descriptor stays open: a second seeding only reads.
    const std::size_t mark = fake::events.size();
    const int fd = fake::urandom_fd;
    Outcome second = seed_once();
    CHECK(keyed_by(second, fake::urandom_source.handed));
    CHECK_EVENTS(mark, {"read /dev/urandom"});
    CHECK(fd >= 0 && fcntl(fd, F_GETFD) == FD_CLOEXEC);
    CHECK_EQ(fake::getrandom_source.calls.size(), 1u);
}

void other_probe_errors_keep_getrandom() {
    fake::probe_errno = EINVAL;
    Outcome o = seed_once();
    CHECK(keyed_by(o, fake::getrandom_source.handed));
    CHECK_EQ(fake::getrandom_source.calls.size(), 2u);
    CHECK_EVENTS(0, {});
}

void fallback_open_retries_interrupts() {
    fake::probe_errno = ENOSYS;
    fake::eintr_open_random = 2;
    fake::eintr_poll = 1;
    fake::eintr_open_urandom = 1;
    Outcome o = seed_once();
    CHECK(keyed_by(o, fake::urandom_source.handed));
    CHECK_EVENTS(0, {"open /dev/random: EINTR", "open /dev/random: EINTR", "open /dev/random",
                     "poll /dev/random: EINTR", "poll /dev/random", "close /dev/random",
                     "open /dev/urandom: EINTR", "open /dev/urandom", "read /dev/urandom"});
}

void fallback_open_failures_are_retried_later() {
    fake::probe_errno = ENOSYS;
    std::size_t mark = 0;

    fake::fail_poll = ENOMEM;
    CHECK_MESSAGE(seed_once(), "from_os_rng failed: Cannot allocate memory (os error 12)");
    CHECK_EVENTS(mark, {"open /dev/random", "poll /dev/random: ENOMEM", "close /dev/random"});

    mark = fake::events.size();
    fake::fail_open_random = EACCES;
    CHECK_MESSAGE(seed_once(), "from_os_rng failed: Permission denied (os error 13)");
    CHECK_EVENTS(mark, {"open /dev/random: EACCES"});

    mark = fake::events.size();
    fake::fail_open_urandom = ENOENT;
    CHECK_MESSAGE(seed_once(), "from_os_rng failed: No such file or directory (os error 2)");
    CHECK_EVENTS(mark, {"open /dev/random", "poll /dev/random", "close /dev/random",
                        "open /dev/urandom: ENOENT"});

    mark = fake::events.size();
    Outcome o = seed_once();
    CHECK(keyed_by(o, fake::urandom_source.handed));
    CHECK_EVENTS(mark, kOpenSequence);
    CHECK_EQ(fake::getrandom_source.calls.size(), 1u);
}

void fallback_read_failures() {
    fake::probe_errno = ENOSYS;
    auto& src = fake::urandom_source;
    auto reading = [&](std::deque<fake::Step> script) {
        src.script = std::move(script);
        Outcome o = seed_once();
        src.script.clear();
        return o;
    };
    CHECK_MESSAGE(reading({fake::ret(0)}), "from_os_rng failed: unexpected situation");
    CHECK_MESSAGE(reading({fake::fail(EIO)}), "from_os_rng failed: Input/output error (os error 5)");
    CHECK_MESSAGE(reading({fake::give(5), fake::overlong()}), "from_os_rng failed: unexpected situation");
    CHECK_MESSAGE(reading({fake::fail(0)}), "from_os_rng failed: errno: did not return a positive value");

    Outcome o = reading({fake::give(1), fake::give(1), fake::fail(EINTR), fake::give(13), fake::give()});
    CHECK(keyed_by(o, src.handed));
    // Opened once, before the first failure, and never closed or reopened.
    Events opens;
    for (const auto& e : events_since(0))
        if (e.rfind("read", 0) != 0) opens.push_back(e);
    CHECK(opens == (Events{"open /dev/random", "poll /dev/random", "close /dev/random", "open /dev/urandom"}));
}

void concurrent_first_use_opens_once() {
    constexpr int kThreads = 4;
    fake::probe_errno = ENOSYS;
    fake::hold_poll_for_sleepers = kThreads - 1;
    std::vector<Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&outcomes, t] { outcomes[t] = seed_once(); });
    for (auto& t : threads) t.join();

    CHECK(!fake::hold_timed_out);
    CHECK_EQ(fake::sleepers.size(), std::size_t(kThreads - 1));
    CHECK_EQ(fake::wait_words.size(), 1u);
    // The word is never shared with another process: private waits and wake.
    CHECK(fake::waits_private);
    int wakes = 0;
    for (const auto& w : fake::wakes) {
        if (fake::wait_words.count(w.word) == 0) continue;
        ++wakes;
        CHECK(w.is_private);
        CHECK(w.value == fake::urandom_fd);  // issued after the descriptor is published
    }
    CHECK(wakes >= 1);
    Events opens = events_since(0);
    opens.erase(std::remove(opens.begin(), opens.end(), "read /dev/urandom"), opens.end());
    CHECK(opens == (Events{"open /dev/random", "poll /dev/random", "close /dev/random", "open /dev/urandom"}));

    // Each thread's generator is keyed by its own 32 bytes of the device.
    const Bytes& handed = fake::urandom_source.handed;
    CHECK_EQ(handed.size(), std::size_t(32 * kThreads));
    std::set<std::size_t> chunks_used;
    for (auto& o : outcomes) {
        if (!o.rng) { check::record(false, "thread seeded", __FILE__, __LINE__, o.message); continue; }
        const std::uint32_t first = o.rng->next_u32();
        for (std::size_t c = 0; c + 32 <= handed.size(); c += 32)
            if (reference::chacha12_words(reference::key_from_bytes(handed.data() + c), 0, 1)[0] == first)
                chunks_used.insert(c);
    }
    CHECK_EQ(chunks_used.size(), std::size_t(kThreads));
}

void real_entropy_differs() {
    fake::real_getrandom = true;
    Outcome a = seed_once(), b = seed_once();
    CHECK(a.rng && b.rng);
    if (a.rng && b.rng) {
        int equal = 0;
        for (int i = 0; i < 8; ++i) equal += a.rng->next_u32() == b.rng->next_u32();
        CHECK(equal < 8);
    }
}

}  // namespace

int main() {
    scenario("getrandom fills the seed and is probed once", getrandom_fills_the_seed_and_is_probed_once);
    scenario("getrandom short reads and interrupts", getrandom_short_reads_and_interrupts_continue);
    scenario("getrandom failures", getrandom_failures);
    scenario("ENOSYS probe falls back to /dev/urandom", [] { fallback_after_probe(ENOSYS); });
    scenario("EPERM probe falls back to /dev/urandom", [] { fallback_after_probe(EPERM); });
    scenario("other probe errors keep getrandom", other_probe_errors_keep_getrandom);
    scenario("fallback retries interrupted open and poll", fallback_open_retries_interrupts);
    scenario("fallback open failures are retried later", fallback_open_failures_are_retried_later);
    scenario("fallback read failures", fallback_read_failures);
    scenario("concurrent first use opens the device once", concurrent_first_use_opens_once);
    scenario("the real source gives different seeds", real_entropy_differs);
    return check::finish("test_seeding");
}
