// pmem's documented values: start-up, the published size examples, the
// header's bytes, exact counting of every call, resizing, the pass-through
// before pmem_init and the contract checks.  Pool choice, counters and
// failures after random steps are the randomized run's.
#include <signal.h>

#include "ap_stats.h"
#include "private/pmem_private.h"
#include "testing.h"

using namespace std::string_literals;

namespace {

// Every counter of pmem, compared whole: an extra change fails too.
struct Counters {
    pool_statis pools[PMEM_POOL_ID_N];
    module_statis modules[PMEM_MID_N];
    Counters() {
        memcpy(pools, pmem_pool_stats, sizeof pools);
        memcpy(modules, pmem_module_stats, sizeof modules);
    }
    void count(unsigned mid, unsigned pool, uint64_t bytes, bool freed = false) {
        (freed ? pools[pool].free_count : pools[pool].alloc_count)++;
        (freed ? modules[mid].free_size : modules[mid].alloc_size) += bytes;
        (freed ? modules[mid].free_count : modules[mid].alloc_count)[pool]++;
    }
    bool now() const {
        return !memcmp(pools, pmem_pool_stats, sizeof pools) &&
               !memcmp(modules, pmem_module_stats, sizeof modules);
    }
};

class Pmem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pmem_inited) pmem_init();
    }
};

}  // namespace

// Pools sized or registered wrongly, or a pool 26 with a plex.  Names are
// the reports' to check, the pool serving each size the randomized run's.
TEST_F(Pmem, InitRegistersOnePlexPerPool) {
    const auto_plex_link *l = &plex_registry;
    for (int p = PMEM_POOL_ID_N - 2; p >= 0; p--) {
        ASSERT_EQ(l = l->next, &pmem_pools[p].pool_plex.plex_link)
            << "registered in pool order, newest first";
        EXPECT_EQ(pmem_pools[p].pool_plex.item_size, pmem_pool_sizes[p] + 16u);
    }
    EXPECT_EQ(l->next, &plex_registry);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&pmem_pools[26].pool_plex), sizeof(auto_plex)),
              std::string(sizeof(auto_plex), 0));
}

// Header fields at the wrong offset or width, bytes pmem must not touch being
// written, or a release that leaves the magic in place.
TEST_F(Pmem, HeaderBytesBeforeAndAfterRelease) {
    void *keep = pmem_malloc(7, 100);  // keeps the block live after the release
    auto *p = static_cast<unsigned char *>(pmem_malloc(7, 100)), *h = p - 16;
    const std::string magic = "\xfb\x25\xc9\x69\x5f\x52\xb8\x18";
    auto head = [h](size_t n) { return std::string(reinterpret_cast<char *>(h), n); };
    EXPECT_EQ(head(12), magic + "\x04\0\x07\0"s);
    h[12] = 0x80, h[13] = 0xab;  // a flag bit pmem does not own, the freed bit clear
    pmem_free(p);
    std::string released;
    t::peek(released, h, 16);
    EXPECT_TRUE(released.substr(0, 8) != magic && released.substr(8, 6) == "\x04\0\x07\0\x81\xab"s)
        << "magic gone, freed bit set, the rest kept";
    ASSERT_EQ(pmem_malloc(9, 100), p) << "the most recently freed slot";
    EXPECT_EQ(head(14), magic + "\x04\0\x09\0\x80\xab"s);
    pmem_free(p), pmem_free(keep);
}

// calloc leaving stale bytes, string copies of the wrong length, requests
// above 1 GiB or wrapping that allocate or count, and the 1 GiB boundary and
// the size-0 rule of a resize.  Counts after random steps are the walk's.
TEST_F(Pmem, EdgesOfEveryCall) {
    Counters c;
    void *a = pmem_malloc(4, 100);
    memset(a, 0xaa, 128), pmem_free(a);
    auto *z = static_cast<unsigned char *>(pmem_calloc(4, 10, 10));
    ASSERT_EQ(z, a) << "the same slot, so stale bytes would show";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(z), 101), std::string(100, 0) + "\xaa");
    char *n3 = pmem_strndup(8, "abcdef", 3), *whole = pmem_strndup(8, "abcdef", 100);
    EXPECT_TRUE(!strcmp(n3, "abc") && !strcmp(whole, "abcdef") && !pmem_strdup(8, nullptr) &&
                !pmem_strndup(8, nullptr, 3) && !pmem_malloc(3, (size_t{1} << 30) + 1) &&
                !pmem_calloc(3, size_t{1} << 16, size_t{1} << 15) &&
                !pmem_calloc(3, (SIZE_MAX >> 4) + 2, 16));
    c.count(4, 4, 128), c.count(4, 4, 128, true), c.count(4, 4, 128), c.count(8, 1, 16),
        c.count(8, 1, 16);
    EXPECT_TRUE(c.now());
    char *big = static_cast<char *>(pmem_realloc(3, nullptr, 10000));
    EXPECT_EQ(pmem_ptr2size(big), malloc_usable_size(pmem_header_of(big)) - 16) << "pool 26";
    memcpy(big, "\x00\x01\x02", 3);
    EXPECT_EQ(pmem_realloc(3, big, (size_t{1} << 30) + 1), nullptr);
    char *huge = static_cast<char *>(pmem_realloc(3, big, size_t{1} << 30));
    ASSERT_NE(huge, nullptr) << "exactly 1 GiB is served";
    EXPECT_EQ(memcmp(huge, "\x00\x01\x02", 3), 0);
    void *zero = pmem_realloc(3, huge, 0);
    EXPECT_EQ(pmem_header_of(zero)->pool_id, 0u) << "size 0: released, then a zero-size area";
    pmem_free(zero), pmem_free(z), pmem_free(n3), pmem_free(whole);
}

// Large areas (pool 26) not counted with the pools' memory, or a trim that
// comes too early, never, or more than once per eighth of the holdings.
TEST_F(Pmem, LargeAreasReleasedPastTheSlackCallForOneTrim) {
    auto_plex_set_release_policy(AUTO_PLEX_RELEASE_PAGES);
    std::vector<void *> areas(40);
    for (void *&a : areas)
        a = pmem_malloc(2, 65536);
    const plex_release_state before = auto_plex_release_state_internal();
    const long trims = ap_fault::trims;
    size_t released = 0;
    for (void *a : areas) {
        released += pmem_ptr2size(a) + 16;
        pmem_free(a);
        const plex_release_state now = auto_plex_release_state_internal();
        EXPECT_EQ(now.held, before.held - released);
        if (now.dirty == 0) break;  // trimmed
    }
    const size_t slack = std::max<size_t>(AUTO_PLEX_RELEASE_SLACK, before.held / 8);
    EXPECT_TRUE(ap_fault::trims == trims + 1 && before.dirty + released > slack &&
                before.dirty + released - 65552 <= slack);
    // Delayed, the idle table holds 1,024 areas: the oldest goes back at once.
    auto_plex_set_release_policy(AUTO_PLEX_RELEASE_DELAY);
    ap_fault::now_ns = uint64_t{1} << 40;
    for (void *&a : areas = std::vector<void *>(1100))
        a = pmem_malloc(2, 10000);
    const long returned = ap_fault::returned;
    for (void *a : areas)
        pmem_free(a);
    EXPECT_TRUE(auto_plex_release_state_internal().idle_count == 1024 &&
                ap_fault::returned == returned + 76);
    auto_plex_release_idle();
    ap_fault::now_ns = 0;
}

// A live walk that visits a released slot, a slot of a block given back, or
// a never-used slot that holds a live-looking header; ignores its filter, or
// a "stop" (going on to the next slot or the large areas, or not saying how
// far it got).
TEST_F(Pmem, LiveWalkVisitsExactlyTheLiveAllocations) {
    std::vector<void *> out(800);  // pool 13: 256 slots a block
    for (size_t i = 0; i < out.size(); i++)
        out[i] = pmem_malloc(i % 5 ? 5 : 6, 1000);
    std::set<void *> live;
    for (size_t i = 0; i < out.size(); i++)  // blocks go back, released slots stay
        if (i % 7 || i >= 700)
            pmem_free(out[i]);
        else if (i % 5)
            live.insert(out[i]);
    for (int i = 0; i < 300; i++)  // regrown
        live.insert(pmem_malloc(5, 1000));
    const auto_plex *pool = &pmem_pools[13].pool_plex;
    const auto fresh_slot = [pool]() -> char * {  // the regrowth goes on into a new block
        const auto_plex_block *b = pool->first_free_block;
        char *at = b ? plex_head_of(&b->ctl)->fresh_slot : nullptr;
        return at && at < get_end_ptr(&b->ctl) ? at : nullptr;
    };
    char *fresh;
    while (!(fresh = fresh_slot()))
        live.insert(pmem_malloc(5, 1000));
    t::with_open(fresh, 16, [&] { memcpy(fresh, pmem_header_of(*live.begin()), 16); });
    std::set<void *> seen;
    auto collect = [](const pmem_live_area *a, void *ctx) -> int {
        return static_cast<std::set<void *> *>(ctx)->insert(a->ptr), a->usable_size != 1024;
    };
    EXPECT_EQ(pmem_walk_live(5, collect, &seen), long(live.size()));
    EXPECT_TRUE(seen == live && pool->count_clear > 0);
    seen.clear();
    EXPECT_EQ(pmem_walk_live(6, collect, &seen), 20) << "every 35th of the first 700";
    void *large = pmem_malloc(5, 20000);  // walked after every pool
    auto countdown = [](const pmem_live_area *, void *c) {
        return int(--*static_cast<long *>(c) == 0);
    };
    for (long stop_at : {1L, long(live.size())}) {  // a "stop" at the first, at the last slot
        long left = stop_at;
        EXPECT_TRUE(pmem_walk_live(5, countdown, &left) == stop_at && left == 0) << stop_at;
    }
    pmem_free(large);
    for (void *p : live)
        pmem_free(p);
    for (size_t i = 0; i < 700; i += 35)
        pmem_free(out[i]);
}

// A ceiling tested on usable rather than requested bytes or off by one; a
// refusal counted as the pool's failure, missing from the module's, or
// leaking; calloc, a moving realloc or pool 26 let through; a shortage that
// leaves its reservation behind; 0 that does not remove the ceiling.
TEST_F(Pmem, CeilingRefusesRequestsPastIt) {
    pmem_set_module_mem_limit(300, 9);
    void *a = pmem_malloc(9, 100);  // 128 usable
    const uint64_t pool5_failed = pmem_pool_stats[5].fail_count;
    EXPECT_TRUE(!pmem_malloc(9, 173) && !pmem_calloc(9, 173, 1) && !pmem_realloc(9, a, 173));
    void *b = pmem_malloc(9, 172);  // the requests reach the ceiling exactly
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pmem_realloc(9, b, 200), b) << "in place: not tested, though 384 bytes are held";
    std::vector<pmem_module_snapshot> m(PMEM_MID_N);
    pmem_take_module_snapshot(m.data(), PMEM_MID_N);
    EXPECT_TRUE(m[9].limit == 300 && m[9].over_limit_failed == 3 && m[9].fail_count[5] == 3 &&
                m[9].live_bytes == 384 && pmem_pool_stats[5].fail_count == pool5_failed);
    pmem_free(a), pmem_free(b);
    pmem_set_module_mem_limit(0, 9);
    void *big = pmem_malloc(9, 10000);
    ASSERT_NE(big, nullptr) << "the ceiling removed";
    pmem_set_module_mem_limit(10000 + pmem_ptr2size(big), 9);
    const long sys_live = ap_fault::live;
    EXPECT_TRUE(!pmem_realloc(9, big, 10001) && !pmem_calloc(9, 10001, 1)) << "moving: old counts";
    ap_fault::countdown = 1;
    EXPECT_EQ(pmem_malloc(9, 9000), nullptr) << "a shortage";
    EXPECT_EQ(ap_fault::live, sys_live) << "a refusal or a shortage leaked";
    void *exact = pmem_malloc(9, 10000);
    EXPECT_NE(exact, nullptr) << "a reservation left behind";
    pmem_take_module_snapshot(m.data(), PMEM_MID_N);
    EXPECT_TRUE(m[9].over_limit_failed == 5 && m[9].fail_count[26] == 3 &&
                pmem_pool_stats[26].fail_count == 1);
    pmem_free(big), pmem_free(exact);
}

// A write after release unseen, or reported with the wrong pool, module or
// offset; a false alarm for a slot released before poisoning was switched
// on, or while it was off; a fill while off.
TEST_F(Pmem, PoisonCatchesAWriteAfterRelease) {
    void *keep = pmem_malloc(3, 64);  // keeps the block; pool 3
    auto *p = static_cast<char *>(pmem_malloc(3, 64));
    std::string seen;
    for (int on : {0, 1}) {  // on, then off and on again
        memset(p, 0x11, 64), pmem_free(p);
        EXPECT_EQ(t::peek(seen, p, 64), std::string(64, 0x11)) << "no fill while off";
        pmem_set_poison(1);
        EXPECT_EQ(t::peek(seen, p, 64), std::string(64, '\xa5')) << "filled when switched on";
        ASSERT_EQ(pmem_malloc(3, 64), p) << "checked without a false alarm";
        if (!on) pmem_set_poison(0);
    }
    EXPECT_TRUE(pmem_poison_internal());
    pmem_free(p);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((t::with_open(p + 41, 1, [&] { p[41] = 0; }), pmem_malloc(7, 50)),
                 "^pmem: use after release: pmem_pool_64 slot 0x[0-9a-f]+ released by module "
                 "parser damaged at offset 41\n$");
    pmem_free(keep);
}

// A call served by a pool, counted or module-checked before pmem_init, or a
// failed pass-through not reported as null.
TEST(PmemBeforeInit, EveryCallPassesToTheSystemAllocator) {
    t::in_fresh_process([] {
        ASSERT_EQ(pmem_inited, 0);
        Counters c;
        ap_fault::calls = 0;
        const long live = ap_fault::live;
        void *a = pmem_realloc(500, pmem_malloc(500, 10), 100000), *b = pmem_calloc(500, 4, 4);
        char *d = pmem_strdup(500, "abc"), *n = pmem_strndup(500, "abcdef", 2);
        EXPECT_TRUE(ap_fault::calls == 5 && ap_fault::live == live + 4 && !strcmp(n, "ab") &&
                    !strcmp(d, "abc") && !*static_cast<int *>(b));
        pmem_free(a), pmem_free(b), pmem_free(d), pmem_free(n), pmem_free(nullptr);
        ap_fault::FailNth fail(1);
        EXPECT_TRUE(!pmem_malloc(1, 10) && c.now() && ap_fault::live == live);
    });
}

// A ceiling or poisoning set before pmem_init that is lost at it.
TEST(PmemBeforeInit, CeilingAndPoisonApplyFromInit) {
    t::in_fresh_process([] {
        pmem_set_module_mem_limit(100, 2), pmem_set_poison(1);
        pmem_free(pmem_malloc(2, 200)), pmem_init();
        EXPECT_EQ(pmem_malloc(2, 101), nullptr);
        void *keep = pmem_malloc(2, 100), *p = pmem_malloc(0, 100);
        pmem_free(p);
        std::string seen;
        EXPECT_EQ(t::peek(seen, p, 128), std::string(128, '\xa5'));
        pmem_free(keep);
    });
}

// Checks that are missing, let a bad header reach the pools, or print another line.
TEST_F(Pmem, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (auto call : std::vector<std::function<void()>>{
             [] { pmem_malloc(PMEM_MID_N, 1); }, [] { pmem_calloc(PMEM_MID_N, 1, 1); },
             [] { pmem_realloc(PMEM_MID_N, nullptr, 1); }, [] { pmem_strdup(PMEM_MID_N, "x"); },
             [] { pmem_strndup(PMEM_MID_N, "x", 1); },
             [] { pmem_set_module_mem_limit(1, PMEM_MID_N); }})
        EXPECT_DEATH(call(), "Assertion `mid < PMEM_MID_N' failed");
    void *keep = pmem_malloc(0, 100), *pool5 = pmem_malloc(0, 200);  // live blocks; none in pool 6
    auto *p = static_cast<unsigned char *>(pmem_malloc(0, 100));
    auto aborts = ::testing::KilledBySignal(SIGABRT);
    EXPECT_EXIT(pmem_init(), aborts, "^$");
    EXPECT_EXIT((p[-16] ^= 1, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-16] ^= 1, pmem_realloc(0, p, 200)), aborts, "^$");
    EXPECT_EXIT((p[-8] = 27, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-6] = 129, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-4] |= 1, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((pmem_free(p), pmem_free(p)), aborts, "^$");
    // A header naming a pool that does not hold the slot: auto_plex_free's own line.
    const std::string line = "^[^ ]+: [^ ]*auto_plex\\.cpp:[0-9]+: auto_plex_free: Assertion `";
    EXPECT_DEATH((p[-8] = 5, pmem_free(p)), line + "avl_node' failed\\.\n$");
    EXPECT_DEATH((p[-8] = 5, pmem_realloc(0, p, 20)), line + "avl_node' failed\\.\n$");
    EXPECT_DEATH((p[-8] = 6, pmem_realloc(0, p, 0)), line + "me->using_tree' failed\\.\n$");
    pmem_free(p), pmem_free(keep), pmem_free(pool5);
}
