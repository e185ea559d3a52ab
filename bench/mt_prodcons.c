/* Producers allocate, consumers release: each producer fills batches of
 * objects of 16 to 512 bytes and passes them through a bounded queue to its
 * consumer, which reads them back and frees them, the batch record included.
 * Threads pair up; one without a partner (THREADS odd, or 1) consumes its own
 * batches.
 *
 *   mt_prodcons THREADS SCALE
 *
 * The checksum (of the bytes consumers read back) depends on THREADS and
 * SCALE only.  stdout: the checksum line; stderr: time and throughput. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mt_common.h"

enum { BATCH = 64, QUEUE = 16, BATCHES = 20000, MIN_SIZE = 16, MAX_SIZE = 512 };

struct batch {
    unsigned char *obj[BATCH];
    uint32_t size[BATCH];
};

/* One producer's stream and the queue to its consumer. */
struct pair {
    pthread_mutex_t lock;
    pthread_cond_t not_full, not_empty;
    struct batch *queue[QUEUE];
    unsigned head, count;
    uint64_t rng, sum;
    long batches;
};

static uint64_t next(uint64_t *s) {
    *s ^= *s << 13, *s ^= *s >> 7, *s ^= *s << 17;
    return *s;
}

static struct batch *produce(struct pair *p) {
    struct batch *b = malloc(sizeof *b);
    if (!b) die("out of memory");
    for (int j = 0; j < BATCH; j++) {
        uint64_t r = next(&p->rng);
        uint32_t n = MIN_SIZE + (uint32_t)(r % (MAX_SIZE - MIN_SIZE + 1));
        unsigned char *o = malloc(n);
        if (!o) die("out of memory");
        memcpy(o, &r, sizeof r);
        o[n - 1] = (unsigned char)(r >> 56);
        b->obj[j] = o;
        b->size[j] = n;
    }
    return b;
}

static void consume(struct pair *p, struct batch *b) {
    for (int j = 0; j < BATCH; j++) {
        uint64_t head;
        memcpy(&head, b->obj[j], sizeof head);
        p->sum = p->sum * 31 + head + b->obj[j][b->size[j] - 1];
        free(b->obj[j]);
    }
    free(b);
}

/* A null batch tells the consumer that the producer is done. */
static void push(struct pair *p, struct batch *b) {
    pthread_mutex_lock(&p->lock);
    while (p->count == QUEUE)
        pthread_cond_wait(&p->not_full, &p->lock);
    p->queue[(p->head + p->count++) % QUEUE] = b;
    pthread_cond_signal(&p->not_empty);
    pthread_mutex_unlock(&p->lock);
}

static struct batch *pop(struct pair *p) {
    pthread_mutex_lock(&p->lock);
    while (p->count == 0)
        pthread_cond_wait(&p->not_empty, &p->lock);
    struct batch *b = p->queue[p->head];
    p->head = (p->head + 1) % QUEUE;
    p->count--;
    pthread_cond_signal(&p->not_full);
    pthread_mutex_unlock(&p->lock);
    return b;
}

static void *producer(void *arg) {
    struct pair *p = arg;
    for (long i = 0; i < p->batches; i++)
        push(p, produce(p));
    push(p, NULL);
    return NULL;
}

static void *consumer(void *arg) {
    struct pair *p = arg;
    for (struct batch *b; (b = pop(p));)
        consume(p, b);
    return NULL;
}

static void *alone(void *arg) {
    struct pair *p = arg;
    for (long i = 0; i < p->batches; i++)
        consume(p, produce(p));
    return NULL;
}

int main(int argc, char **argv) {
    int threads, scale;
    mt_args("mt_prodcons", argc, argv, &threads, &scale);
    const int pairs = threads / 2, streams = pairs + threads % 2;
    struct pair *ps = calloc((size_t)streams, sizeof *ps);
    pthread_t *ts = calloc((size_t)threads, sizeof *ts);
    if (!ps || !ts) die("out of memory");
    double t0 = now();
    for (int s = 0, t = 0; s < streams; s++) {
        struct pair *p = &ps[s];
        pthread_mutex_init(&p->lock, NULL);
        pthread_cond_init(&p->not_full, NULL);
        pthread_cond_init(&p->not_empty, NULL);
        p->rng = 0x9e3779b97f4a7c15ull * (uint64_t)(s + 1);
        p->batches = (long)BATCHES * scale;
        int fail = s < pairs ? pthread_create(&ts[t++], NULL, producer, p) ||
                                   pthread_create(&ts[t++], NULL, consumer, p)
                             : pthread_create(&ts[t++], NULL, alone, p);
        if (fail) die("cannot start a thread");
    }
    for (int t = 0; t < threads; t++)
        pthread_join(ts[t], NULL);
    double secs = now() - t0;
    uint64_t checksum = 0;
    for (int s = 0; s < streams; s++)
        checksum = checksum * 1000003 ^ ps[s].sum;
    free(ps);
    free(ts);
    printf("mt_prodcons threads=%d scale=%d checksum=%016llx\n", threads, scale,
           (unsigned long long)checksum);
    double objects = (double)streams * BATCHES * scale * (BATCH + 1);
    fprintf(stderr, "mt_prodcons: %.3f s, %.2f Mops/s\n", secs, objects / secs / 1e6);
    return 0;
}
