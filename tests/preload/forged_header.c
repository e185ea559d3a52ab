// Under the preload, a glibc block (an alignment above 16 bytes) whose 16
// bytes in front read as a live pmem header stays glibc's, as no pool
// confirms it: trusting the bytes would size it as a pool slot and release it
// into a pool that never held it.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pmem.h"

// Opaque to the compiler, which would object to the bytes in front of a block
// being touched on purpose.
static void *(*volatile aligned)(size_t, size_t) = aligned_alloc;
static void *(*volatile resize)(void *, size_t) = realloc;
static void (*volatile release)(void *) = free;

int main(void) {
    if (((uint64_t *)resize(NULL, 100))[-2] != PMEM_MAGIC) return puts("no preload"), 1;
    for (int op = 0; op < 3; op++) {  // malloc_usable_size, realloc, free
        // A 64 KiB chunk's size field reads as pool 1 or 17, module 1; an odd
        // pool is glibc's in-use bit of the chunk in front, whose tail glibc
        // then leaves alone: the magic goes there, and back after.
        char *g = NULL, want[100];
        pmem_header *h = NULL;
        for (int tries = 0; tries < 16 && !g; tries++) {  // other chunks stay untouched
            h = (pmem_header *)((g = aligned(32, 65528)) - PMEM_HEADER_SIZE);
            if (h->pool_id % 2 == 0 || h->pool_id >= PMEM_POOL_ID_N - 1) g = NULL;
        }
        if (!g) return puts("no 64 KiB chunk to forge a header for"), 1;
        const uint64_t saved = h->magic;
        memset(g, 'g', 65528), memset(want, 'g', sizeof want), h->magic = PMEM_MAGIC;
        char *q = op == 1 ? resize(g, 100) : g;
        if ((op == 0 && malloc_usable_size(g) < 65528) || !q || memcmp(q, want, sizeof want))
            return printf("call %d took a glibc block for a pool slot\n", op), 1;
        if (op == 2) release(g);
        h->magic = saved;
        if (op < 2) release(q);
    }
    return 0;
}
