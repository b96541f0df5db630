/* The control interface both seed stand-ins share: a queue of seed bytes and a
 * number of calls to fail, set by a test through the shim_* functions (called
 * with ctypes). Included once, by the one stand-in a test library is built from.
 * Single-threaded use only: the test child drives it from one thread.
 */
#include <errno.h>
#include <stddef.h>
#include <string.h>

#define QUEUE_BYTES 65536

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

/* The next `count` calls (any length, including a zero-length probe) fail with errno `err`. */
void shim_fail_next(int err, int count) {
    failure_errno = err;
    failures = count;
}

/* Whether this call is one to fail; if so errno is set. */
static int take_failure(void) {
    if (failures <= 0) return 0;
    failures--;
    errno = failure_errno;
    return 1;
}

/* Copies up to len queued bytes into out; returns how many. */
static size_t take_queued(unsigned char *out, size_t len) {
    size_t n = q_tail - q_head;
    if (n > len) n = len;
    if (n > 0) {
        memcpy(out, queue + q_head, n);
        q_head += n;
        if (q_head == q_tail) q_head = q_tail = 0;
    }
    return n;
}
