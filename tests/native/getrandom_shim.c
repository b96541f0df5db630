/* LD_PRELOAD stand-in for getrandom, so tests can choose lattice seeds.
 *
 * By default every call passes through to the C library's getrandom, so the
 * interpreter's own start-up randomness is unaffected.  A test queues seed
 * bytes or failures through the shim_* functions (called with ctypes); queued
 * failures come first, then queued bytes, then the real function.  The ways
 * seeding itself fails are tested in tests/cpp/test_seeding.cpp.
 * Single-threaded use only: the test child drives it from one thread.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#define QUEUE_BYTES 65536

typedef ssize_t (*getrandom_fn)(void *, size_t, unsigned int);

static unsigned char queue[QUEUE_BYTES];
static size_t q_head, q_tail;
static int failures, failure_errno;

int shim_queue_seed(const unsigned char *seed32) {
    if (32 > QUEUE_BYTES - q_tail) return -1;
    memcpy(queue + q_tail, seed32, 32);
    q_tail += 32;
    return 0;
}

size_t shim_queued(void) { return q_tail - q_head; }

/* The next `count` calls (any length, including the zero-length probe) fail with errno `err`. */
void shim_fail_next(int err, int count) {
    failure_errno = err;
    failures = count;
}

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    if (failures > 0) {
        failures--;
        errno = failure_errno;
        return -1;
    }
    if (len > 0 && q_head < q_tail) {
        size_t n = q_tail - q_head;
        if (n > len) n = len;
        memcpy(buf, queue + q_head, n);
        q_head += n;
        if (q_head == q_tail) q_head = q_tail = 0;
        return (ssize_t)n;
    }
    static getrandom_fn real;
    if (!real) real = (getrandom_fn)dlsym(RTLD_NEXT, "getrandom");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(buf, len, flags);
}
