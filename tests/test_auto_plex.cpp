// The object pool: sizing, hand-out order, growth, the release threshold,
// record recycling, the registry, teardown, every out-of-memory path and
// every contract check.  Run without the pre-allocation marker (the testing
// seam reports none unless a test points it at a file).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "auto_plex.h"
#include "checkers.h"
#include "fault.h"

namespace {

// A plex that is cleared when the test ends, so every test leaves nothing.
struct Pool {
    auto_plex p;
    Pool(uint64_t item_size, uint64_t max_num, const char *name = "test") {
        EXPECT_EQ(auto_plex_init(&p, item_size, max_num, name), 0);
    }
    ~Pool() { auto_plex_clear(&p); }
    void *alloc() { return auto_plex_alloc(&p); }
    void free(void *ptr) { auto_plex_free(&p, ptr); }
};

const auto_plex_block *block_holding(const auto_plex *me, const void *ptr) {
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const auto_plex_block *b = checkers::block_of(n);
        auto p = reinterpret_cast<uintptr_t>(ptr);
        if (p >= checkers::start_of(b) && p < checkers::end_of(b)) return b;
    }
    return nullptr;
}

size_t idle_count(const auto_plex *me) {
    size_t n = 0;
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next)
        n++;
    return n;
}

// item_size 1024 gives 256-slot blocks, small enough to fill by hand.
constexpr uint64_t kItem = 1024;
constexpr size_t kStep = 256;

}  // namespace

// ---- sizing and init ------------------------------------------------------

// Catches off-by-one rounding in the block sizing arithmetic.
TEST(PlexInit, SizesBlocksFromItemSizeAndBound) {
    struct Row {
        uint64_t item, max, block_num, step;
    } rows[] = {
        {144, 0, 1, 1024},
        {16, 0, 1, 8192},
        {8208, 0, 1, 256},
        {1, 0, 1, 131072},
        {32, 1000, 1, 1024},
        {100, 10000, 7, 1536},
        {64, 1000000, 16, 62720},
        {1, 1, 1, 256},
        {1024, 100 * 1024, 16, 6400},  // 100 MiB bound: capped at 16 records
        {1024, 127, 1, 256},           // below 128 KiB: one record
    };
    for (const Row &r : rows) {
        Pool pool(r.item, r.max);
        EXPECT_EQ(pool.p.block_num, r.block_num) << r.item << "," << r.max;
        EXPECT_EQ(pool.p.step_alloc_num, r.step) << r.item << "," << r.max;
        EXPECT_EQ(idle_count(&pool.p), r.block_num);
        EXPECT_EQ(pool.p.alloc_num, 0u) << "no block before the first allocation";
        EXPECT_EQ(pool.p.using_tree, nullptr);
        EXPECT_STREQ(pool.p.module_name, "test");
    }
}

// Catches sizes that wrap 64 bits or overflow the 32-bit slot count being
// accepted and later handing out a block far smaller than its counters say.
TEST(PlexInit, RefusesSizesABlockCannotDescribe) {
    long live = ap_fault::live();
    struct Row {
        uint64_t item, max;
    } rows[] = {
        {UINT64_MAX / 2, 3},                     // item x max wraps
        {UINT64_MAX - 100, 0},                   // item + 128 KiB wraps
        {1, uint64_t{1} << 40},                  // 2^36 slots per block
        {uint64_t{1} << 62, 1},                  // 256 slots x 2^62 bytes wraps
        {1, uint64_t{16} * (UINT32_MAX - 100)},  // rounds up past the 32-bit slot count
    };
    for (const Row &r : rows) {
        auto_plex p;
        memset(&p, 0x5a, sizeof p);
        EXPECT_EQ(auto_plex_init(&p, r.item, r.max, "huge"), -12) << r.item << "," << r.max;
        EXPECT_EQ(p.module_name, nullptr);
        EXPECT_EQ(p.plex_link.next, nullptr);
        EXPECT_EQ(p.idle_blocks.next, &p.idle_blocks);
        EXPECT_EQ(plex_registry.next, &plex_registry);
    }
    EXPECT_EQ(ap_fault::live(), live);
}

// Catches registry corruption: newest first, clear unlinks only its own.
TEST(PlexRegistry, ListsPlexesNewestFirstAndForgetsClearedOnes) {
    EXPECT_EQ(plex_registry.next, &plex_registry);
    auto_plex a, b;
    ASSERT_EQ(auto_plex_init(&a, 8, 0, "first"), 0);
    ASSERT_EQ(auto_plex_init(&b, 8, 0, "second"), 0);
    EXPECT_EQ(plex_registry.next, &b.plex_link);
    EXPECT_EQ(b.plex_link.next, &a.plex_link);
    EXPECT_EQ(a.plex_link.next, &plex_registry);
    EXPECT_EQ(plex_registry.prev, &a.plex_link);
    auto_plex_clear(&a);
    EXPECT_EQ(plex_registry.next, &b.plex_link);
    EXPECT_EQ(b.plex_link.next, &plex_registry);
    EXPECT_EQ(plex_registry.prev, &b.plex_link);
    auto_plex_clear(&b);
    EXPECT_EQ(plex_registry.next, &plex_registry);
}

// Catches teardown that leaks, double-frees, or cannot be repeated.
TEST(PlexClear, ReleasesEverythingAndIsIdempotent) {
    long live = ap_fault::live();
    auto_plex p;
    ASSERT_EQ(auto_plex_init(&p, kItem, 0, "clear"), 0);
    std::vector<void *> out;
    for (size_t i = 0; i < 5 * kStep; i++)
        out.push_back(auto_plex_alloc(&p));
    for (size_t i = 0; i < kStep; i++)
        auto_plex_free(&p, out[i]);  // leaves an empty block
    auto_plex_clear(&p);
    EXPECT_EQ(ap_fault::live(), live);
    auto_plex zeroed;
    memset(&zeroed, 0, sizeof zeroed);
    auto_plex expected = zeroed;
    expected.idle_blocks.next = expected.idle_blocks.prev = &p.idle_blocks;
    EXPECT_EQ(memcmp(&p, &expected, sizeof p), 0);
    auto_plex_clear(&p);
    EXPECT_EQ(memcmp(&p, &expected, sizeof p), 0);

    auto_plex_clear(&zeroed);
    EXPECT_EQ(zeroed.idle_blocks.next, &zeroed.idle_blocks);
    EXPECT_EQ(zeroed.module_name, nullptr);

    ASSERT_EQ(auto_plex_init(&p, 64, 0, "again"), 0);  // a cleared plex can be reused
    auto_plex_free(&p, auto_plex_alloc(&p));
    auto_plex_clear(&p);
    EXPECT_EQ(ap_fault::live(), live);
}

// ---- allocation order -----------------------------------------------------

// Catches bounded plexes over-allocating or losing their freed slots.
TEST(PlexAlloc, BoundedPlexStopsAtItsBound) {
    Pool pool(32, 1000);
    std::vector<void *> out;
    for (int i = 0; i < 1000; i++)
        out.push_back(pool.alloc());
    EXPECT_EQ(pool.p.alloc_num, 1000u) << "one block of exactly max_num slots, not 1024";
    EXPECT_EQ(pool.p.count_expand, 1u);
    EXPECT_EQ(pool.p.first_free_block, nullptr);
    EXPECT_EQ(pool.alloc(), nullptr);
    EXPECT_EQ(pool.p.alloc_failed, 1u);
    EXPECT_EQ(pool.p.expand_failed, 0u);
    EXPECT_EQ(pool.p.using_num, 1000u);
    pool.free(out[500]);
    EXPECT_EQ(pool.alloc(), out[500]);
    EXPECT_TRUE(checkers::plex_valid(&pool.p));
    for (void *p : out)
        pool.free(p);
}

// Catches a bounded plex growing past its records or its bound.
TEST(PlexAlloc, BoundedPlexSplitsItsBoundOverItsRecords) {
    Pool pool(kItem, 600);  // 600 KiB total: 4 records of 256 slots at most
    ASSERT_EQ(pool.p.block_num, 4u);
    ASSERT_EQ(pool.p.step_alloc_num, 256u);
    std::vector<void *> out;
    for (int i = 0; i < 600; i++)
        out.push_back(pool.alloc());
    EXPECT_EQ(pool.p.count_expand, 3u) << "256 + 256 + 88";
    EXPECT_EQ(pool.p.alloc_num, 600u);
    EXPECT_EQ(pool.alloc(), nullptr);
    EXPECT_TRUE(checkers::plex_valid(&pool.p));
    for (void *p : out)
        pool.free(p);
}

// Catches slots handed out out of address order or freed slots not reused
// last-in first-out within a block.
TEST(PlexAlloc, HandsOutSlotsInAddressOrderThenMostRecentlyFreed) {
    Pool pool(24, 0);
    char *first = static_cast<char *>(pool.alloc());
    EXPECT_EQ(first, static_cast<char *>(pool.p.first_free_block->ctl.head) + 32);
    std::vector<char *> out{first};
    for (int i = 1; i < 10; i++) {
        out.push_back(static_cast<char *>(pool.alloc()));
        EXPECT_EQ(out[i], first + 24 * i);
    }
    pool.free(out[3]);
    pool.free(out[7]);
    EXPECT_EQ(pool.alloc(), out[7]);
    EXPECT_EQ(pool.alloc(), out[3]);
    EXPECT_EQ(pool.alloc(), first + 24 * 10);
}

// Catches a small item size whose free-list link overruns its slot.
TEST(PlexAlloc, TinyItemsGetEightByteSlots) {
    Pool pool(1, 0);
    char *a = static_cast<char *>(pool.alloc());
    char *b = static_cast<char *>(pool.alloc());
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(pool.p.item_size, 1u) << "the requested size is kept";
    EXPECT_EQ(pool.p.first_free_block->ctl.item_size, 8u);
    pool.free(a);
    pool.free(b);
}

// Catches allocation from a higher block while a lower one has room.
TEST(PlexAlloc, PrefersTheLowestBlockWithRoom) {
    Pool pool(kItem, 0);
    std::vector<void *> out;
    for (size_t i = 0; i < 3 * kStep; i++)
        out.push_back(pool.alloc());
    ASSERT_EQ(pool.p.count_expand, 3u);
    ASSERT_EQ(pool.p.first_free_block, nullptr);
    std::vector<const auto_plex_block *> blocks;
    for (avl_node *n = avl_tree_first_in_order(pool.p.using_tree); n; n = avl_tree_next_in_order(n))
        blocks.push_back(checkers::block_of(n));
    ASSERT_EQ(blocks.size(), 3u);

    // Free one slot in the highest block, then one in the lowest: the lowest
    // becomes the allocation block although the highest had room first.
    void *in_high = nullptr, *in_low = nullptr;
    for (void *p : out) {
        if (block_holding(&pool.p, p) == blocks[2] && !in_high) in_high = p;
        if (block_holding(&pool.p, p) == blocks[0] && !in_low) in_low = p;
    }
    pool.free(in_high);
    EXPECT_EQ(pool.p.first_free_block, blocks[2]);
    pool.free(in_low);
    EXPECT_EQ(pool.p.first_free_block, blocks[0]);
    EXPECT_EQ(pool.alloc(), in_low);
    // The low block is full again: the walk finds the high one.
    EXPECT_EQ(pool.p.first_free_block, blocks[2]);
    EXPECT_EQ(pool.alloc(), in_high);
    EXPECT_EQ(pool.p.first_free_block, nullptr);
    EXPECT_TRUE(checkers::plex_valid(&pool.p));
    for (void *p : out)
        pool.free(p);
}

// ---- release and recycling ------------------------------------------------

// Catches an off-by-one in the 1.5-blocks release threshold, on both sides.
TEST(PlexRelease, ReleasesAnEmptyBlockOnlyPastOneAndAHalfBlocksFree) {
    for (size_t extra_free : {128u, 129u}) {
        Pool pool(kItem, 0);
        std::vector<void *> out;
        for (size_t i = 0; i < 3 * kStep; i++)
            out.push_back(pool.alloc());
        // Slots come out in block order: [0,256) fill the first block, etc.
        ASSERT_EQ(block_holding(&pool.p, out[0]), block_holding(&pool.p, out[kStep - 1]));
        for (size_t i = 0; i < extra_free; i++)
            pool.free(out[i]);  // part of block 0
        long trims = ap_fault::trims();
        for (size_t i = kStep; i < 2 * kStep; i++)
            pool.free(out[i]);  // all of block 1
        // The last free leaves extra_free + 256 slots free: 384 keeps the
        // block, 385 releases it.
        bool released = extra_free + kStep > kStep * 3 / 2;
        EXPECT_EQ(pool.p.count_clear, released ? 1u : 0u) << extra_free;
        EXPECT_EQ(pool.p.alloc_num, released ? 2 * kStep : 3 * kStep) << extra_free;
        EXPECT_EQ(idle_count(&pool.p), released ? 1u : 0u);
        EXPECT_EQ(ap_fault::trims() - trims, released ? 1 : 0) << "trim follows a release";
        EXPECT_TRUE(checkers::plex_valid(&pool.p));
        for (size_t i = extra_free; i < kStep; i++)
            pool.free(out[i]);
        for (size_t i = 2 * kStep; i < 3 * kStep; i++)
            pool.free(out[i]);
        EXPECT_TRUE(checkers::plex_valid(&pool.p));
    }
}

// Catches leaked or re-allocated block records: a released block's record
// is reused by the next growth instead of a new one being made.
TEST(PlexRelease, GrowthReusesTheRecordOfAReleasedBlock) {
    Pool pool(kItem, 0);
    std::vector<void *> out;
    for (size_t i = 0; i < 3 * kStep; i++)
        out.push_back(pool.alloc());
    for (size_t i = 0; i < 2 * kStep; i++)
        pool.free(out[i]);  // second empty block released
    ASSERT_EQ(pool.p.count_clear, 1u);
    ASSERT_EQ(idle_count(&pool.p), 1u);
    const auto_plex_link *idle = pool.p.idle_blocks.next;

    for (size_t i = 0; i < kStep; i++)
        out[i] = pool.alloc();  // refill the kept block
    ASSERT_EQ(pool.p.first_free_block, nullptr);
    ap_fault::reset();
    void *p = pool.alloc();
    EXPECT_EQ(ap_fault::calls(), 1) << "only the block memory is allocated";
    EXPECT_EQ(idle_count(&pool.p), 0u);
    const auto_plex_block *reused = block_holding(&pool.p, p);
    EXPECT_EQ(&reused->idle_link, idle);
    EXPECT_EQ(reused->idle_link.next, nullptr);
    EXPECT_EQ(pool.p.count_expand, 4u);
    EXPECT_TRUE(checkers::plex_valid(&pool.p));
    pool.free(p);
    for (size_t i = 0; i < kStep; i++)
        pool.free(out[i]);
    for (size_t i = 2 * kStep; i < 3 * kStep; i++)
        pool.free(out[i]);
}

// Catches any drift between the counters, the tree and first_free_block
// over long mixed runs on plexes of several shapes, and slots that overlap
// (each live slot carries a pattern checked when it is freed).
TEST(PlexRandomized, InvariantsHoldOverLongMixedRuns) {
    struct Shape {
        uint64_t item, max;
    } shapes[] = {{1024, 0}, {600, 0}, {1024, 700}, {12, 0}};  // 12: unaligned slots
    for (unsigned seed : {7u, 99u}) {
        for (const Shape &s : shapes) {
            Pool pool(s.item, s.max);
            std::mt19937 rng(seed);
            std::vector<unsigned char *> live;
            std::set<unsigned char *> unique;
            const size_t fill = s.item < 8 ? 8 : s.item;
            for (int step = 0; step < 4000; step++) {
                // Phases of growth and drain so blocks are created and released.
                bool grow = (step / 1000) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
                if (grow || live.empty()) {
                    const auto_plex_block *expect = pool.p.first_free_block;
                    auto *p = static_cast<unsigned char *>(pool.alloc());
                    if (!p) {
                        ASSERT_NE(s.max, 0u);
                        ASSERT_EQ(pool.p.using_num, s.max);
                        continue;
                    }
                    if (expect) {
                        ASSERT_EQ(block_holding(&pool.p, p), expect);
                    }
                    ASSERT_TRUE(unique.insert(p).second) << "slot handed out twice";
                    memset(p, static_cast<int>(reinterpret_cast<uintptr_t>(p) & 0xff), fill);
                    live.push_back(p);
                } else {
                    size_t i = rng() % live.size();
                    unsigned char *p = live[i];
                    unsigned char mark = reinterpret_cast<uintptr_t>(p) & 0xff;
                    for (size_t b = 0; b < fill; b++)
                        ASSERT_EQ(p[b], mark) << "slot overwritten";
                    live[i] = live.back();
                    live.pop_back();
                    unique.erase(p);
                    pool.free(p);
                }
                ASSERT_TRUE(checkers::plex_valid(&pool.p)) << "seed " << seed << " step " << step;
            }
            if (s.item >= 600) {
                EXPECT_GT(pool.p.count_expand, 2u);
                if (s.max == 0) {
                    EXPECT_GT(pool.p.count_clear, 0u);
                }
            }
            for (unsigned char *p : live)
                pool.free(p);
        }
    }
}

// ---- out of memory ----------------------------------------------------------

// Catches half-built plexes: every allocation init makes is failed in turn;
// each failure returns -12 with nothing registered and nothing leaked.
TEST(PlexOutOfMemory, InitFailsCleanlyAtEveryAllocation) {
    long live = ap_fault::live();
    // 1 name copy + 16 records.
    for (long k = 1; k <= 17; k++) {
        auto_plex p;
        ap_fault::FailNth fail(k);
        EXPECT_EQ(auto_plex_init(&p, 64, 1000000, "sweep"), -12) << k;
        EXPECT_EQ(p.module_name, nullptr);
        EXPECT_EQ(p.idle_blocks.next, &p.idle_blocks);
        EXPECT_EQ(plex_registry.next, &plex_registry);
        EXPECT_EQ(ap_fault::live(), live) << k;
    }
    auto_plex p;
    ap_fault::FailNth fail(18);
    ASSERT_EQ(auto_plex_init(&p, 64, 1000000, "sweep"), 0);
    EXPECT_EQ(p.block_num, 16u);
    auto_plex_clear(&p);
    EXPECT_EQ(ap_fault::live(), live);
}

// Catches growth failures that leak a record, lose an idle record, or
// miscount: block memory refused with an idle record, then a new record
// refused, then block memory refused for a new record.
TEST(PlexOutOfMemory, GrowthFailuresCountAndLeaveThePlexUnchanged) {
    long live = ap_fault::live();
    {
        Pool pool(kItem, 0);
        {
            ap_fault::FailNth fail(1);  // block memory, idle record available
            EXPECT_EQ(pool.alloc(), nullptr);
        }
        EXPECT_EQ(pool.p.expand_failed, 1u);
        EXPECT_EQ(pool.p.alloc_failed, 1u);
        EXPECT_EQ(idle_count(&pool.p), 1u) << "the idle record stays idle";
        EXPECT_EQ(pool.p.alloc_num, 0u);
        EXPECT_EQ(pool.p.count_expand, 0u);

        std::vector<void *> out;
        for (size_t i = 0; i < kStep; i++)
            out.push_back(pool.alloc());
        {
            ap_fault::FailNth fail(1);  // the new record itself
            EXPECT_EQ(pool.alloc(), nullptr);
        }
        EXPECT_EQ(pool.p.expand_failed, 2u);
        EXPECT_EQ(pool.p.alloc_failed, 2u);
        long before = ap_fault::live();
        {
            ap_fault::FailNth fail(2);  // record made, block memory refused
            EXPECT_EQ(pool.alloc(), nullptr);
        }
        EXPECT_EQ(ap_fault::live(), before) << "the new record is given back";
        EXPECT_EQ(pool.p.expand_failed, 3u);
        EXPECT_EQ(pool.p.alloc_failed, 3u);
        EXPECT_EQ(pool.p.alloc_num, kStep);
        EXPECT_EQ(pool.p.count_expand, 1u);
        EXPECT_TRUE(checkers::plex_valid(&pool.p));

        out.push_back(pool.alloc());  // and the plex still grows afterwards
        ASSERT_NE(out.back(), nullptr);
        EXPECT_EQ(pool.p.count_expand, 2u);
        for (void *p : out)
            pool.free(p);
    }
    EXPECT_EQ(ap_fault::live(), live);
}

// ---- contract checks --------------------------------------------------------

using PlexDeathTest = ::testing::Test;

// Catches a check that is compiled out or prints the wrong condition.
TEST(PlexDeathTest, NullAndZeroArguments) {
    auto_plex p;
    EXPECT_DEATH(auto_plex_init(nullptr, 8, 0, "x"), "auto_plex_init: Assertion `me' failed");
    EXPECT_DEATH(auto_plex_init(&p, 0, 0, "x"), "Assertion `item_size > 0' failed");
    EXPECT_DEATH(auto_plex_init(&p, 8, 0, nullptr), "Assertion `module_name' failed");
    EXPECT_DEATH(auto_plex_alloc(nullptr), "auto_plex_alloc: Assertion `me' failed");
    EXPECT_DEATH(auto_plex_free(nullptr, &p), "auto_plex_free: Assertion `me' failed");
    EXPECT_DEATH(auto_plex_clear(nullptr), "auto_plex_clear: Assertion `me' failed");
}

// Catches frees of pointers that no block of this plex owns being threaded
// onto some free list.
TEST(PlexDeathTest, ForeignPointers) {
    Pool pool(64, 0);
    Pool other(64, 0);
    EXPECT_DEATH(pool.free(nullptr), "Assertion `ptr' failed");
    EXPECT_DEATH(pool.free(&pool), "Assertion `me->using_tree' failed");
    void *mine = pool.alloc();
    void *theirs = other.alloc();
    EXPECT_DEATH(pool.free(theirs), "Assertion `avl_node' failed");
    int on_stack;
    EXPECT_DEATH(pool.free(&on_stack), "Assertion `avl_node' failed");
    // One past the last slot of the block belongs to no slot.
    char *end = reinterpret_cast<char *>(checkers::end_of(pool.p.first_free_block));
    EXPECT_DEATH(pool.free(end), "Assertion `avl_node' failed");
    pool.free(mine);
    other.free(theirs);
}

// Catches corrupted control blocks being used instead of stopped.
TEST(PlexDeathTest, BrokenInternalState) {
    {
        auto_plex p;
        memset(&p, 0, sizeof p);
        auto_plex_clear(&p);
        EXPECT_DEATH(auto_plex_alloc(&p), "Assertion `me && item_size' failed");
    }
    {
        Pool pool(64, 0);
        EXPECT_DEATH(
            {
                pool.p.using_num = 3;
                auto_plex_alloc(&pool.p);
            },
            "Assertion `me->using_num == me->alloc_num' failed");
    }
    {
        Pool pool(64, 0);
        void *a = pool.alloc();
        EXPECT_DEATH(
            {
                pool.p.first_free_block->ctl.head = nullptr;
                auto_plex_alloc(&pool.p);
            },
            "Assertion `me && me->head' failed");
        EXPECT_DEATH(
            {
                // Claims room the block does not have.
                auto *h = static_cast<plex_block_head *>(pool.p.first_free_block->ctl.head);
                h->fresh_slot = reinterpret_cast<char *>(checkers::end_of(pool.p.first_free_block));
                h->using_num = 0;
                auto_plex_alloc(&pool.p);
            },
            "Assertion `ret' failed");
        pool.free(a);
    }
}

plex_block_head g_fake_head = {nullptr, UINT32_MAX, UINT32_MAX, 0};

// Catches two block records claiming the same memory going unnoticed.
TEST(PlexDeathTest, OverlappingBlocks) {
    Pool pool(kItem, 0);
    std::vector<void *> out;
    for (size_t i = 0; i < kStep; i++)
        out.push_back(pool.alloc());
    EXPECT_DEATH(
        {
            // Point the full block at a fake header whose range covers the
            // whole address space above static data, so the next block's
            // memory must fall inside it.
            auto_plex_block *b =
                const_cast<auto_plex_block *>(checkers::block_of(pool.p.using_tree));
            b->ctl.head = &g_fake_head;
            b->ctl.item_size = uint64_t{1} << 20;
            auto_plex_alloc(&pool.p);
        },
        "Assertion `\\(\\(unsigned long\\)\\(get_end_ptr\\(\\(&\\(\\(b1\\)->ctl\\)\\)\\)\\)\\) < "
        "\\(\\(unsigned long\\)get_start_ptr\\(\\(&\\(\\(b2\\)->ctl\\)\\)\\)\\) \\|\\| "
        "\\(\\(unsigned "
        "long\\)\\(get_end_ptr\\(\\(&\\(\\(b2\\)->ctl\\)\\)\\)\\)\\) < \\(\\(unsigned "
        "long\\)get_start_ptr\\(\\(&\\(\\(b1\\)->ctl\\)\\)\\)\\)' failed");
    for (void *p : out)
        pool.free(p);
}
