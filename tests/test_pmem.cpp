// pmem: start-up, size classes, the header, exact counting of every call,
// resizing, out of memory, the pass-through before pmem_init and the
// contract checks.  Counters are compared whole: every change a call makes
// is listed, so an extra change fails too.
#include <signal.h>

#include "pmem.h"
#include "private/pmem_private.h"
#include "testing.h"

namespace {

struct Counters {
    pool_statis pools[PMEM_POOL_ID_N];
    module_statis modules[PMEM_MID_N];
    Counters() {
        memcpy(pools, pmem_pool_stats, sizeof pools);
        memcpy(modules, pmem_module_stats, sizeof modules);
    }
    void alloc(unsigned mid, unsigned pool, uint64_t bytes) {
        pools[pool].alloc_count++;
        modules[mid].alloc_size += bytes;
        modules[mid].alloc_count[pool]++;
    }
    void free(unsigned mid, unsigned pool, uint64_t bytes) {
        pools[pool].free_count++;
        modules[mid].free_size += bytes;
        modules[mid].free_count[pool]++;
    }
    void fail(unsigned mid, unsigned pool) {
        pools[pool].fail_count++;
        modules[mid].fail_count[pool]++;
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

unsigned pool_of(const void *p) {
    return pmem_header_of(p)->pool_id;
}

}  // namespace

// Pools named, sized or registered wrongly, a pool 26 with a plex, or
// module records without their names.
TEST_F(Pmem, InitBuildsThePools) {
    const auto_plex_link *l = &plex_registry;
    for (int p = PMEM_POOL_ID_N - 2; p >= 0; p--) {
        l = l->next;
        ASSERT_EQ(l, &pmem_pools[p].pool_plex.plex_link)
            << "registered in pool order, newest first";
        EXPECT_EQ(pmem_pools[p].pool_plex.item_size, pmem_pool_sizes[p] + 16u);
    }
    EXPECT_EQ(l->next, &plex_registry);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&pmem_pools[26].pool_plex), sizeof(auto_plex)),
              std::string(sizeof(auto_plex), 0));
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        EXPECT_EQ(pmem_pool_stats[p].name, pmem_pools[p].name);
        EXPECT_EQ(pmem_pools[p].name, "pmem_pool_" + std::to_string(pmem_pool_sizes[p]));
        EXPECT_EQ(pmem_pools[p].size, pmem_pool_sizes[p]);
    }
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        EXPECT_EQ(pmem_module_stats[m].name, pmem_module_names[m]);
    EXPECT_STREQ(pmem_module_names[0], "default");
}

// A size served by a pool other than the lowest that holds it rounded to 16
// (the order table, the step down), or a wrong usable size.
TEST_F(Pmem, EverySizeGoesToTheLowestPoolThatHoldsIt) {
    struct Row {
        size_t request;
        unsigned pool;
    } rows[] = {{0, 0},   {1, 1},     {16, 1},    {17, 2},    {33, 3},    {100, 4},
                {257, 6}, {1000, 13}, {4097, 22}, {8192, 25}, {8193, 26}, {size_t{1} << 30, 26}};
    for (const Row &r : rows) {
        void *p = pmem_malloc(3, r.request);
        ASSERT_NE(p, nullptr) << r.request;
        EXPECT_EQ(pool_of(p), r.pool) << r.request;
        pmem_free(p);
    }
    for (size_t s = 1; s <= 8208; s++) {
        void *p = pmem_malloc(3, s);
        unsigned id = pool_of(p);
        size_t rounded = (s + 15) / 16 * 16;
        ASSERT_TRUE(pmem_pool_sizes[id] >= rounded && pmem_pool_sizes[id - 1] < rounded) << s;
        ASSERT_EQ(pmem_ptr2size(p),
                  id < 26 ? pmem_pool_sizes[id] : malloc_usable_size(pmem_header_of(p)) - 16);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        pmem_free(p);
    }
    EXPECT_EQ(pmem_ptr2size(nullptr), 0u);
}

// Header fields at the wrong offset or width, bytes pmem must not touch being
// written, or a release that leaves the magic in place.
TEST_F(Pmem, HeaderBytesBeforeAndAfterRelease) {
    void *keep = pmem_malloc(7, 100);  // keeps the block live after the release
    auto *p = static_cast<unsigned char *>(pmem_malloc(7, 100));
    unsigned char *h = p - 16;
    const unsigned char magic[8] = {0xfb, 0x25, 0xc9, 0x69, 0x5f, 0x52, 0xb8, 0x18};
    EXPECT_EQ(memcmp(h, magic, 8), 0);
    EXPECT_EQ(h[8] | h[9] << 8, 4);
    EXPECT_EQ(h[10] | h[11] << 8, 7);
    h[12] = 0x80;  // a flag bit pmem does not own, the freed bit clear
    h[13] = 0xab;
    pmem_free(p);
    std::string released = t::peek(h, 16);
    EXPECT_NE(memcmp(released.data(), magic, 8), 0);
    EXPECT_EQ(released.substr(8, 6), std::string("\x04\0\x07\0\x81\xab", 6)) << "freed bit set";
    unsigned char *again = static_cast<unsigned char *>(pmem_malloc(9, 100));
    ASSERT_EQ(again, p) << "the most recently freed slot";
    EXPECT_EQ(memcmp(h, magic, 8), 0);
    EXPECT_EQ(h[10] | h[11] << 8, 9);
    EXPECT_EQ(h[12], 0x80);
    EXPECT_EQ(h[13], 0xab);
    pmem_free(again);
    pmem_free(keep);
}

// Counts charged to the wrong pool or module, bytes that are not usable
// sizes, zero-size requests sharing an area, calloc leaving stale bytes or
// clearing too much, string copies of the wrong length or unterminated, and
// oversized or wrapping requests that allocate or count.
TEST_F(Pmem, EveryCallCountsExactly) {
    Counters c;
    void *a = pmem_malloc(5, 100), *z1 = pmem_malloc(5, 0), *z2 = pmem_malloc(5, 0);
    void *big = pmem_malloc(6, 10000);
    EXPECT_NE(z1, z2);
    c.alloc(5, 4, 128), c.alloc(5, 0, 0), c.alloc(5, 0, 0), c.alloc(6, 26, pmem_ptr2size(big));
    EXPECT_TRUE(c.now());
    c.free(5, 4, 128), c.free(5, 0, 0), c.free(5, 0, 0), c.free(6, 26, pmem_ptr2size(big));
    for (void *p : {a, z1, z2, big, static_cast<void *>(nullptr)})
        pmem_free(p);
    EXPECT_TRUE(c.now());

    memset(a = pmem_malloc(4, 100), 0xaa, 128);
    pmem_free(a);
    auto *z = static_cast<unsigned char *>(pmem_calloc(4, 10, 10));
    ASSERT_EQ(z, a) << "the same slot, so stale bytes would show";
    EXPECT_TRUE(std::all_of(z, z + 100, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(z[100], 0xaa) << "only count * size bytes are cleared";
    void *none = pmem_calloc(4, 0, 8);
    char *d = pmem_strdup(8, "hello"), *n3 = pmem_strndup(8, "abcdef", 3);
    char *whole = pmem_strndup(8, "abcdef", 100);
    EXPECT_STREQ(d, "hello");
    EXPECT_STREQ(n3, "abc");
    EXPECT_STREQ(whole, "abcdef");
    EXPECT_EQ(pool_of(n3), 1u);
    EXPECT_EQ(pmem_strdup(8, nullptr), nullptr);
    EXPECT_EQ(pmem_strndup(8, nullptr, 3), nullptr);
    c.alloc(4, 4, 128), c.free(4, 4, 128), c.alloc(4, 4, 128), c.alloc(4, 0, 0);
    c.alloc(8, 1, 16), c.alloc(8, 1, 16), c.alloc(8, 1, 16);
    EXPECT_TRUE(c.now());
    for (void *p : {static_cast<void *>(z), none, static_cast<void *>(d), static_cast<void *>(n3),
                    static_cast<void *>(whole)})
        pmem_free(p);

    c = Counters();
    EXPECT_EQ(pmem_malloc(3, (size_t{1} << 30) + 1), nullptr);
    EXPECT_EQ(pmem_calloc(3, size_t{1} << 16, size_t{1} << 15), nullptr);  // 2 GiB
    EXPECT_EQ(pmem_calloc(3, (SIZE_MAX >> 4) + 2, 16), nullptr);           // wraps to 16
    EXPECT_TRUE(c.now());
}

// A copy within one pool, a move that keeps the old pool's or module's
// counts, a pool-26 block kept in place, a resize above 1 GiB that loses the
// old area, and the boundary of exactly 1 GiB.
TEST_F(Pmem, ResizeStaysOnlyWithinOnePlexPoolAndModule) {
    Counters c;
    char *p = static_cast<char *>(pmem_malloc(2, 100));
    for (int i = 0; i < 128; i++)
        p[i] = static_cast<char>(i);
    EXPECT_EQ(pmem_realloc(2, p, 120), p);
    EXPECT_EQ(pmem_realloc(2, p, (size_t{1} << 30) + 1), nullptr);
    c.alloc(2, 4, 128);
    EXPECT_TRUE(c.now());

    char *q = static_cast<char *>(pmem_realloc(2, p, 200));  // pool 5: moves, copies 128
    char *r = static_cast<char *>(pmem_realloc(3, q, 200));  // another module: moves
    char *s = static_cast<char *>(pmem_realloc(3, r, 20));   // pool 2: copies 20
    c.alloc(2, 5, 256), c.free(2, 4, 128), c.alloc(3, 5, 256), c.free(2, 5, 256);
    c.alloc(3, 2, 32), c.free(3, 5, 256);
    EXPECT_TRUE(c.now());
    EXPECT_NE(q, p);
    EXPECT_NE(r, q);
    EXPECT_EQ(memcmp(r, "\x00\x01\x02\x03", 4), 0);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(s[i], static_cast<char>(i));

    char *big = static_cast<char *>(pmem_realloc(3, s, 10000));
    EXPECT_EQ(memcmp(big, "\x00\x01\x02", 3), 0);
    char *moved = static_cast<char *>(pmem_realloc(3, big, 10000));
    EXPECT_NE(moved, big) << "pool 26 always moves";
    char *huge = static_cast<char *>(pmem_realloc(3, moved, size_t{1} << 30));
    ASSERT_NE(huge, nullptr) << "exactly 1 GiB is served";
    EXPECT_EQ(memcmp(huge, "\x00\x01\x02", 3), 0);
    void *zero = pmem_realloc(3, huge, 0);
    EXPECT_EQ(pool_of(zero), 0u) << "size 0 releases and returns a zero-size area";
    void *fresh = pmem_realloc(4, nullptr, 64);
    EXPECT_EQ(pool_of(fresh), 3u);
    pmem_free(zero);
    pmem_free(fresh);
}

// A failure not counted for pool, module and plex, an area returned anyway,
// or a failed resize that loses the old area.
TEST_F(Pmem, OutOfMemoryIsCountedEverywhere) {
    auto_plex *plex = &pmem_pools[9].pool_plex;
    std::vector<void *> fill;  // pool 9 (512) full, so the next one must grow
    while (t::next_slot(plex))
        fill.push_back(pmem_malloc(1, 500));
    void *old = pmem_malloc(1, 10);
    Counters c;
    uint64_t failed = plex->expand_failed;
    long live = ap_fault::live();
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_malloc(1, 500), nullptr);
    }
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_malloc(2, 9000), nullptr);
    }
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_realloc(1, old, 500), nullptr);
    }
    c.fail(1, 9), c.fail(2, 26), c.fail(1, 9);
    EXPECT_TRUE(c.now());
    EXPECT_EQ(plex->expand_failed, failed + 2);
    EXPECT_EQ(ap_fault::live(), live);
    EXPECT_EQ(pmem_header_of(old)->magic, PMEM_MAGIC);
    pmem_free(old);
    for (void *p : fill)
        pmem_free(p);
}

// A call served by a pool, counted or module-checked before pmem_init, or a
// failed pass-through not reported as null.
TEST(PmemBeforeInit, EveryCallPassesToTheSystemAllocator) {
    t::in_fresh_process([] {
        ASSERT_EQ(pmem_inited, 0);
        Counters c;
        ap_fault::reset();
        long live = ap_fault::live();
        void *a = pmem_malloc(500, 10), *b = pmem_calloc(500, 4, 4);
        a = pmem_realloc(500, a, 100000);
        char *d = pmem_strdup(500, "abc"), *n = pmem_strndup(500, "abcdef", 2);
        EXPECT_EQ(ap_fault::calls(), 5);
        EXPECT_EQ(ap_fault::live(), live + 4);
        EXPECT_STREQ(n, "ab");
        EXPECT_EQ(*static_cast<int *>(b), 0);
        for (void *p : {a, b, static_cast<void *>(d), static_cast<void *>(n)})
            pmem_free(p);
        pmem_free(nullptr);
        EXPECT_EQ(ap_fault::live(), live);
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_malloc(1, 10), nullptr);
        EXPECT_TRUE(c.now());
    });
}

// Checks that are missing, or let a bad header reach the pools.
TEST_F(Pmem, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (auto call : std::vector<std::function<void()>>{
             [] { pmem_malloc(PMEM_MID_N, 1); }, [] { pmem_calloc(PMEM_MID_N, 1, 1); },
             [] { pmem_realloc(PMEM_MID_N, nullptr, 1); }, [] { pmem_strdup(PMEM_MID_N, "x"); },
             [] { pmem_strndup(PMEM_MID_N, "x", 1); }})
        EXPECT_DEATH(call(), "Assertion `mid < PMEM_MID_N' failed");

    void *keep = pmem_malloc(0, 100);  // keeps the block live: the header stays readable
    auto *p = static_cast<unsigned char *>(pmem_malloc(0, 100));
    auto aborts = ::testing::KilledBySignal(SIGABRT);
    EXPECT_EXIT(pmem_init(), aborts, "^$");
    EXPECT_EXIT((p[-16] ^= 1, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-16] ^= 1, pmem_realloc(0, p, 200)), aborts, "^$");
    EXPECT_EXIT((p[-8] = 27, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-6] = 129, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((p[-4] |= 1, pmem_free(p)), aborts, "^$");
    EXPECT_EXIT((pmem_free(p), pmem_free(p)), aborts, "^$");
    pmem_free(p);
    pmem_free(keep);
}
