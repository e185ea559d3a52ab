/* A C host built against the installed package, with nothing but a compiler
 * command line and pkg-config:
 *
 *     cc host.c $(pkg-config --cflags --libs auto_plex) -o host
 *
 * One pool of its own, pmem for its buffers, and one accounted module with
 * a limit; exits non-zero if any of them misbehaves. */
#include <stdio.h>
#include <string.h>

#include "auto_plex.h"
#include "malloc_statis.h"
#include "pmem.h"

struct item {
    int id;
    char name[20];
};

int main(void) {
    static auto_plex items;
    if (auto_plex_init(&items, sizeof(struct item), 2, "items") != 0) return 1;
    struct item *a = auto_plex_alloc(&items), *b = auto_plex_alloc(&items);
    int ok = a && b && !auto_plex_alloc(&items); /* bounded at 2 */
    auto_plex_free(&items, a);
    auto_plex_free(&items, b);
    auto_plex_clear(&items);

    pmem_init();
    char *s = pmem_strdup(1, "installed");
    ok = ok && s && strcmp(s, "installed") == 0 && pmem_module_stats[1].alloc_size == 16;
    pmem_free(s);

    int cache = reg_module_id("cache");
    set_module_mem_limit(4096, cache);
    void *p = malloc_with_statis(1000, cache);
    ok = ok && p && !malloc_with_statis(8192, cache); /* past the limit */
    free_with_statis(p, cache);

    printf("C host (pkg-config): %s; pmem module 1 is \"%s\"\n", ok ? "ok" : "FAILED",
           pmem_module_names[1]);
    return !ok;
}
