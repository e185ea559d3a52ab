/* Active false sharing: all threads allocate small objects at the same time
 * and write each one many times before releasing it.  An allocator that hands
 * neighbouring slots of one cache line to different threads makes those
 * writes fight over the line; one that gives each thread memory of its own
 * does not.  The time is the figure.
 *
 *   mt_false_sharing THREADS SCALE
 *
 * stdout: a checksum of the bytes read back, which depends on THREADS and
 * SCALE only; stderr: the time. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "mt_common.h"

enum { OBJECTS = 500000, WRITES = 1000, SIZE = 8 };

struct job {
    long objects;
    uint64_t sum;
};

static void *writer(void *arg) {
    struct job *j = arg;
    uint64_t sum = 0; /* in a register: the jobs share cache lines */
    for (long i = 0; i < j->objects; i++) {
        volatile unsigned char *p = malloc(SIZE);
        if (!p) {
            fprintf(stderr, "mt_false_sharing: out of memory\n");
            exit(1);
        }
        for (int k = 0; k < SIZE; k++)
            p[k] = (unsigned char)i;
        for (int w = 0; w < WRITES; w++)
            p[w % SIZE] += (unsigned char)w;
        for (int k = 0; k < SIZE; k++)
            sum = sum * 31 + p[k];
        free((void *)p);
    }
    j->sum = sum;
    return NULL;
}

int main(int argc, char **argv) {
    int threads, scale;
    mt_args("mt_false_sharing", argc, argv, &threads, &scale);
    struct job *jobs = calloc((size_t)threads, sizeof *jobs);
    pthread_t *ts = calloc((size_t)threads, sizeof *ts);
    if (!jobs || !ts) die("out of memory");
    double t0 = now();
    for (int t = 0; t < threads; t++) {
        jobs[t].objects = (long)OBJECTS * scale;
        if (pthread_create(&ts[t], NULL, writer, &jobs[t]) != 0) return 1;
    }
    uint64_t checksum = 0;
    for (int t = 0; t < threads; t++) {
        pthread_join(ts[t], NULL);
        checksum = checksum * 1000003 ^ jobs[t].sum;
    }
    double secs = now() - t0;
    free(jobs);
    free(ts);
    printf("mt_false_sharing threads=%d scale=%d checksum=%016llx\n", threads, scale,
           (unsigned long long)checksum);
    fprintf(stderr, "mt_false_sharing: %.3f s\n", secs);
    return 0;
}
