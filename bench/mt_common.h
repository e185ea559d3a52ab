/* What the mt_ programs share: their command line, a clock and a way out. */
#ifndef AUTO_PLEX_BENCH_MT_COMMON_H
#define AUTO_PLEX_BENCH_MT_COMMON_H

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static const char *mt_name;

static void die(const char *what) {
    fprintf(stderr, "%s: %s\n", mt_name, what);
    exit(1);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* "NAME THREADS SCALE", both at least 1; anything else exits with status 2. */
static void mt_args(const char *name, int argc, char **argv, int *threads, int *scale) {
    mt_name = name;
    *threads = argc == 3 ? atoi(argv[1]) : 0;
    *scale = argc == 3 ? atoi(argv[2]) : 0;
    if (*threads < 1 || *scale < 1) {
        fprintf(stderr, "usage: %s THREADS SCALE\n", name);
        exit(2);
    }
}

#endif
