/* Every public header compiled as C11 and linked against the shipped
 * library, the way a C host uses it.  Plain asserts: this is a C program. */
#undef NDEBUG /* the checks below are the test */
#include <assert.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "auto_plex.h"
#include "avl_tree.h"
#include "plex_internal.h"
#include "pmem.h"
#include "malloc_statis.h"
#include "ap_stats.h"

struct host_record {
    int key;
    avl_node node;
};

static struct host_record *record_of(avl_node *n) {
    return (struct host_record *)((char *)n - offsetof(struct host_record, node));
}

static void tree_from_c(void) {
    struct host_record recs[7];
    avl_node *root = NULL;
    for (int i = 0; i < 7; i++) {
        avl_node **link = &root, *parent = NULL;
        recs[i].key = i + 1;
        while (*link) {
            parent = *link;
            link = recs[i].key < record_of(parent)->key ? &parent->left : &parent->right;
        }
        avl_tree_link_node(&recs[i].node, parent, link);
        avl_tree_rebalance_after_insert(&root, &recs[i].node);
    }
    assert(record_of(root)->key == 4);
    int expect = 1;
    for (avl_node *n = avl_tree_first_in_order(root); n; n = avl_tree_next_in_order(n))
        assert(record_of(n)->key == expect++);
    avl_tree_remove(&root, &recs[3].node);
    assert(record_of(root)->key == 5);
}

static void plex_from_c(void) {
    auto_plex pool;
    assert(auto_plex_init(&pool, 32, 1000, "c_host") == 0);
    assert(pool.step_alloc_num == 1024 && pool.block_num == 1);
    assert(strcmp(pool.module_name, "c_host") == 0);
    assert(plex_registry.next == &pool.plex_link);
    void *a = auto_plex_alloc(&pool);
    void *b = auto_plex_alloc(&pool);
    assert(a && b && (char *)b == (char *)a + 32);
    assert(pool.alloc_num == 1000 && pool.using_num == 2 && pool.count_expand == 1);
    assert(pool.first_free_block && pool.first_free_block->ctl.head);
    auto_plex_free(&pool, a);
    assert(auto_plex_alloc(&pool) == a);
    auto_plex_clear(&pool);
    assert(pool.module_name == NULL && pool.using_tree == NULL);
    assert(pool.idle_blocks.next == &pool.idle_blocks);
    assert(plex_registry.next == &plex_registry);
}

static void statis_from_c(void) {
    int id = reg_module_id("c_statis");
    assert(id >= 0 && reg_module_id("c_statis") == id);
    assert(set_module_mem_limit(64, id) == 0);
    assert(malloc_with_statis(65, id) == NULL);
    void *p = malloc_with_statis(16, id);
    assert(p);
    free_with_statis(p, id);
    assert(offsetof(mem_statis_entry, over_limit_failed) == 24);
}

static void pmem_from_c(void) {
    assert(sizeof(pmem_header) == 16 && offsetof(pmem_header, mem) == 16);
    assert(pmem_init() == 0 && pmem_inited == 1);
    char *p = pmem_malloc(3, 100);
    assert(p && ((pmem_header *)(p - 16))->magic == PMEM_MAGIC);
    assert(pmem_ptr2size(p) == 128 && pmem_module_stats[3].alloc_count[4] == 1);
    pmem_free(p);
    assert(pmem_pool_stats[4].free_count == 1 && order_to_pool[7] == 4);
}

/* The snapshot records as a C host sizes and reads them. */
static void stats_from_c(void) {
    pmem_pool_snapshot pools[PMEM_POOL_ID_N];
    assert(pmem_take_pool_snapshot(NULL, 0) == PMEM_POOL_ID_N);
    assert(pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N) == PMEM_POOL_ID_N);
    assert(pools[4].alloc_count == 1 && pools[4].peak_live_count == 1 && pools[4].live_count == 0);
    mem_statis_snapshot mods[4];
    size_t n = mem_statis_take_snapshot(mods, 4);
    assert(n == 1 && strcmp(mods[0].module_name, "c_statis") == 0 && mods[0].peak_mem_alloced > 0);
}

int main(void) {
    tree_from_c();
    plex_from_c();
    pmem_from_c(); /* after plex_from_c, which expects an empty registry */
    statis_from_c();
    stats_from_c();
    puts("1 passed, 0 failed");
    return 0;
}
