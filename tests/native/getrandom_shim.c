/* LD_PRELOAD stand-in for getrandom, so tests can choose lattice seeds.
 *
 * By default every call passes through to the C library's getrandom, so the
 * interpreter's own start-up randomness is unaffected.  A test queues seed
 * bytes or faults through the shim_* functions (called with ctypes); queued
 * faults come first, then queued bytes, then the real function.
 * Single-threaded use only: the test child drives it from one thread.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#define QUEUE_BYTES 65536
#define MAX_FAULTS 64

typedef ssize_t (*getrandom_fn)(void *, size_t, unsigned int);

static unsigned char queue[QUEUE_BYTES];
static size_t q_head, q_tail;
static size_t chunk_limit; /* 0: serve whole requests */

/* a fault returns `ret` with errno `err` (when ret is -1) */
static struct { ssize_t ret; int err; } faults[MAX_FAULTS];
static int f_head, f_tail;

static long calls, served_calls;

int shim_queue_bytes(const unsigned char *bytes, size_t len) {
    if (len > QUEUE_BYTES - q_tail) return -1;
    memcpy(queue + q_tail, bytes, len);
    q_tail += len;
    return 0;
}

int shim_queue_seed(const unsigned char *seed32) { return shim_queue_bytes(seed32, 32); }

size_t shim_queued(void) { return q_tail - q_head; }

/* Serve at most `limit` queued bytes per call (short reads); 0 lifts the limit. */
void shim_set_chunk(size_t limit) { chunk_limit = limit; }

/* The next `count` calls (any length, including the zero-length probe) return
 * `ret`, setting errno to `err` first. */
int shim_push_fault(long ret, int err, int count) {
    for (int i = 0; i < count; i++) {
        if (f_tail == MAX_FAULTS) return -1;
        faults[f_tail].ret = (ssize_t)ret;
        faults[f_tail].err = err;
        f_tail++;
    }
    return 0;
}

int shim_fail_next(int err, int count) { return shim_push_fault(-1, err, count); }

long shim_calls(void) { return calls; }
long shim_served_calls(void) { return served_calls; }

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    calls++;
    if (f_head < f_tail) {
        errno = faults[f_head].err;
        return faults[f_head++].ret;
    }
    if (len > 0 && q_head < q_tail) {
        size_t n = q_tail - q_head;
        if (n > len) n = len;
        if (chunk_limit && n > chunk_limit) n = chunk_limit;
        memcpy(buf, queue + q_head, n);
        q_head += n;
        if (q_head == q_tail) q_head = q_tail = 0;
        served_calls++;
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
