// The object pool's documented values and boundaries: sizing, the release
// threshold, record reuse, the registry and teardown, out of memory at init,
// the pre-allocation marker and the contract checks.  Hand-out order, growth
// failures and every invariant after random steps are the randomized run's
// (fuzz/fuzz_walk.cpp).

#include "testing.h"

namespace {

// item_size 1024 gives 256-slot blocks, small enough to fill by hand.
constexpr uint64_t kItem = 1024;
constexpr size_t kStep = 256;

std::vector<void *> take(auto_plex *p, size_t n) {
    std::vector<void *> v(n);
    std::generate(v.begin(), v.end(), [p] { return auto_plex_alloc(p); });
    return v;
}

// What clear and a failed init leave: all zero, idle_blocks an empty list.
bool cleared(const auto_plex &p) {
    auto_plex expected{};
    expected.idle_blocks.next = expected.idle_blocks.prev =
        const_cast<auto_plex_link *>(&p.idle_blocks);
    return !memcmp(&p, &expected, sizeof p);
}

}  // namespace

// Off-by-one rounding in the sizing, and sizes a block cannot describe
// (wrapping 64 bits or the 32-bit slot count) accepted or leaving a
// half-built plex.  Init's allocation failures are the randomized run's.
TEST(AutoPlex, SizesBlocksOrRefuses) {
    struct Row {
        uint64_t item, max, block_num, step;
    } rows[] = {
        // clang-format off
        {144, 0, 1, 1024}, {16, 0, 1, 8192}, {8208, 0, 1, 256}, {1, 0, 1, 131072}, {32, 1000, 1, 1024},
        {100, 10000, 7, 1536}, {64, 1000000, 16, 62720}, {1, 1, 1, 256}, {1024, 127, 1, 256},
        {UINT64_MAX / 2, 3, 0, 0}, {UINT64_MAX - 100, 0, 0, 0}, {1, uint64_t{1} << 40, 0, 0},
        {uint64_t{1} << 62, 1, 0, 0}, {1, uint64_t{16} * (UINT32_MAX - 100), 0, 0},
        {1, uint64_t{16} * (UINT32_MAX - 255), 16, UINT32_MAX - 255},  // the largest block
        // clang-format on
    };
    const long live = ap_fault::live;
    for (const Row &r : rows) {
        auto_plex p;
        memset(&p, 0x5a, sizeof p);
        ASSERT_EQ(auto_plex_init(&p, r.item, r.max, "sizing"), r.step ? 0 : -12) << r.item;
        EXPECT_TRUE((r.step || cleared(p)) && p.alloc_num == 0 && p.block_num == r.block_num &&
                    p.step_alloc_num == r.step && t::idle_count(&p) == r.block_num)
            << r.item << "," << r.max;
        auto_plex_clear(&p);
    }
    EXPECT_EQ(ap_fault::live, live);
}

// An off-by-one in the 1.5-blocks release threshold (the randomized run
// checks the policy at every release, but rarely at the boundary); registry
// order; clear unlinking another plex; teardown that leaks or cannot repeat;
// a growth refused the granule map's leaf that leaks its block or goes
// uncounted, or a block past the map's range accepted.
TEST(AutoPlex, ReleaseThresholdRegistryAndTeardown) {
    auto_plex_release_idle();  // what earlier cases left idle
    const long live = ap_fault::live - long(granule_map_leaves_internal());
    auto_plex p[2], zero{};
    for (size_t extra_free : {128u, 129u}) {  // then all of block 1: 384 or 385 slots free
        auto_plex_init(&p[extra_free & 1], kItem, 0, "release");
        auto out = take(&p[extra_free & 1], 3 * kStep);
        for (size_t i = 0; i < kStep + extra_free; i++)
            auto_plex_free(&p[extra_free & 1], out[i < extra_free ? i : i - extra_free + kStep]);
        EXPECT_EQ(p[extra_free & 1].count_clear, extra_free & 1);
    }
    EXPECT_TRUE(plex_registry.next == &p[1].plex_link && p[1].plex_link.next == &p[0].plex_link &&
                plex_registry.prev == &p[0].plex_link);  // newest first
    auto_plex_clear(&p[0]);
    EXPECT_TRUE(cleared(p[0]) && plex_registry.next == &p[1].plex_link &&
                p[1].plex_link.next == &plex_registry);
    auto_plex_clear(&p[0]), auto_plex_clear(&zero), auto_plex_clear(&p[1]);
    EXPECT_TRUE(cleared(p[0]) && cleared(zero) && plex_registry.next == &plex_registry);
    EXPECT_EQ(auto_plex_release_idle(), kStep * kItem + PLEX_BLOCK_HEAD_SIZE) << "p[1]'s block 1";
    EXPECT_EQ(ap_fault::live - long(granule_map_leaves_internal()), live);
    t::in_fresh_process([&] {
        static granule_slot *kept[std::size(g_granule_root)];  // still reachable for the leak check
        memcpy(kept, g_granule_root, sizeof kept);
        memset(g_granule_root, 0, sizeof g_granule_root);  // every range needs a leaf again
        auto_plex_init(&p[0], kItem, 0, "leaf");
        const long before = ap_fault::live;
        ap_fault::FailNth fail(3);  // the directory, the block, then the leaf
        EXPECT_TRUE(!auto_plex_alloc(&p[0]) && p[0].expand_failed == 1 && p[0].alloc_failed == 1 &&
                    ap_fault::live == before + 1 && !p[0].using_tree);  // the directory stays
        auto_plex_free(&p[0], auto_plex_alloc(&p[0]));
        EXPECT_TRUE(p[0].using_num == 0 && granule_map_leaves_internal() > 0);
        EXPECT_FALSE(granule_map_reserve(uintptr_t{1} << 48, (uintptr_t{1} << 48) + 64));
        auto_plex_clear(&p[0]);
    });
}

// The environment's policy and delay not read by the first init, a call not
// taking over from them, or an unknown policy or a delay past the longest
// accepted.  How each policy treats a release is the randomized run's.
TEST(AutoPlex, ReleasePolicyAndDelayFromTheEnvironmentThenACall) {
    t::in_fresh_process([] {
        ap_fault::release_setting = "trim";
        auto_plex p;
        auto_plex_init(&p, kItem, 0, "trim");
        for (void *slot : take(&p, 3 * kStep))  // the second and third block go back
            auto_plex_free(&p, slot);
        EXPECT_TRUE(ap_fault::trims == 2 && ap_fault::returned == 0 &&
                    auto_plex_set_release_policy(AUTO_PLEX_RELEASE_PAGES) == 0);
        for (void *slot : take(&p, 3 * kStep))
            auto_plex_free(&p, slot);
        EXPECT_EQ(auto_plex_release_state_internal().dirty, 2 * t::block_bytes(p.first_free_block));
        EXPECT_TRUE(auto_plex_set_release_policy(3) == -22 &&
                    auto_plex_set_release_policy(-1) == -22 &&
                    auto_plex_set_release_delay(AUTO_PLEX_RELEASE_DELAY_MAX_MS + 1) == -22 &&
                    auto_plex_set_release_delay(AUTO_PLEX_RELEASE_DELAY_MAX_MS) == 0);
        auto_plex_clear(&p);
    });
    // The delay read from the environment (a bad one ignored): a drained
    // pool's blocks wait, a refill takes them back without the system
    // allocator, and one goes back at the first release after its delay.
    for (const char *delay : {"250", "25x"})
        t::in_fresh_process([delay] {
            ap_fault::delay_setting = delay;
            ap_fault::now_ns = uint64_t{1} << 40;
            const uint64_t wait = strcmp(delay, "250") ? 1000 : 250;
            auto_plex p;
            auto_plex_init(&p, kItem, 0, "delay");
            std::vector<void *> out = take(&p, 3 * kStep);
            for (void *slot : out)
                auto_plex_free(&p, slot);
            const long calls = ap_fault::calls;
            auto refill = take(&p, 3 * kStep);
            EXPECT_TRUE(ap_fault::calls == calls &&
                        std::is_permutation(refill.begin(), refill.end(), out.begin()));
            for (void *slot : refill)
                auto_plex_free(&p, slot);
            ap_fault::now_ns += (wait - 1) * 1000000;
            out = take(&p, 2 * kStep);  // a growth: both are young, the newest is reused
            ap_fault::now_ns += 1000000;
            for (void *slot : out)  // a release: the other one has aged out
                auto_plex_free(&p, slot);
            EXPECT_TRUE(ap_fault::returned == 1 &&
                        auto_plex_release_state_internal().idle_count == 1)
                << delay;
            const long trims = ap_fault::trims;
            EXPECT_EQ(auto_plex_release_idle(), t::block_bytes(p.first_free_block));
            EXPECT_TRUE(auto_plex_release_idle() == 0 && ap_fault::trims == trims + 1);
            auto_plex_clear(&p);
        });
}

// The marker ignored, looked up more than once, or pre-allocating a block
// that is not zero-filled or not the whole bound.  It is looked up once per
// process, so each case runs in a fresh one.
TEST(AutoPlex, MarkerAtFirstInitPreAllocatesEveryPlex) {
    t::in_fresh_process([] {
        std::string path = t::temp_path("marker");
        fclose(fopen(path.c_str(), "w"));
        ap_fault::marker_path = path.c_str();
        auto_plex a, b, c;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "unbounded"), 0);
        unlink(path.c_str());
        EXPECT_TRUE(a.block_num == 1 && a.alloc_num == 1024);
        std::string bytes;
        EXPECT_EQ(t::peek(bytes, get_start_ptr(&a.first_free_block->ctl), 1024 * 144),
                  std::string(1024 * 144, 0));
        ASSERT_EQ(auto_plex_init(&b, 100, 10000, "bounded"), 0);
        EXPECT_TRUE(b.step_alloc_num == 10240 && b.alloc_num == 10000) << "the bound in one block";
        ap_fault::FailNth fail(3);  // name, record, then the block
        EXPECT_EQ(auto_plex_init(&c, 144, 0, "oom"), -12);
        EXPECT_TRUE(cleared(c)) << "expand_failed is cleared with the rest";
        auto_plex_clear(&a), auto_plex_clear(&b);
    });
    t::in_fresh_process([] {
        std::string path = t::temp_path("marker");
        ap_fault::marker_path = path.c_str();
        auto_plex a, b;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "before"), 0);
        fclose(fopen(path.c_str(), "w"));
        ASSERT_EQ(auto_plex_init(&b, 144, 0, "after"), 0);
        unlink(path.c_str());
        EXPECT_EQ(b.alloc_num, 0u) << "a marker made after the first init changes nothing";
        auto_plex_clear(&a), auto_plex_clear(&b);
    });
}

plex_block_head g_huge_head = {nullptr, UINT32_MAX, UINT32_MAX, 0};

// Checks that are compiled out, or print another condition or function.
TEST(AutoPlex, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto_plex pool, other, zero{};
    auto_plex_init(&pool, 64, 0, "pool"), auto_plex_init(&other, 64, 0, "other");
    void *theirs = auto_plex_alloc(&other);
    auto ctl = [&pool] { return &pool.first_free_block->ctl; };
    std::pair<std::function<void()>, const char *> cases[] = {
        {[] { auto_plex_init(nullptr, 8, 0, "x"); }, "auto_plex_init: Assertion `me' failed"},
        {[&] { auto_plex_init(&zero, 0, 0, "x"); }, "Assertion `item_size > 0' failed"},
        {[&] { auto_plex_init(&zero, 8, 0, nullptr); }, "Assertion `module_name' failed"},
        {[] { auto_plex_alloc(nullptr); }, "auto_plex_alloc: Assertion `me' failed"},
        {[] { auto_plex_free(nullptr, &g_huge_head); }, "auto_plex_free: Assertion `me' failed"},
        {[] { auto_plex_clear(nullptr); }, "auto_plex_clear: Assertion `me' failed"},
        {[&] { auto_plex_free(&pool, nullptr); }, "auto_plex_free: Assertion `ptr' failed"},
        {[&] { auto_plex_free(&pool, theirs); },
         "auto_plex_free: Assertion `me->using_tree' failed"},
        {[&] { auto_plex_clear(&zero), auto_plex_alloc(&zero); },
         "plex_init_internal: Assertion `me && item_size' failed"},
        {[&] { auto_plex_alloc(&pool), auto_plex_free(&pool, theirs); },
         "auto_plex_free: Assertion `avl_node' failed"},
        {[&] { auto_plex_alloc(&pool), auto_plex_free(&pool, get_end_ptr(ctl())); },
         "Assertion `avl_node' failed"},  // one past the last slot
        {[&] { pool.using_num = 3, auto_plex_alloc(&pool); },
         "Assertion `me->using_num == me->alloc_num' failed"},
        {[&] { auto_plex_alloc(&pool), ctl()->head = nullptr, auto_plex_alloc(&pool); },
         "plex_alloc_internal: Assertion `me && me->head' failed"},
        {[&] {  // room claimed that the block does not have
             auto_plex_alloc(&pool), plex_head_of(ctl())->fresh_slot = get_end_ptr(ctl());
             auto_plex_alloc(&pool);
         },
         "Assertion `ret' failed"},
        {[&] {  // a full block covering all above static data: the next must overlap it
             auto_plex_init(&pool, kItem, 0, "full"), take(&pool, kStep);
             plex_block_of_node(pool.using_tree)->ctl.head = &g_huge_head;
             plex_block_of_node(pool.using_tree)->ctl.item_size = uint64_t{1} << 20;
             auto_plex_alloc(&pool);
         },
         "Assertion `..unsigned long..get_end_ptr..&..b1.->ctl..... < ..unsigned long.get_start_ptr"
         "..&..b2.->ctl.... .. ..unsigned long..get_end_ptr..&..b2.->ctl..... < ..unsigned long"
         ".get_start_ptr..&..b1.->ctl....' failed"},  // a parenthesis or a bar: "."
    };
    for (const auto &[run, message] : cases)
        EXPECT_DEATH(run(), message);
    auto_plex_clear(&pool), auto_plex_clear(&other);
}

// Debug builds check the lock order: a thread holding a plex's lock may not
// take the plex registry's, which a report holds while it takes plexes'.
TEST(AutoPlexDeath, LockTakenAgainstTheOrderStops) {
#ifdef NDEBUG
    GTEST_SKIP() << "the order is checked in debug builds";
#else
    auto_plex pool;
    ASSERT_EQ(auto_plex_init(&pool, 16, 0, "ordered"), 0);
    EXPECT_DEATH(
        {
            ap_lock_take(plex_lock_of(&pool), kRankPlex);
            ap_lock_take(plex_registry_lock_internal(), kRankPlexRegistry);
        },
        "ap_lock_take: Assertion `no lock of this rank or above is held' failed");
    auto_plex_clear(&pool);
#endif
}
