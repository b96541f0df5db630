/* LD_PRELOAD stand-in for getrandom, so tests can choose lattice seeds.
 *
 * By default every call passes through to the C library's getrandom, so the
 * interpreter's own start-up randomness is unaffected.  A test queues seed
 * bytes or failures through the shim_* functions (called with ctypes); queued
 * failures come first, then queued bytes, then the real function (seed_queue.h).
 * The ways seeding itself fails are tested in tests/cpp/test_seeding.cpp.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#include "seed_queue.h"

typedef ssize_t (*getrandom_fn)(void *, size_t, unsigned int);

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    if (take_failure()) return -1;
    if (len > 0 && q_head < q_tail) return (ssize_t)take_queued(buf, len);
    static getrandom_fn real;
    if (!real) real = (getrandom_fn)dlsym(RTLD_NEXT, "getrandom");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(buf, len, flags);
}
