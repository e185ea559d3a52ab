// One backend's churn, for counting what an operation costs under cachegrind
// (bench/op_costs.sh): n live 64-byte objects, then `steps` steps of "free a
// random one, allocate a replacement, write to it".  Backend "none" runs the
// same loop without allocating, so that the script can take the loop's own
// cost away.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "auto_plex.h"
#include "pmem.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: op_costs malloc|pmem|auto_plex|none N STEPS\n");
        return 2;
    }
    const char *backend = argv[1];
    const size_t n = strtoul(argv[2], nullptr, 10), steps = strtoul(argv[3], nullptr, 10);
    const int kind = !strcmp(backend, "malloc")      ? 0
                     : !strcmp(backend, "pmem")      ? 1
                     : !strcmp(backend, "auto_plex") ? 2
                                                     : 3;
    static char spare[64];
    auto_plex plex;
    pmem_init();
    auto_plex_init(&plex, 64, 0, "op_costs");
    auto alloc = [&]() -> void * {
        switch (kind) {
            case 0:
                return malloc(64);
            case 1:
                return pmem_malloc(1, 64);
            case 2:
                return auto_plex_alloc(&plex);
            default:
                return spare;
        }
    };
    auto release = [&](void *p) {
        switch (kind) {
            case 0:
                free(p);
                break;
            case 1:
                pmem_free(p);
                break;
            case 2:
                auto_plex_free(&plex, p);
                break;
            default:
                break;
        }
    };
    std::vector<void *> live(n);
    for (void *&p : live)
        *static_cast<volatile char *>(p = alloc()) = 1;
    uint64_t s = 88172645463325252ull;
    for (size_t i = 0; i < steps; i++) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        void *&p = live[s % n];
        release(p);
        *static_cast<volatile char *>(p = alloc()) = 1;
    }
    printf("%s %zu %zu\n", backend, n, steps);
    return 0;
}
