/* DYLD_INSERT_LIBRARIES stand-in for getentropy on macOS, so tests can choose lattice seeds.
 *
 * The same control interface as getrandom_shim.c: by default every call passes
 * through to the C library's getentropy; a test queues seed bytes or failures
 * through the shim_* functions (called with ctypes); queued failures come first,
 * then queued bytes, then the real function.  The module looks getentropy up with
 * dlsym(RTLD_DEFAULT, ...), which finds an inserted image before the system's.
 * Single-threaded use only: the test child drives it from one thread.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

#define QUEUE_BYTES 65536
#define GETENTROPY_MAX 256

typedef int (*getentropy_fn)(void *, size_t);

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

/* The next `count` calls (any length) fail with errno `err`. */
void shim_fail_next(int err, int count) {
    failure_errno = err;
    failures = count;
}

int getentropy(void *buf, size_t len) {
    if (failures > 0) {
        failures--;
        errno = failure_errno;
        return -1;
    }
    if (len > GETENTROPY_MAX) {  /* as the system's: one call gives at most 256 bytes */
        errno = EIO;
        return -1;
    }
    unsigned char *out = buf;
    size_t n = q_tail - q_head;
    if (n > len) n = len;
    if (n > 0) {
        memcpy(out, queue + q_head, n);
        q_head += n;
        if (q_head == q_tail) q_head = q_tail = 0;
    }
    if (n == len) return 0;
    static getentropy_fn real;
    if (!real) real = (getentropy_fn)dlsym(RTLD_NEXT, "getentropy");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(out + n, len - n);
}
