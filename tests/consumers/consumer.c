/* An out-of-tree C host built against the installed package with pkg-config:
 *
 *     cc consumer.c $(pkg-config --cflags --libs auto_plex)
 *
 * Touches each component once and exits non-zero on any surprise. */
#include <stdio.h>
#include <string.h>

#include "auto_plex.h"
#include "malloc_statis.h"
#include "pmem.h"

#define EXPECT(cond)                                                 \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, "consumer.c:%d: %s\n", __LINE__, #cond); \
            return 1;                                                \
        }                                                            \
    } while (0)

struct item {
    int id;
    char name[20];
};

int main(void) {
    static auto_plex items;
    EXPECT(auto_plex_init(&items, sizeof(struct item), 2, "items") == 0);
    struct item *a = auto_plex_alloc(&items), *b = auto_plex_alloc(&items);
    EXPECT(a && b && !auto_plex_alloc(&items)); /* bounded at 2 */
    auto_plex_free(&items, a);
    auto_plex_free(&items, b);
    auto_plex_clear(&items);

    EXPECT(pmem_init() == 0);
    char *s = pmem_strdup(1, "installed");
    EXPECT(s && strcmp(s, "installed") == 0 && pmem_ptr2size(s) >= 10);
    EXPECT(pmem_module_stats[1].alloc_size > 0);
    pmem_free(s);

    int cache = reg_module_id("cache");
    EXPECT(cache >= 0 && set_module_mem_limit(4096, cache) == 0);
    void *p = malloc_with_statis(1000, cache);
    EXPECT(p && !malloc_with_statis(8192, cache)); /* past the limit */
    free_with_statis(p, cache);

    printf("C consumer (pkg-config): ok, pmem module 1 is \"%s\"\n", pmem_module_names[1]);
    return 0;
}
