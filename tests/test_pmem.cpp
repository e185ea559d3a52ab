// pmem after pmem_init: size classes, the header, counting, resizing, out of
// memory and the contract checks.  Every test checks counter changes against
// a snapshot and releases what it allocates, so the tests hold in any order
// and in one process.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <string.h>

#include <vector>

#include "checkers.h"
#include "fault.h"
#include "pmem.h"
#include "pmem_report_text.h"
#include "tools/slot_access.h"

namespace {

using pmem_text::Counters;

class PmemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pmem_inited) {
            ASSERT_EQ(pmem_init(), 0);
        }
        ap_fault::reset();
    }
};
using pmem_sizes = PmemTest;
using pmem_header_bytes = PmemTest;
using pmem_counting = PmemTest;
using pmem_resize = PmemTest;
using pmem_out_of_memory = PmemTest;
using pmem_contract_death = PmemTest;

const pmem_header *header(const void *p) {
    return reinterpret_cast<const pmem_header *>(static_cast<const char *>(p) - 16);
}

// The plain reference: the lowest pool whose size holds the size rounded up
// to 16; 27 when none does.
unsigned reference_pool(uint64_t size) {
    uint64_t rounded = (size + 15) / 16 * 16;
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
        if (pmem_pool_sizes[p] >= rounded) return p;
    return PMEM_POOL_ID_N;
}

bool aligned16(const void *p) {
    return reinterpret_cast<uintptr_t>(p) % 16 == 0;
}

// Counters equal except for the listed changes, which the test applies to
// its copy of the snapshot before comparing.
::testing::AssertionResult counters_are(const Counters &expected) {
    Counters now = pmem_text::snapshot();
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)
        if (memcmp(&now.pools[p], &expected.pools[p], sizeof now.pools[p]) != 0)
            return ::testing::AssertionFailure()
                   << "pool " << p << ": alloc " << now.pools[p].alloc_count << " free "
                   << now.pools[p].free_count << " fail " << now.pools[p].fail_count
                   << ", expected " << expected.pools[p].alloc_count << "/"
                   << expected.pools[p].free_count << "/" << expected.pools[p].fail_count;
    for (unsigned m = 0; m < PMEM_MID_N; m++)
        if (memcmp(&now.modules[m], &expected.modules[m], sizeof now.modules[m]) != 0)
            return ::testing::AssertionFailure()
                   << "module " << m << ": alloc_size " << now.modules[m].alloc_size
                   << " free_size " << now.modules[m].free_size << ", expected "
                   << expected.modules[m].alloc_size << "/" << expected.modules[m].free_size
                   << " (or a per-pool count differs)";
    return ::testing::AssertionSuccess();
}

void count_alloc(Counters *c, unsigned mid, unsigned pool, uint64_t bytes) {
    c->pools[pool].alloc_count++;
    c->modules[mid].alloc_size += bytes;
    c->modules[mid].alloc_count[pool]++;
}

void count_free(Counters *c, unsigned mid, unsigned pool, uint64_t bytes) {
    c->pools[pool].free_count++;
    c->modules[mid].free_size += bytes;
    c->modules[mid].free_count[pool]++;
}

void count_fail(Counters *c, unsigned mid, unsigned pool) {
    c->pools[pool].fail_count++;
    c->modules[mid].fail_count[pool]++;
}

// ---- size classes ----------------------------------------------------------

// Catches: a wrong order-table entry, an off-by-one in the step down, or a
// usable size that is not the pool's.
TEST_F(pmem_sizes, PublishedExamplesMapToTheirPools) {
    struct Row {
        size_t request;
        unsigned pool;
        size_t usable;
    };
    const Row rows[] = {{0, 0, 0},        {1, 1, 16},      {16, 1, 16},   {17, 2, 32},
                        {33, 3, 64},      {100, 4, 128},   {257, 6, 320}, {1000, 13, 1024},
                        {4097, 22, 5120}, {8192, 25, 8192}};
    for (const Row &r : rows) {
        void *p = pmem_malloc(1, r.request);
        ASSERT_NE(p, nullptr) << r.request;
        EXPECT_EQ(header(p)->pool_id, r.pool) << r.request;
        EXPECT_EQ(pmem_ptr2size(p), r.usable) << r.request;
        pmem_free(p);
    }

    void *big = pmem_malloc(1, 8193);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(header(big)->pool_id, 26);
    size_t block = malloc_usable_size(const_cast<pmem_header *>(header(big)));
    EXPECT_GE(block, 8224u);
    EXPECT_EQ(pmem_ptr2size(big), block - 16);
    pmem_free(big);

    Counters before = pmem_text::snapshot();
    EXPECT_EQ(pmem_malloc(1, (size_t{1} << 30) + 1), nullptr);
    EXPECT_TRUE(counters_are(before));
    EXPECT_EQ(pmem_ptr2size(nullptr), 0u);
}

// Catches: any size that lands in a pool other than the lowest that holds
// it, and any misaligned area, across every plex-backed size and the edges.
TEST_F(pmem_sizes, EverySizeUpTo8208AndThe1GiBEdgeAgreeWithTheReference) {
    std::vector<size_t> sizes;
    for (size_t s = 0; s <= 8208; s++)
        sizes.push_back(s);
    for (size_t s : {(size_t{1} << 30) - 16, (size_t{1} << 30) - 15, size_t{1} << 30})
        sizes.push_back(s);
    for (size_t s : sizes) {
        void *p = pmem_malloc(2, s);
        ASSERT_NE(p, nullptr) << s;
        unsigned want = reference_pool(s);
        ASSERT_EQ(header(p)->pool_id, want) << "size " << s;
        ASSERT_TRUE(aligned16(p)) << "size " << s;
        ASSERT_GE(pmem_ptr2size(p), s);
        if (want < 26) {
            ASSERT_EQ(pmem_ptr2size(p), pmem_pool_sizes[want]);
        }
        pmem_free(p);
    }
    for (unsigned p = 0; p < 26; p++)
        EXPECT_TRUE(checkers::plex_valid(&pmem_pools[p].pool_plex));
}

// ---- header ------------------------------------------------------------------

// Catches: a header field at the wrong offset or width, bytes pmem must not
// touch being written, or a release that leaves the magic in place.
TEST_F(pmem_header_bytes, FieldsSitAtTheirOffsetsBeforeAndAfterRelease) {
    void *keep = pmem_malloc(7, 100);  // keeps the block live after the release
    unsigned char *p = static_cast<unsigned char *>(pmem_malloc(7, 100));
    ASSERT_TRUE(keep && p);
    unsigned char *h = p - 16;
    const unsigned char magic_le[8] = {0xfb, 0x25, 0xc9, 0x69, 0x5f, 0x52, 0xb8, 0x18};
    EXPECT_EQ(memcmp(h, magic_le, 8), 0);
    EXPECT_EQ(h[8] | h[9] << 8, 4);
    EXPECT_EQ(h[10] | h[11] << 8, 7);
    EXPECT_EQ(h[12] & 1, 0);

    // Bits and bytes pmem does not own survive a release and a re-allocation
    // of the same slot (the most recently freed slot is handed out first).
    h[12] = 0x80;  // freed bit clear, as in any live header
    h[13] = 0xab;
    h[15] = 0xcd;
    pmem_free(p);
    slot_access_open(h, 16);  // a released slot is closed to the memory checkers
    EXPECT_NE(memcmp(h, magic_le, 8), 0);
    EXPECT_EQ(h[8] | h[9] << 8, 4);
    EXPECT_EQ(h[10] | h[11] << 8, 7);
    EXPECT_EQ(h[12], 0x81);
    EXPECT_EQ(h[13], 0xab);

    unsigned char *again = static_cast<unsigned char *>(pmem_malloc(9, 100));
    ASSERT_EQ(again, p);
    EXPECT_EQ(memcmp(h, magic_le, 8), 0);
    EXPECT_EQ(h[10] | h[11] << 8, 9);
    EXPECT_EQ(h[12], 0x80);
    EXPECT_EQ(h[13], 0xab);
    EXPECT_EQ(h[15], 0xcd);
    pmem_free(again);
    pmem_free(keep);
}

// ---- counting ----------------------------------------------------------------

// Catches: counts charged to the wrong pool or module, usable size not used
// for the byte totals, or zero-size requests sharing one area.
TEST_F(pmem_counting, ServedAndReleasedMoveExactlyTheirCounters) {
    Counters c = pmem_text::snapshot();
    void *a = pmem_malloc(5, 100);
    void *z1 = pmem_malloc(5, 0);
    void *z2 = pmem_malloc(5, 0);
    void *big = pmem_malloc(6, 10000);
    ASSERT_TRUE(a && z1 && z2 && big);
    EXPECT_NE(z1, z2);
    count_alloc(&c, 5, 4, 128);
    count_alloc(&c, 5, 0, 0);
    count_alloc(&c, 5, 0, 0);
    count_alloc(&c, 6, 26, pmem_ptr2size(big));
    EXPECT_TRUE(counters_are(c));

    pmem_free(a);
    pmem_free(z1);
    pmem_free(z2);
    count_free(&c, 5, 4, 128);
    count_free(&c, 5, 0, 0);
    count_free(&c, 5, 0, 0);
    count_free(&c, 6, 26, c.modules[6].alloc_size - c.modules[6].free_size);
    pmem_free(big);
    pmem_free(nullptr);
    EXPECT_TRUE(counters_are(c));
}

// Catches: oversized or wrapped requests that allocate a short area or count.
TEST_F(pmem_counting, RequestsAbove1GiBAndWrappedProductsCountNothing) {
    Counters c = pmem_text::snapshot();
    EXPECT_EQ(pmem_malloc(3, SIZE_MAX), nullptr);
    EXPECT_EQ(pmem_calloc(3, size_t{1} << 16, size_t{1} << 15), nullptr);  // 2 GiB
    EXPECT_EQ(pmem_calloc(3, (SIZE_MAX >> 4) + 2, 16), nullptr);           // wraps to 16
    EXPECT_EQ(pmem_calloc(3, SIZE_MAX, SIZE_MAX), nullptr);                // wraps to 1
    EXPECT_TRUE(counters_are(c));
}

// Catches: calloc leaving stale bytes or clearing beyond the request;
// string copies of the wrong length, unterminated, or read past n.
TEST_F(pmem_counting, CallocAndStringCopiesCountAsAllocations) {
    Counters c = pmem_text::snapshot();
    unsigned char *dirty = static_cast<unsigned char *>(pmem_malloc(4, 100));
    ASSERT_NE(dirty, nullptr);
    memset(dirty, 0xaa, 128);
    pmem_free(dirty);
    count_alloc(&c, 4, 4, 128);
    count_free(&c, 4, 4, 128);

    unsigned char *z = static_cast<unsigned char *>(pmem_calloc(4, 10, 10));
    ASSERT_EQ(z, dirty);  // the same slot, so stale bytes would show
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(z[i], 0) << i;
    EXPECT_EQ(z[100], 0xaa);  // only count * size bytes are cleared
    count_alloc(&c, 4, 4, 128);
    void *none = pmem_calloc(4, 0, 8);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(header(none)->pool_id, 0);
    count_alloc(&c, 4, 0, 0);

    char *d = pmem_strdup(8, "hello");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "hello");
    EXPECT_EQ(header(d)->pool_id, 1);
    count_alloc(&c, 8, 1, 16);
    const char unterminated[3] = {'a', 'b', 'c'};  // a read past n trips the sanitizer
    char *n3 = pmem_strndup(8, unterminated, 3);
    char *whole = pmem_strndup(8, "abcdef", 100);
    ASSERT_TRUE(n3 && whole);
    EXPECT_STREQ(n3, "abc");
    EXPECT_STREQ(whole, "abcdef");
    EXPECT_EQ(header(n3)->pool_id, 1);
    count_alloc(&c, 8, 1, 16);
    count_alloc(&c, 8, 1, 16);
    EXPECT_EQ(pmem_strdup(8, nullptr), nullptr);
    EXPECT_EQ(pmem_strndup(8, nullptr, 3), nullptr);
    EXPECT_TRUE(counters_are(c));

    for (void *p : {static_cast<void *>(z), none, static_cast<void *>(d), static_cast<void *>(n3),
                    static_cast<void *>(whole)})
        pmem_free(p);
}

// ---- resizing ----------------------------------------------------------------

void fill(void *p, size_t n, unsigned char seed) {
    for (size_t i = 0; i < n; i++)
        static_cast<unsigned char *>(p)[i] = static_cast<unsigned char>(seed + i);
}

bool filled(const void *p, size_t n, unsigned char seed) {
    for (size_t i = 0; i < n; i++)
        if (static_cast<const unsigned char *>(p)[i] != static_cast<unsigned char>(seed + i))
            return false;
    return true;
}

// Catches: a copy within the pool, a move that keeps the old pool's or
// module's charge, or a copy of the wrong length in either direction.
TEST_F(pmem_resize, StaysOnlyWithinOnePlexPoolAndModule) {
    Counters c = pmem_text::snapshot();
    void *p = pmem_malloc(10, 100);
    ASSERT_NE(p, nullptr);
    count_alloc(&c, 10, 4, 128);
    fill(p, 128, 1);

    EXPECT_EQ(pmem_realloc(10, p, 120), p);
    EXPECT_TRUE(counters_are(c));

    void *up = pmem_realloc(10, p, 200);  // pool 4 -> pool 5
    ASSERT_NE(up, nullptr);
    EXPECT_NE(up, p);
    EXPECT_EQ(header(up)->pool_id, 5);
    EXPECT_TRUE(filled(up, 128, 1));
    count_alloc(&c, 10, 5, 256);
    count_free(&c, 10, 4, 128);
    EXPECT_TRUE(counters_are(c));

    void *down = pmem_realloc(10, up, 20);  // pool 5 -> pool 2
    ASSERT_NE(down, nullptr);
    EXPECT_EQ(header(down)->pool_id, 2);
    EXPECT_TRUE(filled(down, 20, 1));
    count_alloc(&c, 10, 2, 32);
    count_free(&c, 10, 5, 256);

    void *other = pmem_realloc(11, down, 20);  // same size, other module
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, down);
    EXPECT_EQ(header(other)->mid, 11);
    EXPECT_TRUE(filled(other, 20, 1));
    count_alloc(&c, 11, 2, 32);
    count_free(&c, 10, 2, 32);
    EXPECT_TRUE(counters_are(c));

    void *zero = pmem_realloc(11, other, 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(header(zero)->pool_id, 0);
    count_free(&c, 11, 2, 32);
    count_alloc(&c, 11, 0, 0);

    void *fresh = pmem_realloc(12, nullptr, 64);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(header(fresh)->pool_id, 3);
    count_alloc(&c, 12, 3, 64);
    EXPECT_TRUE(counters_are(c));
    pmem_free(zero);
    pmem_free(fresh);
}

// Catches: a system-allocator block kept in place (its usable size says
// nothing about the new request), or a failed resize that harms the old area.
TEST_F(pmem_resize, Pool26AlwaysMovesAndOversizeKeepsTheOldArea) {
    void *p = pmem_malloc(13, 10000);
    ASSERT_NE(p, nullptr);
    fill(p, 10000, 3);
    void *q = pmem_realloc(13, p, 10000);
    ASSERT_NE(q, nullptr);
    EXPECT_NE(q, p);
    EXPECT_TRUE(filled(q, 10000, 3));

    Counters c = pmem_text::snapshot();
    EXPECT_EQ(pmem_realloc(13, q, (size_t{1} << 30) + 1), nullptr);
    EXPECT_TRUE(counters_are(c));
    EXPECT_EQ(header(q)->magic, PMEM_MAGIC);
    EXPECT_TRUE(filled(q, 10000, 3));

    void *small = pmem_realloc(13, q, 100);  // pool 26 -> pool 4 copies only 100
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(filled(small, 100, 3));
    pmem_free(small);
}

// ---- out of memory -------------------------------------------------------------

// Catches: a failure not counted for pool, module and plex, a leak on the
// failure path, or a failed resize that releases the old area.
TEST_F(pmem_out_of_memory, PlexFailureIsCountedEverywhereAndLeaksNothing) {
    auto_plex *plex = &pmem_pools[25].pool_plex;
    std::vector<void *> held;
    while (plex->first_free_block || held.empty()) {  // fill every block of pool 25
        held.push_back(pmem_malloc(9, 8000));
        ASSERT_NE(held.back(), nullptr);
    }
    Counters c = pmem_text::snapshot();
    uint64_t expand_failed = plex->expand_failed, alloc_failed = plex->alloc_failed;
    long live = ap_fault::live();

    ap_fault::fail_all(true);
    EXPECT_EQ(pmem_malloc(9, 8000), nullptr);
    count_fail(&c, 9, 25);
    EXPECT_EQ(pmem_realloc(9, held[0], 8100), held[0]);  // same pool: no allocation needed
    EXPECT_EQ(pmem_realloc(9, held[0], 8193), nullptr);
    count_fail(&c, 9, 26);
    EXPECT_EQ(pmem_calloc(9, 2, 4000), nullptr);
    count_fail(&c, 9, 25);
    ap_fault::fail_all(false);

    EXPECT_TRUE(counters_are(c));
    EXPECT_EQ(plex->expand_failed, expand_failed + 2);
    EXPECT_EQ(plex->alloc_failed, alloc_failed + 2);
    EXPECT_EQ(ap_fault::live(), live);
    EXPECT_EQ(header(held[0])->magic, PMEM_MAGIC);
    EXPECT_TRUE(checkers::plex_valid(plex));
    for (void *p : held)
        pmem_free(p);
    EXPECT_TRUE(checkers::plex_valid(plex));
}

// Catches: a system-allocator failure that is not counted or not null.
TEST_F(pmem_out_of_memory, SystemAllocatorFailureIsCounted) {
    Counters c = pmem_text::snapshot();
    long live = ap_fault::live();
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_malloc(14, 100000), nullptr);
    }
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_strdup(14, std::string(9000, 'x').c_str()), nullptr);
    }
    count_fail(&c, 14, 26);
    count_fail(&c, 14, 26);
    EXPECT_TRUE(counters_are(c));
    EXPECT_EQ(ap_fault::live(), live);
}

// ---- contract checks -------------------------------------------------------------

#define EXPECT_ABORT(stmt) EXPECT_EXIT(stmt, ::testing::KilledBySignal(SIGABRT), "")

// Catches: a double release or a trampled header that reaches the plex.
TEST_F(pmem_contract_death, BrokenHeadersAbort) {
    void *a = pmem_malloc(0, 100);
    void *b = pmem_malloc(0, 100);  // keeps the block in use
    ASSERT_TRUE(a && b);
    EXPECT_ABORT({
        pmem_free(a);
        pmem_free(a);
    });
    EXPECT_ABORT({
        pmem_free(a);
        pmem_realloc(0, a, 300);
    });
    pmem_header *h = const_cast<pmem_header *>(header(b));
    EXPECT_ABORT({
        memset(h, 0x41, 16);
        pmem_free(b);
    });
    EXPECT_ABORT({
        h->pool_id = PMEM_POOL_ID_N;
        pmem_free(b);
    });
    EXPECT_ABORT({
        h->mid = PMEM_MID_N;
        pmem_realloc(0, b, 300);  // checked before pool and module index anything
    });
    EXPECT_ABORT({
        h->flags |= PMEM_FLAG_FREED;
        pmem_free(b);
    });
    pmem_free(a);
    pmem_free(b);
}

// Catches: a module id past the table reaching the counters; the message
// names the function that was called.
TEST_F(pmem_contract_death, ModuleId129StopsEveryEntryPoint) {
    void *p = pmem_malloc(0, 10);
    ASSERT_NE(p, nullptr);
    EXPECT_DEATH(pmem_malloc(PMEM_MID_N, 10), "pmem_malloc: Assertion `mid < PMEM_MID_N' failed");
    EXPECT_DEATH(pmem_calloc(PMEM_MID_N, 1, 10),
                 "pmem_calloc: Assertion `mid < PMEM_MID_N' failed");
    EXPECT_DEATH(pmem_realloc(PMEM_MID_N, p, 100), "pmem_realloc: Assertion `mid < PMEM_MID_N'");
    EXPECT_DEATH(pmem_realloc(PMEM_MID_N, nullptr, 1),
                 "pmem_realloc: Assertion `mid < PMEM_MID_N'");
    EXPECT_DEATH(pmem_strdup(PMEM_MID_N, "x"), "pmem_strdup: Assertion `mid < PMEM_MID_N' failed");
    EXPECT_DEATH(pmem_strndup(PMEM_MID_N, "x", 1), "pmem_strndup: Assertion `mid < PMEM_MID_N'");
    pmem_free(p);
}

// Catches: pmem_init re-initialising live pools.
TEST_F(pmem_contract_death, SecondInitAborts) {
    EXPECT_ABORT(pmem_init());
}

}  // namespace
