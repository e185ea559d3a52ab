// The object pool: sizing, hand-out order, growth and release, record reuse,
// the registry, teardown, the pre-allocation marker, out of memory and the
// contract checks.  The walker (testing.h) checks every invariant after each
// scenario.
#include <stdio.h>

#include "auto_plex.h"
#include "testing.h"

namespace {

// A plex cleared when the test ends.
struct Pool {
    auto_plex p;
    Pool(uint64_t item_size, uint64_t max_num) {
        EXPECT_EQ(auto_plex_init(&p, item_size, max_num, "test"), 0);
    }
    ~Pool() { auto_plex_clear(&p); }
    std::vector<void *> take(size_t n) {
        std::vector<void *> v;
        while (n--)
            v.push_back(auto_plex_alloc(&p));
        return v;
    }
    void give(const std::vector<void *> &v, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t i = from; i < std::min(to, v.size()); i++)
            auto_plex_free(&p, v[i]);
    }
};

// item_size 1024 gives 256-slot blocks, small enough to fill by hand.
constexpr uint64_t kItem = 1024;
constexpr size_t kStep = 256;

// A zero-filled control block with its idle list made empty: what clear and a
// failed init leave.
t::AssertionResult cleared(const auto_plex &p) {
    auto_plex expected{};
    expected.idle_blocks.next = expected.idle_blocks.prev =
        const_cast<auto_plex_link *>(&p.idle_blocks);
    if (memcmp(&p, &expected, sizeof p) != 0) return t::AssertionFailure() << "not cleared";
    return t::AssertionSuccess();
}

}  // namespace

// Off-by-one rounding in the sizing, and sizes a block cannot describe
// (wrapping 64 bits or the 32-bit slot count) accepted and later handing out
// a block far smaller than its counters say.
TEST(AutoPlex, SizesBlocksFromItemSizeAndBoundOrRefuses) {
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
        {1024, 127, 1, 256},
        {UINT64_MAX / 2, 3, 0, 0},
        {UINT64_MAX - 100, 0, 0, 0},
        {1, uint64_t{1} << 40, 0, 0},
        {uint64_t{1} << 62, 1, 0, 0},
        {1, uint64_t{16} * (UINT32_MAX - 100), 0, 0},
    };
    long live = ap_fault::live();
    for (const Row &r : rows) {
        auto_plex p;
        memset(&p, 0x5a, sizeof p);
        ASSERT_EQ(auto_plex_init(&p, r.item, r.max, "sizing"), r.step ? 0 : -12) << r.item;
        if (!r.step) {
            EXPECT_TRUE(cleared(p)) << r.item << "," << r.max;
            continue;
        }
        EXPECT_EQ(p.block_num, r.block_num) << r.item << "," << r.max;
        EXPECT_EQ(p.step_alloc_num, r.step) << r.item << "," << r.max;
        EXPECT_EQ(t::idle_count(&p), r.block_num);
        EXPECT_EQ(p.alloc_num, 0u) << "no block before the first allocation";
        EXPECT_STREQ(p.module_name, "sizing");
        auto_plex_clear(&p);
    }
    EXPECT_EQ(plex_registry.next, &plex_registry);
    EXPECT_EQ(ap_fault::live(), live);
}

// A bounded plex over-allocating, growing past its records, or losing a
// freed slot.
TEST(AutoPlex, BoundedPlexStopsAtItsBound) {
    Pool one(32, 1000);
    auto out = one.take(1000);
    EXPECT_EQ(one.p.alloc_num, 1000u) << "one block of exactly max_num slots, not 1024";
    EXPECT_EQ(auto_plex_alloc(&one.p), nullptr);
    EXPECT_EQ(one.p.alloc_failed, 1u);
    EXPECT_EQ(one.p.expand_failed, 0u);
    one.give({out[500]});
    EXPECT_EQ(auto_plex_alloc(&one.p), out[500]);
    EXPECT_TRUE(t::plex_valid(&one.p));

    Pool four(kItem, 600);  // 600 KiB: 4 records, at most 600 slots
    four.take(600);
    EXPECT_EQ(four.p.count_expand, 3u) << "256 + 256 + 88";
    EXPECT_EQ(four.p.alloc_num, 600u);
    EXPECT_EQ(auto_plex_alloc(&four.p), nullptr);
    EXPECT_TRUE(t::plex_valid(&four.p));
}

// Slots out of address order, freed slots not reused last-in first-out, a
// tiny item whose free-list link overruns its slot, or allocation from a
// higher block while a lower one has room.
TEST(AutoPlex, HandsOutTheLowestSlotInTheLowestBlockWithRoom) {
    Pool small(1, 0);
    auto ab = small.take(2);
    EXPECT_EQ(static_cast<char *>(ab[1]) - static_cast<char *>(ab[0]), 8);

    Pool pool(24, 0);
    auto out = pool.take(10);
    EXPECT_EQ(out[0], get_start_ptr(&pool.p.first_free_block->ctl));
    for (int i = 1; i < 10; i++)
        EXPECT_EQ(static_cast<char *>(out[i]), static_cast<char *>(out[0]) + 24 * i);
    pool.give({out[3], out[7]});
    EXPECT_EQ(pool.take(3),
              (std::vector<void *>{out[7], out[3], static_cast<char *>(out[0]) + 240}));

    Pool three(kItem, 0);
    out = three.take(3 * kStep);
    auto blocks = t::blocks_of(&three.p);
    ASSERT_EQ(blocks.size(), 3u);
    auto in = [&](int b) { return get_start_ptr(&blocks[b]->ctl); };
    three.give({in(2)});
    EXPECT_EQ(three.p.first_free_block, blocks[2]);
    three.give({in(0)});
    EXPECT_EQ(three.p.first_free_block, blocks[0]) << "lower than the block that had room first";
    EXPECT_EQ(three.take(2), (std::vector<void *>{in(0), in(2)}));
    EXPECT_EQ(three.p.first_free_block, nullptr);
    EXPECT_TRUE(t::plex_valid(&three.p));
}

// An off-by-one in the 1.5-blocks release threshold, a release without its
// trim, and a released record not reused by the next growth.
TEST(AutoPlex, ReleasesAnEmptyBlockPastOneAndAHalfBlocksFreeAndReusesItsRecord) {
    for (size_t extra_free : {128u, 129u}) {
        Pool pool(kItem, 0);
        auto out = pool.take(3 * kStep);
        pool.give(out, 0, extra_free);  // part of block 0
        long trims = ap_fault::trims();
        pool.give(out, kStep, 2 * kStep);  // all of block 1: 384 or 385 slots free
        bool released = extra_free == 129;
        EXPECT_EQ(pool.p.count_clear, released ? 1u : 0u) << extra_free;
        EXPECT_EQ(pool.p.alloc_num, released ? 2 * kStep : 3 * kStep);
        EXPECT_EQ(ap_fault::trims() - trims, released ? 1 : 0);
        EXPECT_TRUE(t::plex_valid(&pool.p));
        if (!released) continue;

        const auto_plex_link *idle = pool.p.idle_blocks.next;
        pool.take(extra_free);  // refill block 0
        ASSERT_EQ(pool.p.first_free_block, nullptr);
        ap_fault::reset();
        void *p = auto_plex_alloc(&pool.p);
        EXPECT_EQ(ap_fault::calls(), 1) << "only the block memory is allocated";
        EXPECT_EQ(&auto_plex_find_block_internal(&pool.p, p)->idle_link, idle);
        EXPECT_EQ(t::idle_count(&pool.p), 0u);
        EXPECT_TRUE(t::plex_valid(&pool.p));
    }
}

// Registry order, clear unlinking another plex, teardown that leaks or cannot
// be repeated, and a cleared plex that cannot be used again.
TEST(AutoPlex, RegistryAndTeardown) {
    long live = ap_fault::live();
    auto_plex a, b, zero{};
    ASSERT_EQ(auto_plex_init(&a, kItem, 0, "first"), 0);
    ASSERT_EQ(auto_plex_init(&b, 8, 0, "second"), 0);
    EXPECT_EQ(plex_registry.next, &b.plex_link);
    EXPECT_EQ(b.plex_link.next, &a.plex_link);
    EXPECT_EQ(plex_registry.prev, &a.plex_link);
    std::vector<void *> out;
    for (size_t i = 0; i < 5 * kStep; i++)
        out.push_back(auto_plex_alloc(&a));
    for (size_t i = 0; i < kStep; i++)
        auto_plex_free(&a, out[i]);  // an empty block stays
    auto_plex_clear(&a);
    EXPECT_TRUE(cleared(a));
    EXPECT_EQ(plex_registry.next, &b.plex_link);
    EXPECT_EQ(b.plex_link.next, &plex_registry);
    auto_plex_clear(&a);
    EXPECT_TRUE(cleared(a));
    auto_plex_clear(&zero);
    EXPECT_TRUE(cleared(zero));
    ASSERT_EQ(auto_plex_init(&a, 64, 0, "again"), 0);
    auto_plex_free(&a, auto_plex_alloc(&a));
    auto_plex_clear(&a);
    auto_plex_clear(&b);
    EXPECT_EQ(plex_registry.next, &plex_registry);
    EXPECT_EQ(ap_fault::live(), live);
}

// A half-built plex after any failed allocation of init; a growth failure
// that leaks a record, loses an idle one, or is not counted.
TEST(AutoPlex, OutOfMemoryLeavesNothingBehind) {
    long live = ap_fault::live();
    for (long k = 1;; k++) {  // the name, then 16 records
        auto_plex p;
        ap_fault::FailNth fail(k);
        int rc = auto_plex_init(&p, 64, 1000000, "sweep");
        if (rc == 0) {
            EXPECT_EQ(k, 18);
            auto_plex_clear(&p);
            break;
        }
        EXPECT_EQ(rc, -12);
        EXPECT_TRUE(cleared(p)) << k;
        EXPECT_EQ(ap_fault::live(), live) << k;
    }

    Pool pool(kItem, 0);
    auto expect_failures = [&](long k, uint64_t n) {
        ap_fault::FailNth fail(k);
        long before = ap_fault::live();
        EXPECT_EQ(auto_plex_alloc(&pool.p), nullptr);
        EXPECT_EQ(ap_fault::live(), before) << "a new record is given back";
        EXPECT_EQ(pool.p.expand_failed, n);
        EXPECT_EQ(pool.p.alloc_failed, n);
        EXPECT_TRUE(t::plex_valid(&pool.p));
    };
    expect_failures(1, 1);  // block memory, with the idle record from init
    EXPECT_EQ(t::idle_count(&pool.p), 1u);
    pool.take(kStep);
    expect_failures(1, 2);  // a new record
    expect_failures(2, 3);  // a new record's block memory
    EXPECT_NE(auto_plex_alloc(&pool.p), nullptr);
    EXPECT_EQ(pool.p.count_expand, 2u);
}

// The marker ignored, looked up more than once, pre-allocating a block that
// is not zero-filled or not the whole bound, or a failed pre-allocation that
// leaks.  Looked up once per process, so each case runs in a fresh one.
TEST(AutoPlex, MarkerAtFirstInitPreAllocatesEveryPlex) {
    t::in_fresh_process([] {
        std::string path = t::temp_path("marker");
        fclose(fopen(path.c_str(), "w"));
        ap_fault::set_marker_path(path.c_str());
        auto_plex a, b, c;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "unbounded"), 0);
        unlink(path.c_str());
        EXPECT_EQ(a.block_num, 1u);
        EXPECT_EQ(a.alloc_num, 1024u);
        EXPECT_EQ(t::peek(get_start_ptr(&a.first_free_block->ctl), 1024 * 144),
                  std::string(1024 * 144, 0));
        ASSERT_EQ(auto_plex_init(&b, 100, 10000, "bounded"), 0);
        EXPECT_EQ(b.step_alloc_num, 10240u);
        EXPECT_EQ(b.alloc_num, 10000u) << "the whole bound in one block";
        EXPECT_TRUE(t::plex_valid(&b));
        long live = ap_fault::live();
        {
            ap_fault::FailNth fail(3);  // name, record, then the block
            EXPECT_EQ(auto_plex_init(&c, 144, 0, "oom"), -12);
        }
        EXPECT_TRUE(cleared(c)) << "expand_failed is cleared with the rest";
        EXPECT_EQ(ap_fault::live(), live);
    });
    t::in_fresh_process([] {
        std::string path = t::temp_path("marker");
        ap_fault::set_marker_path(path.c_str());
        auto_plex a, b;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "before"), 0);
        fclose(fopen(path.c_str(), "w"));
        ASSERT_EQ(auto_plex_init(&b, 144, 0, "after"), 0);
        unlink(path.c_str());
        EXPECT_EQ(b.alloc_num, 0u) << "a marker made after the first init changes nothing";
    });
}

plex_block_head g_huge_head = {nullptr, UINT32_MAX, UINT32_MAX, 0};

// Checks that are compiled out, or print another condition or function.
TEST(AutoPlex, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pool pool(64, 0), other(64, 0);
    void *theirs = auto_plex_alloc(&other.p);
    auto_plex zero{};
    struct Case {
        std::function<void()> run;
        const char *message;
    } cases[] = {
        {[] { auto_plex_init(nullptr, 8, 0, "x"); }, "auto_plex_init: Assertion `me' failed"},
        {[&] { auto_plex_init(&zero, 0, 0, "x"); }, "Assertion `item_size > 0' failed"},
        {[&] { auto_plex_init(&zero, 8, 0, nullptr); }, "Assertion `module_name' failed"},
        {[] { auto_plex_alloc(nullptr); }, "auto_plex_alloc: Assertion `me' failed"},
        {[] { auto_plex_free(nullptr, &g_huge_head); }, "auto_plex_free: Assertion `me' failed"},
        {[] { auto_plex_clear(nullptr); }, "auto_plex_clear: Assertion `me' failed"},
        {[&] { auto_plex_free(&pool.p, nullptr); }, "auto_plex_free: Assertion `ptr' failed"},
        {[&] { auto_plex_free(&pool.p, theirs); },
         "auto_plex_free: Assertion `me->using_tree' failed"},
        {[&] { auto_plex_alloc(&zero); }, "plex_init_internal: Assertion `me && item_size' failed"},
        {[&] {
             auto_plex_alloc(&pool.p);
             auto_plex_free(&pool.p, theirs);
         },
         "auto_plex_free: Assertion `avl_node' failed"},
        {[&] {
             auto_plex_alloc(&pool.p);
             auto_plex_free(&pool.p, get_end_ptr(&pool.p.first_free_block->ctl));
         },
         "Assertion `avl_node' failed"},  // one past the last slot
        {[&] {
             pool.p.using_num = 3;
             auto_plex_alloc(&pool.p);
         },
         "Assertion `me->using_num == me->alloc_num' failed"},
        {[&] {
             auto_plex_alloc(&pool.p);
             pool.p.first_free_block->ctl.head = nullptr;
             auto_plex_alloc(&pool.p);
         },
         "plex_alloc_internal: Assertion `me && me->head' failed"},
        {[&] {
             auto_plex_alloc(&pool.p);
             plex_block_head *h = plex_head_of(&pool.p.first_free_block->ctl);
             h->fresh_slot = get_end_ptr(&pool.p.first_free_block->ctl);  // room it does not have
             auto_plex_alloc(&pool.p);
         },
         "Assertion `ret' failed"},
        {[&] {
             // A full block whose range covers every address above static
             // data: the next block's memory must overlap it.
             Pool full(kItem, 0);
             full.take(kStep);
             plex_block_of_node(full.p.using_tree)->ctl.head = &g_huge_head;
             plex_block_of_node(full.p.using_tree)->ctl.item_size = uint64_t{1} << 20;
             auto_plex_alloc(&full.p);
         },
         "Assertion `\\(\\(unsigned long\\)\\(get_end_ptr\\(\\(&\\(\\(b1\\)->ctl\\)\\)\\)\\)\\) < "
         "\\(\\(unsigned long\\)get_start_ptr\\(\\(&\\(\\(b2\\)->ctl\\)\\)\\)\\) \\|\\| "
         "\\(\\(unsigned "
         "long\\)\\(get_end_ptr\\(\\(&\\(\\(b2\\)->ctl\\)\\)\\)\\)\\) < \\(\\(unsigned "
         "long\\)get_start_ptr\\(\\(&\\(\\(b1\\)->ctl\\)\\)\\)\\)' failed"},
    };
    for (const Case &c : cases)
        EXPECT_DEATH(c.run(), c.message);
    auto_plex_free(&other.p, theirs);
}
