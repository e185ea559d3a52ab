/* The malloc-family contract as a program sees it, run with and without the
 * preload library (the two outputs must match): sizes across every class,
 * zeroing, overflow refusals, aligned blocks that pmem hands to glibc,
 * blocks released by another thread, and fork while other threads allocate. */
#define _GNU_SOURCE
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            exit(1);                                                                 \
        }                                                                            \
    } while (0)

static uint64_t next_rand(uint64_t *s) {
    *s ^= *s << 13;
    *s ^= *s >> 7;
    *s ^= *s << 17;
    return *s;
}

static void fill(unsigned char *p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; i++)
        p[i] = (unsigned char)(seed + i * 31);
}

static int intact(const unsigned char *p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != (unsigned char)(seed + i * 31)) return 0;
    return 1;
}

/* Content survives realloc across class boundaries in both directions, and
 * the usable size covers the request. */
static void sizes_and_realloc(void) {
    for (size_t n = 0; n <= 20000; n += n < 300 ? 1 : 97) {
        unsigned char *p = malloc(n);
        CHECK(p && malloc_usable_size(p) >= n);
        fill(p, n, (unsigned)n);
        size_t grown = n * 3 + 5;
        p = realloc(p, grown);
        CHECK(p && intact(p, n, (unsigned)n) && malloc_usable_size(p) >= grown);
        p = realloc(p, n / 2 + 1);
        CHECK(p && intact(p, n / 2 + 1 < n ? n / 2 + 1 : n, (unsigned)n));
        free(p);
    }
    void *a = malloc(0), *b = malloc(0);
    CHECK(a && b && a != b);
    free(a);
    free(b);
    printf("sizes ok\n");
}

/* calloc must zero memory that held data before, small and large. */
static void zeroing_and_refusals(void) {
    static const size_t sizes[] = {1, 100, 8192, 8193, 100000};
    for (size_t k = 0; k < sizeof sizes / sizeof *sizes; k++) {
        unsigned char *dirty = malloc(sizes[k]);
        CHECK(dirty);
        memset(dirty, 0xaa, sizes[k]);
        free(dirty);
        unsigned char *z = calloc(1, sizes[k]);
        CHECK(z);
        for (size_t i = 0; i < sizes[k]; i++)
            CHECK(z[i] == 0);
        free(z);
    }
    /* volatile: the compiler would reject the overflowing constant. */
    volatile size_t huge = SIZE_MAX / 2;
    errno = 0;
    CHECK(calloc(huge, 3) == NULL && errno == ENOMEM);
    void *p = malloc(10);
    errno = 0;
    CHECK(reallocarray(p, huge, 3) == NULL && errno == ENOMEM);
    p = reallocarray(p, 100, 3);
    CHECK(p);
    printf("realloc to zero returns %s\n", realloc(p, 0) ? "a block" : "null");
    printf("zeroing ok\n");
}

/* Alignments above 16 bytes are glibc's blocks; they must be recognised when
 * released, resized or measured. */
static void aligned_blocks(void) {
    static const size_t aligns[] = {8, 16, 32, 64, 256, 4096};
    void *held[64];
    int n = 0;
    for (size_t k = 0; k < sizeof aligns / sizeof *aligns; k++) {
        void *p = NULL;
        CHECK(posix_memalign(&p, aligns[k], 100 + k) == 0 && (uintptr_t)p % aligns[k] == 0);
        held[n++] = p;
        p = aligned_alloc(aligns[k], 3 * aligns[k] + 96);
        CHECK(p && (uintptr_t)p % aligns[k] == 0);
        held[n++] = p;
        p = memalign(aligns[k], 20000);
        CHECK(p && (uintptr_t)p % aligns[k] == 0 && malloc_usable_size(p) >= 20000);
        held[n++] = p;
    }
    void *p = NULL;
    CHECK(posix_memalign(&p, 24, 8) == EINVAL && posix_memalign(&p, 4, 8) == EINVAL);
    held[n++] = valloc(100);
    held[n++] = pvalloc(100);
    for (int i = 0; i < n; i++) {
        CHECK(held[i]);
        fill(held[i], 90, (unsigned)i);
        held[i] = realloc(held[i], 5000 + (size_t)i);
        CHECK(held[i] && intact(held[i], 90, (unsigned)i));
    }
    for (int i = 0; i < n; i++)
        free(held[i]);
    char *line = NULL;
    size_t cap = 0;
    FILE *f = fmemopen("libc allocates this line\n", 25, "r");
    CHECK(f && getline(&line, &cap, f) > 0);
    fclose(f);
    free(line);
    printf("aligned ok\n");
}

/* ---- threads ---- */

#define THREADS 4
#define EXCHANGE 64

static pthread_mutex_t exchange_lock = PTHREAD_MUTEX_INITIALIZER;
static void *exchange[EXCHANGE];
static int iterations = 200000;

/* A block carries its size and a pattern, checked by whichever thread
 * releases it. */
static void *make_block(uint64_t *rng) {
    size_t n = 16 + next_rand(rng) % (next_rand(rng) % 8 == 0 ? 40000 : 600);
    unsigned char *p;
    if (next_rand(rng) % 32 == 0) {
        void *q = NULL;
        if (posix_memalign(&q, 64, n) != 0) return NULL;
        p = q;
    } else {
        p = malloc(n);
    }
    if (!p) return NULL;
    memcpy(p, &n, sizeof n);
    fill(p + sizeof n, n - sizeof n, (unsigned)n);
    return p;
}

static void drop_block(unsigned char *p) {
    size_t n;
    memcpy(&n, p, sizeof n);
    CHECK(intact(p + sizeof n, n - sizeof n, (unsigned)n));
    free(p);
}

static void *worker(void *arg) {
    uint64_t rng = 0x9e3779b97f4a7c15ULL * ((uintptr_t)arg + 1);
    void *own[128] = {0};
    for (int i = 0; i < iterations; i++) {
        unsigned slot = (unsigned)(next_rand(&rng) % 128);
        if (own[slot]) {
            if (next_rand(&rng) % 4 == 0) {
                /* Swap with the exchange: the block is released elsewhere. */
                unsigned x = (unsigned)(next_rand(&rng) % EXCHANGE);
                pthread_mutex_lock(&exchange_lock);
                void *other = exchange[x];
                exchange[x] = own[slot];
                pthread_mutex_unlock(&exchange_lock);
                own[slot] = other;
            } else {
                drop_block(own[slot]);
                own[slot] = NULL;
            }
        } else {
            own[slot] = make_block(&rng);
            CHECK(own[slot]);
        }
    }
    for (int k = 0; k < 128; k++)
        if (own[k]) drop_block(own[k]);
    return NULL;
}

static void threads_and_fork(void) {
    pthread_t t[THREADS];
    fflush(stdout); /* children must not print the parent's buffered lines */
    for (uintptr_t k = 0; k < THREADS; k++)
        CHECK(pthread_create(&t[k], NULL, worker, (void *)k) == 0);
    /* Forks while the workers allocate: the child must find the allocator
     * usable, whichever thread held it at the fork. */
    for (int k = 0; k < 20; k++) {
        pid_t pid = fork();
        CHECK(pid >= 0);
        if (pid == 0) {
            uint64_t rng = (uint64_t)k + 7;
            for (int i = 0; i < 2000; i++)
                drop_block(make_block(&rng));
            exit(0);
        }
        int status = 0;
        CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int k = 0; k < THREADS; k++)
        CHECK(pthread_join(t[k], NULL) == 0);
    for (int x = 0; x < EXCHANGE; x++)
        if (exchange[x]) drop_block(exchange[x]);
    printf("threads ok\n");
}

int main(int argc, char **argv) {
    if (argc > 1) iterations = atoi(argv[1]);
    /* "threads": only the multithreaded part, for timing other allocators,
     * some of which lack pvalloc or errno on refusals. */
    if (argc <= 2 || strcmp(argv[2], "threads") != 0) {
        sizes_and_realloc();
        zeroing_and_refusals();
        aligned_blocks();
    }
    threads_and_fork();
    return 0;
}
