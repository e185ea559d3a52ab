// Misuse suite: what each component does when the caller breaks its
// contract.  One group per component; every case is listed with its outcome
// in docs/RELIABILITY.md.  pmem's header check aborts without a message, so
// its cases expect SIGABRT with nothing on stderr, which also tells them
// apart from a sanitizer report (exit code 1 and a long text).
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "auto_plex.h"
#include "fault.h"
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "pmem.h"

namespace {

const auto kAbortQuietly = ::testing::KilledBySignal(SIGABRT);

void ensure_pmem() {
    if (!pmem_inited) {
        ASSERT_EQ(pmem_init(), 0);
    }
}

// Pools: every pointer that lies in no block of the pool is stopped before
// the free list is touched; what lies inside a block is trusted.
TEST(MisuseDeathTest, Pools) {
    auto_plex mine, theirs;
    ASSERT_EQ(auto_plex_init(&mine, 64, 0, "mine"), 0);
    ASSERT_EQ(auto_plex_init(&theirs, 64, 0, "theirs"), 0);
    EXPECT_DEATH(auto_plex_free(&mine, &mine), "auto_plex_free: Assertion `me->using_tree' failed");
    void *a = auto_plex_alloc(&mine);
    void *b = auto_plex_alloc(&theirs);
    EXPECT_DEATH(auto_plex_free(&mine, b), "auto_plex_free: Assertion `avl_node' failed");
    int on_stack;
    EXPECT_DEATH(auto_plex_free(&mine, &on_stack), "auto_plex_free: Assertion `avl_node' failed");
    void *heap = malloc(64);
    EXPECT_DEATH(auto_plex_free(&mine, heap), "auto_plex_free: Assertion `avl_node' failed");
    free(heap);
    EXPECT_DEATH(auto_plex_free(&mine, nullptr), "auto_plex_free: Assertion `ptr' failed");
    EXPECT_DEATH(auto_plex_alloc(nullptr), "auto_plex_alloc: Assertion `me' failed");
    auto_plex_free(&mine, a);
    auto_plex_free(&theirs, b);

    auto_plex gone;
    ASSERT_EQ(auto_plex_init(&gone, 64, 0, "gone"), 0);
    void *c = auto_plex_alloc(&gone);
    auto_plex_clear(&gone);
    EXPECT_DEATH(auto_plex_free(&gone, c), "auto_plex_free: Assertion `me->using_tree' failed");
    EXPECT_DEATH(auto_plex_alloc(&gone), "Assertion `me && item_size' failed");
    auto_plex_clear(&mine);
    auto_plex_clear(&theirs);
}

// pmem: a released, overwritten or foreign header stops the process with
// pmem's own abort (also in the sanitizer build, where the released slot is
// poisoned); module ids past 128, including negative ones converted to the
// 16-bit parameter, stop at the id check.
TEST(MisuseDeathTest, Pmem) {
    ensure_pmem();
    void *keep = pmem_malloc(1, 100);  // keeps the block live
    void *p = pmem_malloc(1, 100);
    pmem_free(p);
    EXPECT_EXIT(pmem_free(p), kAbortQuietly, "^$") << "double free, block live";
    EXPECT_EXIT(pmem_realloc(1, p, 200), kAbortQuietly, "^$") << "realloc after free";
    EXPECT_EXIT(pmem_realloc(1, p, 0), kAbortQuietly, "^$") << "realloc to 0 after free";

    void *big = pmem_malloc(1, 20000);
    pmem_free(big);
    EXPECT_EXIT(pmem_free(big), kAbortQuietly, "^$") << "double free, pool 26";

    char *q = static_cast<char *>(pmem_malloc(1, 100));
    EXPECT_EXIT(pmem_free(q + 16), kAbortQuietly, "^$") << "pointer inside an area";
    void *sys = malloc(100);
    EXPECT_EXIT(pmem_free(sys), kAbortQuietly, "^$") << "pointer from the system allocator";
    free(sys);
    EXPECT_EXIT(
        {
            q[-16] ^= 1;  // the caller's underflow reaches the magic
            pmem_free(q);
        },
        kAbortQuietly, "^$");
    EXPECT_EXIT(
        {
            pmem_inited = 0;  // a pointer from before pmem_init
            void *early = pmem_malloc(1, 100);
            pmem_inited = 1;
            pmem_free(early);
        },
        kAbortQuietly, "^$");

    for (int mid : {PMEM_MID_N, 65535, -1}) {
        uint16_t m = static_cast<uint16_t>(mid);
        EXPECT_DEATH(pmem_malloc(m, 1), "pmem_malloc: Assertion `mid < PMEM_MID_N' failed");
        EXPECT_DEATH(pmem_calloc(m, 1, 1), "pmem_calloc: Assertion `mid < PMEM_MID_N' failed");
        EXPECT_DEATH(pmem_realloc(m, q, 1), "pmem_realloc: Assertion `mid < PMEM_MID_N' failed");
        EXPECT_DEATH(pmem_strdup(m, "x"), "pmem_strdup: Assertion `mid < PMEM_MID_N' failed");
        EXPECT_DEATH(pmem_strndup(m, "x", 1), "pmem_strndup: Assertion `mid < PMEM_MID_N' failed");
    }
    EXPECT_EXIT(pmem_init(), kAbortQuietly, "^$") << "second pmem_init";
    pmem_free(q);
    pmem_free(keep);
}

// Module accounting: ids outside the table stop every accounted call, and a
// release under a module that holds fewer bytes than the block stops before
// the block is freed.  A wrong module that holds enough cannot be told apart
// (blocks carry no owner): its account is silently lowered.
TEST(MisuseDeathTest, ModuleAccounting) {
    mem_statis_reset_internal();
    int a = reg_module_id("a"), b = reg_module_id("b");
    void *block = malloc_with_statis(1000, a);
    for (int id : {2, 1000, -1, -1000}) {
        const char *msg = id < 0 ? "Assertion `module_id >= 0' failed"
                                 : "Assertion `module_id < s_statis_id' failed";
        EXPECT_DEATH(malloc_with_statis(1, id), msg);
        EXPECT_DEATH(calloc_with_statis(1, 1, id), msg);
        EXPECT_DEATH(realloc_with_statis(block, 1, id), msg);
        EXPECT_DEATH(free_with_statis(block, id), msg);
        EXPECT_DEATH(inc_mem_statis(block, id), msg);
        EXPECT_DEATH(dec_mem_statis(block, id), msg);
        EXPECT_DEATH(set_module_mem_limit(1, id), msg);
    }
    const char *below_zero = "Assertion `s_statis_array\\[module_id\\].mem_alloced >= 0' failed";
    EXPECT_DEATH(free_with_statis(block, b), below_zero);
    EXPECT_DEATH(dec_mem_statis(block, b), below_zero);
    EXPECT_DEATH(realloc_with_statis(block, 10, b), below_zero);
    EXPECT_DEATH(realloc_with_statis(block, 0, b), below_zero);

    // Cannot by design: b holds enough, so a's block leaves b's account.
    void *bs = malloc_with_statis(4000, b);
    int64_t held_b = mem_statis_table_internal().records[b].pub.mem_alloced;
    dec_mem_statis(block, b);
    EXPECT_EQ(mem_statis_table_internal().records[b].pub.mem_alloced,
              held_b - static_cast<int64_t>(malloc_usable_size(block)));
    inc_mem_statis(block, b);
    free_with_statis(bs, b);
    free_with_statis(block, a);
    mem_statis_reset_internal();
}

}  // namespace
