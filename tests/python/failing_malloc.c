/* Preloaded by test_allocation_failures.py: makes chosen allocations fail.
 * fail_after(n, every): the next n allocations succeed, then one fails (or,
 * with every, all that follow); disarm() ends it; count_start() and
 * count_stop() count the allocations in between. */
#include <errno.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static volatile int mode; /* 0 off, 1 counting, 2 failing */
static volatile long remaining, counted;
static volatile int every, fired;

void fail_after(long n, int all) { remaining = n; every = all; fired = 0; mode = 2; }
void disarm(void) { mode = 0; }
void count_start(void) { counted = 0; mode = 1; }
long count_stop(void) { mode = 0; return counted; }

static int fails(void) {
    if (mode == 0) return 0;
    if (mode == 1) { __atomic_add_fetch(&counted, 1, __ATOMIC_RELAXED); return 0; }
    if (fired) return every;
    if (__atomic_sub_fetch(&remaining, 1, __ATOMIC_RELAXED) < 0) { fired = 1; return 1; }
    return 0;
}

void *malloc(size_t s) { if (fails()) { errno = ENOMEM; return NULL; } return __libc_malloc(s); }
void *calloc(size_t a, size_t b) { if (fails()) { errno = ENOMEM; return NULL; } return __libc_calloc(a, b); }
void *realloc(void *p, size_t s) { if (s && fails()) { errno = ENOMEM; return NULL; } return __libc_realloc(p, s); }
void *memalign(size_t a, size_t s) { if (fails()) { errno = ENOMEM; return NULL; } return __libc_memalign(a, s); }
void *aligned_alloc(size_t a, size_t s) { if (fails()) { errno = ENOMEM; return NULL; } return __libc_memalign(a, s); }
int posix_memalign(void **p, size_t a, size_t s) {
    if (fails()) return ENOMEM;
    void *q = __libc_memalign(a, s);
    if (!q) return ENOMEM;
    *p = q;
    return 0;
}
