/* The malloc-family contract as a program sees it, run with and without the
 * preload library (the two outputs must match): sizes across every class,
 * zeroing, overflow refusals, aligned blocks that pmem hands to glibc,
 * blocks released by another thread, and fork while other threads allocate.
 * "torture N threads" runs only the threads, to time other allocators;
 * "torture N loop" a single-threaded malloc micro-benchmark instead. */
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

#define CHECK(cond)   \
    ((cond) ? (void)0 \
            : (fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), exit(1)))

static uint64_t next_rand(uint64_t *s) {
    *s ^= *s << 13;
    *s ^= *s >> 7;
    return *s ^= *s << 17;
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

/* Content survives realloc across class boundaries both ways, the usable
 * size covers the request, calloc zeroes memory that held data before. */
static void sizes(void) {
    for (size_t n = 0; n <= 20000; n += n < 300 ? 1 : 97) {
        unsigned char *p = malloc(n);
        CHECK(p && malloc_usable_size(p) >= n);
        fill(p, n, (unsigned)n);
        p = realloc(p, n * 3 + 5);
        CHECK(p && intact(p, n, (unsigned)n) && malloc_usable_size(p) >= n * 3 + 5);
        p = realloc(p, n / 2 + 1);
        CHECK(p && intact(p, n / 2 + 1 < n ? n / 2 + 1 : n, (unsigned)n));
        memset(p, 0xaa, n / 2 + 1);
        free(p);
        p = calloc(1, n / 2 + 1);
        for (size_t i = 0; i <= n / 2; i++)
            CHECK(p[i] == 0);
        free(p);
    }
    void *a = malloc(0), *b = malloc(0);
    CHECK(a && b && a != b);
    free(a);
    free(b);
    volatile size_t huge = SIZE_MAX / 2; /* volatile: the compiler rejects the constant */
    errno = 0;
    /* Both through volatile: clang drops an allocation whose result is only
     * compared with null, and assumes the allocation functions leave errno
     * alone. */
    volatile int *err = &errno;
    void *volatile refused = calloc(huge, 3);
    CHECK(refused == NULL && *err == ENOMEM);
    void *p = malloc(10);
    *err = 0;
    CHECK(reallocarray(p, huge, 3) == NULL && *err == ENOMEM && (p = reallocarray(p, 100, 3)));
    printf("realloc to zero returns %s\nsizes ok\n", realloc(p, 0) ? "a block" : "null");
}

/* Alignments above 16 bytes are glibc's blocks; they must be recognised when
 * released, resized or measured. */
static void aligned(void) {
    static const size_t aligns[] = {8, 16, 32, 64, 256, 4096};
    void *held[64];
    int n = 0;
    for (size_t k = 0; k < sizeof aligns / sizeof *aligns; k++) {
        CHECK(posix_memalign(&held[n], aligns[k], 100 + k) == 0);
        held[++n] = aligned_alloc(aligns[k], 3 * aligns[k] + 96);
        held[++n] = memalign(aligns[k], 20000);
        CHECK(malloc_usable_size(held[n]) >= 20000);
        for (int i = n++ - 2; i < n; i++)
            CHECK(held[i] && (uintptr_t)held[i] % aligns[k] == 0);
    }
    void *p = NULL;
    CHECK(posix_memalign(&p, 24, 8) == EINVAL && posix_memalign(&p, 4, 8) == EINVAL);
    held[n++] = valloc(100);
    held[n++] = pvalloc(100);
    for (int i = 0; i < n; i++) {
        fill(held[i], 90, (unsigned)i);
        held[i] = realloc(held[i], 5000 + (size_t)i);
        CHECK(held[i] && intact(held[i], 90, (unsigned)i));
        free(held[i]);
    }
    char *line = NULL; /* libc allocates this one */
    size_t cap = 0;
    FILE *f = fmemopen("libc allocates this line\n", 25, "r");
    CHECK(f && getline(&line, &cap, f) > 0);
    fclose(f);
    free(line);
    printf("aligned ok\n");
}

/* ---- threads: a block carries its size and a pattern, checked by whichever
 * thread releases it ---- */

static pthread_mutex_t exchange_lock = PTHREAD_MUTEX_INITIALIZER;
static void *exchange[64];
static int iterations = 200000;

static void *make_block(uint64_t *rng) {
    size_t n = 16 + next_rand(rng) % (next_rand(rng) % 8 == 0 ? 40000 : 600);
    void *p = NULL;
    if (next_rand(rng) % 32 == 0 ? posix_memalign(&p, 64, n) != 0 : !(p = malloc(n))) return NULL;
    memcpy(p, &n, sizeof n);
    fill((unsigned char *)p + sizeof n, n - sizeof n, (unsigned)n);
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
        if (!own[slot]) {
            CHECK(own[slot] = make_block(&rng));
        } else if (next_rand(&rng) % 4 == 0) { /* swapped: released by another thread */
            unsigned x = (unsigned)(next_rand(&rng) % 64);
            pthread_mutex_lock(&exchange_lock);
            void *other = exchange[x];
            exchange[x] = own[slot];
            pthread_mutex_unlock(&exchange_lock);
            own[slot] = other;
        } else {
            drop_block(own[slot]);
            own[slot] = NULL;
        }
    }
    for (int k = 0; k < 128; k++)
        if (own[k]) drop_block(own[k]);
    return NULL;
}

/* Forks while the workers allocate: the child must find the allocator
 * usable, whichever thread held it at the fork. */
static void threads_and_fork(void) {
    pthread_t t[4];
    fflush(stdout); /* children must not print the parent's buffered lines */
    for (uintptr_t k = 0; k < 4; k++)
        CHECK(pthread_create(&t[k], NULL, worker, (void *)k) == 0);
    for (int k = 0; k < 20; k++) {
        pid_t pid = fork();
        if (pid == 0) {
            uint64_t rng = (uint64_t)k + 7;
            for (int i = 0; i < 2000; i++)
                drop_block(make_block(&rng));
            exit(0);
        }
        int status = 0;
        CHECK(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0);
    }
    for (int k = 0; k < 4; k++)
        CHECK(pthread_join(t[k], NULL) == 0);
    for (int x = 0; x < 64; x++)
        if (exchange[x]) drop_block(exchange[x]);
    printf("threads ok\n");
}

/* "torture N loop": the shape of a malloc micro-benchmark, on one thread. */
static void loop(long steps) {
    static void *live[4096];
    uint64_t rng = 42, sum = 0;
    for (long i = 0; i < steps; i++) {
        unsigned k = (unsigned)(next_rand(&rng) % 4096);
        free(live[k]);
        size_t n = 16 + next_rand(&rng) % (next_rand(&rng) % 16 ? 113 : 4081);
        CHECK(live[k] = malloc(n));
        memset(live[k], (int)i, n < 64 ? n : 64);
        sum += n;
    }
    for (int k = 0; k < 4096; k++)
        free(live[k]);
    printf("loop: %lu bytes asked for\n", (unsigned long)sum);
}

int main(int argc, char **argv) {
    if (argc > 1) iterations = atoi(argv[1]);
    if (argc > 2 && strcmp(argv[2], "loop") == 0) {
        loop(iterations);
        return 0;
    }
    if (argc <= 2 || strcmp(argv[2], "threads") != 0) { /* other allocators lack pvalloc or errno */
        sizes();
        aligned();
    }
    threads_and_fork();
    return 0;
}
