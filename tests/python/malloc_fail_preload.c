/* Preloaded into a test interpreter: makes the nth malloc of one block size
 * fail while armed, so the module's out-of-memory paths can be reached from
 * Python. Built by the test that uses it. */
#include <stddef.h>

extern void *__libc_malloc(size_t size);

static size_t fail_size;
static int skip_left = -1;

void vornik_fail_malloc(size_t size, int nth) {
    fail_size = size;
    skip_left = nth - 1;
}

void *malloc(size_t size) {
    if (skip_left >= 0 && size == fail_size) {
        if (skip_left == 0) {
            skip_left = -1;
            return NULL;
        }
        skip_left -= 1;
    }
    return __libc_malloc(size);
}
