// pmem_init and the tables it builds.  This process runs with the
// pre-allocation marker present, so each pool's plex owns one zero-filled
// block right after pmem_init; no test here allocates.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "checkers.h"
#include "fault.h"
#include "pmem.h"
#include "tools/slot_access.h"

namespace {

class pmem_init_tables : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static char marker[] = "/tmp/pmem_marker_XXXXXX";
        int fd = mkstemp(marker);
        ASSERT_GE(fd, 0);
        close(fd);
        ap_fault::set_marker_path(marker);
        if (!pmem_inited) {
            ASSERT_EQ(pmem_init(), 0);
        }
        unlink(marker);  // looked up once, by the first plex
    }
};

// Catches: a wrong order entry, pool size or pool name, or counter records
// left unnamed.
TEST_F(pmem_init_tables, TablesHoldThePublishedValues) {
    const uint16_t orders[31] = {1,  1,  1,  1,  1,  2,  3,  4,  5,  9,  13, 17, 21, 25, 26, 26,
                                 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26};
    for (int o = 0; o < 31; o++)
        EXPECT_EQ(order_to_pool[o], orders[o]) << "order " << o;

    const uint32_t sizes[PMEM_POOL_ID_N] = {
        0,    16,   32,   64,   128,  256,  320,  384,  448,  512,  640,  768,  896,       1024,
        1280, 1536, 1792, 2048, 2560, 3072, 3584, 4096, 5120, 6144, 7168, 8192, 1073741824};
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        std::string name = "pmem_pool_" + std::to_string(sizes[p]);
        EXPECT_EQ(pmem_pool_sizes[p], sizes[p]);
        EXPECT_EQ(pmem_pools[p].size, sizes[p]);
        EXPECT_EQ(pmem_pools[p].max_num, 0u);
        EXPECT_EQ(name, pmem_pools[p].name);
        EXPECT_EQ(pmem_pool_stats[p].name, pmem_pools[p].name);
    }
    EXPECT_STREQ(pmem_module_names[0], "default");
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        EXPECT_EQ(pmem_module_stats[m].name, pmem_module_names[m]);
        size_t len = strlen(pmem_module_names[m]);
        EXPECT_TRUE(len >= 1 && len <= 19) << "module " << m;
    }
    EXPECT_EQ(pmem_inited, 1);
}

// Catches: plexes registered out of pool order, the wrong item size, or a
// pool 26 control block that was initialised or registered.
TEST_F(pmem_init_tables, PlexesRegisteredInPoolOrderWithTheirFirstBlock) {
    const uint64_t slots[PMEM_POOL_ID_N - 1] = {8192, 4096, 2816, 1792, 1024, 512, 512, 512, 512};
    const auto_plex_link *link = plex_registry.next;
    for (int p = PMEM_POOL_ID_N - 2; p >= 0; p--, link = link->next) {
        const auto_plex *plex = &pmem_pools[p].pool_plex;
        ASSERT_EQ(link, &plex->plex_link) << "pool " << p;  // newest first
        EXPECT_EQ(plex->item_size, uint64_t{pmem_pools[p].size} + 16);
        EXPECT_STREQ(plex->module_name, pmem_pools[p].name);
        uint64_t want = p < 9 ? slots[p] : 256;
        EXPECT_EQ(plex->alloc_num, want) << "pool " << p;
        EXPECT_EQ(plex->count_expand, 1u);
        EXPECT_EQ(plex->using_num, 0u);
        EXPECT_TRUE(checkers::plex_valid(plex));
        const unsigned char *slot =
            reinterpret_cast<const unsigned char *>(checkers::start_of(plex->first_free_block));
        slot_access_open(slot, want * plex->item_size);  // never-used slots are closed
        for (uint64_t i = 0; i < want * plex->item_size; i++)
            if (slot[i]) FAIL() << "pool " << p << " block not zero-filled at " << i;
    }
    EXPECT_EQ(link, &plex_registry);

    static const auto_plex zero{};
    EXPECT_EQ(memcmp(&pmem_pools[26].pool_plex, &zero, sizeof zero), 0);
}

// Catches: a second pmem_init that re-initialises live pools.
TEST_F(pmem_init_tables, SecondInitAborts) {
    EXPECT_EXIT(pmem_init(), ::testing::KilledBySignal(SIGABRT), "");
}

}  // namespace
