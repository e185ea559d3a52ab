// What draining many small objects costs each backend (bench/drains.sh
// runs it for every backend and release policy):
//
//   drains faults BACKEND [N [ROUNDS [PAUSE_MS]]]
//     ROUNDS lifo rounds (allocate N 64-byte objects, write each, free them
//     newest first), then as many fifo rounds (oldest first), PAUSE_MS
//     (default 0) of sleep after each round, which the times leave out; prints
//       <backend> <lifo|fifo> <minor faults> <ms>
//   drains rss BACKEND [N [SLEEP_MS [HOOK]]]
//     one lifo round of N objects; prints VmRSS in KiB before it, at its
//     peak, right after the drain and after sleeping SLEEP_MS and calling
//     HOOK once (none, malloc_trim, auto_plex_release_idle):
//       <backend> <before> <peak> <drained> <after_hook> <hook called 0/1>
//
// BACKEND: malloc, pmem, auto_plex or statis (backends.h); the release
// policy is the library's, from AUTO_PLEX_RELEASE.
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "backends.h"

namespace {

constexpr size_t kSize = 64;

long minor_faults() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

long rss_kb() {
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
    if (f) fclose(f);
    return kb;
}

template <class B>
void round(B &b, std::vector<void *> &live, bool lifo) {
    for (auto &p : live)
        memset(p = b.alloc(kSize), 1, kSize);
    if (lifo)
        for (size_t i = live.size(); i-- > 0;)
            b.free(live[i], kSize);
    else
        for (void *p : live)
            b.free(p, kSize);
}

template <class B>
void faults(const char *name, size_t n, int rounds, long pause_ms) {
    B b(kSize);
    std::vector<void *> live(n);
    for (bool lifo : {true, false}) {
        const long f0 = minor_faults();
        double t0 = now_ms();
        for (int r = 0; r < rounds; r++) {
            round(b, live, lifo);
            if (!pause_ms) continue;
            const double slept = now_ms();
            usleep(static_cast<useconds_t>(pause_ms * 1000));
            t0 += now_ms() - slept;
        }
        printf("%s %s %ld %.1f\n", name, lifo ? "lifo" : "fifo", minor_faults() - f0,
               now_ms() - t0);
    }
}

// The call made after the sleep; false when this build does not have it.
bool call_hook(const std::string &hook) {
    if (hook == "none") return true;
    if (hook == "malloc_trim") return malloc_trim(0), true;
#ifdef AUTO_PLEX_RELEASE_DELAY
    if (hook == "auto_plex_release_idle") return auto_plex_release_idle(), true;
#endif
    return false;
}

template <class B>
void rss(const char *name, size_t n, long sleep_ms, const std::string &hook) {
    std::vector<void *> live(n);
    const long before = rss_kb();
    B b(kSize);
    for (auto &p : live)
        memset(p = b.alloc(kSize), 1, kSize);
    const long peak = rss_kb();
    for (size_t i = n; i-- > 0;)
        b.free(live[i], kSize);
    const long drained = rss_kb();
    usleep(static_cast<useconds_t>(sleep_ms * 1000));
    const bool called = call_hook(hook);
    printf("%s %ld %ld %ld %ld %d\n", name, before, peak, drained, rss_kb(), called);
}

template <class B>
void run(const std::string &mode, const char *name, int argc, char **argv) {
    const size_t n = argc > 3 ? strtoul(argv[3], nullptr, 10) : 0;
    if (mode == "faults")
        faults<B>(name, n ? n : 100000, argc > 4 ? atoi(argv[4]) : 100,
                  argc > 5 ? atol(argv[5]) : 0);
    else
        rss<B>(name, n ? n : 1000000, argc > 4 ? atol(argv[4]) : 0, argc > 5 ? argv[5] : "none");
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 2 ? argv[1] : "", backend = argc > 2 ? argv[2] : "";
    if (mode != "faults" && mode != "rss") {
        fprintf(stderr, "usage: drains faults|rss malloc|pmem|auto_plex|statis [N ...]\n");
        return 2;
    }
    if (backend == "malloc")
        run<bench::Malloc>(mode, "malloc", argc, argv);
    else if (backend == "pmem")
        run<bench::Pmem>(mode, "pmem", argc, argv);
    else if (backend == "auto_plex")
        run<bench::Plex>(mode, "auto_plex", argc, argv);
    else if (backend == "statis")
        run<bench::Statis>(mode, "statis", argc, argv);
    else
        return fprintf(stderr, "drains: unknown backend %s\n", backend.c_str()), 2;
}
