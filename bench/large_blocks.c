/* A program that lives on large blocks: BLOCKS allocations (default 2,000)
 * of 5 to 25 MiB with at most 20 live; once 20 are live each step frees a
 * random one and allocates its replacement.  Every block is zero-filled on
 * allocation, as a host clearing a buffer would, so each one costs its page
 * faults.  Prints a checksum of sizes and contents, the same under every
 * allocator.
 *   large_blocks [BLOCKS] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kLive = 20 };

static uint64_t next_rand(uint64_t *s) {
    *s ^= *s << 13;
    *s ^= *s >> 7;
    return *s ^= *s << 17;
}

int main(int argc, char **argv) {
    long blocks = argc > 1 ? atol(argv[1]) : 2000;
    unsigned char *live[kLive] = {0};
    uint64_t seed = 88172645463325252ull, sum = 0;
    for (long i = 0; i < blocks; i++) {
        int k = i < kLive ? (int)i : (int)(next_rand(&seed) % kLive);
        free(live[k]);
        size_t size = (5u << 20) + next_rand(&seed) % ((20u << 20) + 1);
        unsigned char *p = malloc(size);
        if (!p) {
            fprintf(stderr, "large_blocks: no memory for %zu bytes\n", size);
            return 1;
        }
        /* Opaque to the compiler, so that malloc and memset stay two calls
         * (not one calloc, which would skip the zeroing of fresh pages). */
        __asm__ volatile("" : "+r"(p));
        memset(p, 0, size);
        p[size - 1] = (unsigned char)i;
        __asm__ volatile("" : : "r"(p) : "memory");
        sum = sum * 31 + size + p[size / 2] + p[size - 1];
        live[k] = p;
    }
    for (int k = 0; k < kLive; k++)
        free(live[k]);
    printf("large_blocks: %ld blocks, checksum %016llx\n", blocks, (unsigned long long)sum);
    return 0;
}
