/* Every public header compiled as C11 (-pedantic) and linked against the
 * shipped library, the way a C host uses it, with the record layouts C hosts
 * rely on.  Plain asserts: this is a C program. */
#undef NDEBUG /* the checks below are the test */
#include <assert.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "ap_monitor.h"
#include "ap_settings.h"
#include "ap_stats.h"
#include "auto_plex.h"
#include "avl_tree.h"
#include "malloc_statis.h"
#include "plex_internal.h"
#include "pmem.h"

int main(void) {
    auto_plex pool;
    assert(auto_plex_init(&pool, 32, 1000, "c_host") == 0 && pool.step_alloc_num == 1024);
    assert(strcmp(pool.module_name, "c_host") == 0 && plex_registry.next == &pool.plex_link);
    char *a = auto_plex_alloc(&pool), *b = auto_plex_alloc(&pool);
    assert(b == a + 32 && pool.alloc_num == 1000 && pool.using_num == 2 && pool.count_expand == 1);
    assert((char *)pool.first_free_block->ctl.head + PLEX_BLOCK_HEAD_SIZE == a);
    assert(((plex_block_head *)pool.first_free_block->ctl.head)->using_num == 2);
    auto_plex_free(&pool, a);
    assert(auto_plex_alloc(&pool) == a);
    auto_plex_clear(&pool);
    assert(pool.module_name == NULL && pool.idle_blocks.next == &pool.idle_blocks);
    assert(sizeof(auto_plex) == 17 * 8 && offsetof(auto_plex, using_tree) == 12 * 8 &&
           sizeof(avl_node) == 3 * sizeof(void *));

    assert(sizeof(pmem_header) == 16 && offsetof(pmem_header, mem) == 16 &&
           offsetof(pmem_header, mid) == 10);
    assert(pmem_init() == 0 && pmem_inited == 1);
    char *p = pmem_malloc(3, 100);
    assert(((pmem_header *)(p - 16))->magic == PMEM_MAGIC && pmem_ptr2size(p) == 128);
    assert(pmem_module_stats[3].alloc_count[4] == 1 && order_to_pool[7] == 4);
    pmem_free(p);

    int id = reg_module_id("c_statis");
    assert(id >= 0 && reg_module_id("c_statis") == id && set_module_mem_limit(64, id) == 0);
    assert(malloc_with_statis(65, id) == NULL &&
           offsetof(mem_statis_entry, over_limit_failed) == 24);
    free_with_statis(malloc_with_statis(16, id), id);

    pmem_pool_snapshot pools[PMEM_POOL_ID_N];
    assert(pmem_take_pool_snapshot(NULL, 0) == PMEM_POOL_ID_N &&
           pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N) == PMEM_POOL_ID_N);
    assert(pools[4].alloc_count == 1 && pools[4].peak_live_count == 1 && pools[4].live_count == 0);
    mem_statis_snapshot mods[4];
    assert(mem_statis_take_snapshot(mods, 4) == 1 && strcmp(mods[0].module_name, "c_statis") == 0);
    puts("C API: ok");
    return 0;
}
