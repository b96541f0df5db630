/* DYLD_INSERT_LIBRARIES stand-in for getentropy on macOS, so tests can choose lattice seeds.
 *
 * The same control interface as getrandom_shim.c: by default every call passes
 * through to the C library's getentropy; a test queues seed bytes or failures
 * through the shim_* functions (called with ctypes); queued failures come first,
 * then queued bytes, then the real function (seed_queue.h).  The module looks
 * getentropy up with dlsym(RTLD_DEFAULT, ...), which finds an inserted image before
 * the system's.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "seed_queue.h"

#define GETENTROPY_MAX 256

typedef int (*getentropy_fn)(void *, size_t);

int getentropy(void *buf, size_t len) {
    if (take_failure()) return -1;
    if (len > GETENTROPY_MAX) {  /* as the system's: one call gives at most 256 bytes */
        errno = EIO;
        return -1;
    }
    unsigned char *out = buf;
    const size_t n = take_queued(out, len);
    if (n == len) return 0;
    static getentropy_fn real;
    if (!real) real = (getentropy_fn)dlsym(RTLD_NEXT, "getentropy");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(out + n, len - n);
}
