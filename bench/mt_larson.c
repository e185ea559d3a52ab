/* A server in the shape of the Larson benchmark: each thread owns an array of
 * slots holding objects of 16 to 1000 bytes and replaces a random one at each
 * step.  After a round it starts a new thread, hands it the array and exits,
 * so the new thread goes on releasing objects the old one allocated (the
 * first round releases what the main thread allocated).
 *
 *   mt_larson THREADS SCALE
 *
 * Each array draws from its own stream whichever thread holds it, so the
 * checksum (of the bytes read back before each release) depends on THREADS
 * and SCALE only.  stdout: the checksum line; stderr: time and throughput. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mt_common.h"

enum { SLOTS = 1000, STEPS = 100000, ROUNDS = 100, MIN_SIZE = 16, MAX_SIZE = 1000 };

struct array {
    uint64_t rng, sum;
    int rounds_left;
    unsigned char *obj[SLOTS];
    uint32_t size[SLOTS];
};

static pthread_mutex_t done_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t done_cond = PTHREAD_COND_INITIALIZER;
static int done;

static uint64_t next(uint64_t *s) {
    *s ^= *s << 13, *s ^= *s >> 7, *s ^= *s << 17;
    return *s;
}

static void fill(struct array *a, int i) {
    uint64_t r = next(&a->rng);
    uint32_t n = MIN_SIZE + (uint32_t)(r % (MAX_SIZE - MIN_SIZE + 1));
    unsigned char *p = malloc(n);
    if (!p) die("out of memory");
    memcpy(p, &r, sizeof r);
    p[n - 1] = (unsigned char)(r >> 56);
    a->obj[i] = p;
    a->size[i] = n;
}

static void drop(struct array *a, int i) {
    uint64_t head;
    memcpy(&head, a->obj[i], sizeof head);
    a->sum = a->sum * 31 + head + a->obj[i][a->size[i] - 1];
    free(a->obj[i]);
}

static void start(struct array *a);

static void *round_thread(void *arg) {
    struct array *a = arg;
    for (int s = 0; s < STEPS; s++) {
        int i = (int)(next(&a->rng) % SLOTS);
        drop(a, i);
        fill(a, i);
    }
    if (--a->rounds_left > 0) {
        start(a);
    } else {
        pthread_mutex_lock(&done_lock);
        done++;
        pthread_cond_signal(&done_cond);
        pthread_mutex_unlock(&done_lock);
    }
    return NULL;
}

static void start(struct array *a) {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&t, &attr, round_thread, a) != 0) die("cannot start a thread");
    pthread_attr_destroy(&attr);
}

int main(int argc, char **argv) {
    int threads, scale;
    mt_args("mt_larson", argc, argv, &threads, &scale);
    struct array *arrays = calloc((size_t)threads, sizeof *arrays);
    if (!arrays) die("out of memory");
    for (int t = 0; t < threads; t++) {
        arrays[t].rng = 0x9e3779b97f4a7c15ull * (uint64_t)(t + 1);
        arrays[t].rounds_left = ROUNDS * scale;
        for (int i = 0; i < SLOTS; i++)
            fill(&arrays[t], i);
    }
    double t0 = now();
    for (int t = 0; t < threads; t++)
        start(&arrays[t]);
    pthread_mutex_lock(&done_lock);
    while (done < threads)
        pthread_cond_wait(&done_cond, &done_lock);
    pthread_mutex_unlock(&done_lock);
    double secs = now() - t0;
    uint64_t checksum = 0;
    for (int t = 0; t < threads; t++) {
        for (int i = 0; i < SLOTS; i++)
            drop(&arrays[t], i);
        checksum = checksum * 1000003 ^ arrays[t].sum;
    }
    free(arrays);
    printf("mt_larson threads=%d scale=%d checksum=%016llx\n", threads, scale,
           (unsigned long long)checksum);
    double ops = (double)threads * ROUNDS * scale * STEPS;
    fprintf(stderr, "mt_larson: %.3f s, %.2f Mops/s\n", secs, ops / secs / 1e6);
    return 0;
}
