// Resident memory of the mixed workload for one backend, in a process of its
// own (peak RSS is per process): prints
//   <backend> before_kb peak_kb after_release_kb after_trim_kb
// where before is the resident size just before the workload starts, after
// release is right after everything went back, and after trim once
// malloc_trim(0) has handed glibc's free pages back as well.
#include <malloc.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "backends.h"
#include "workloads.h"

namespace {

long status_kb(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    size_t len = strlen(field);
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, field, len) == 0) kb = atol(line + len);
    if (f) fclose(f);
    return kb;
}

template <class B>
void run(const char *name, size_t n, size_t steps) {
    B b;
    bench::Rng rng(42);
    auto size_of = [&rng] { return bench::mixed_size(rng); };
    std::vector<bench::Live> live;
    live.reserve(n);
    long before = status_kb("VmRSS:");
    bench::fill(b, live, n, size_of);
    for (auto &o : live)
        memset(o.p, 1, o.size);
    for (size_t i = 0; i < steps; i++) {
        bench::churn_step(b, live, rng, size_of);
        memset(live[0].p, 1, 1);
    }
    long peak = status_kb("VmHWM:");
    bench::drain(b, live);
    std::vector<bench::Live>().swap(live);  // the bookkeeping is not the workload's
    long after = status_kb("VmRSS:");
    malloc_trim(0);
    long trimmed = status_kb("VmRSS:");
    printf("%s %ld %ld %ld %ld\n", name, before, peak, after, trimmed);
}

}  // namespace

int main(int argc, char **argv) {
    std::string backend = argc > 1 ? argv[1] : "malloc";
    size_t n = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1000000;
    size_t steps = 2 * n;
    if (backend == "pmem")
        run<bench::Pmem>("pmem", n, steps);
    else if (backend == "statis")
        run<bench::Statis>("statis", n, steps);
    else
        run<bench::Malloc>(backend.c_str(), n, steps);
}
