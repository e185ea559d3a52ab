// Impossible sizes and damaged headers.  Every allocating entry point must
// answer a request no memory can satisfy with null and leave every counter
// where it was, and a release must abort exactly when a damaged header byte
// belongs to a field the check reads.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <random>
#include <vector>

#include "auto_plex.h"
#include "fault.h"
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "pmem.h"
#include "pmem_report_text.h"

// Huge requests must come back as null, also from the sanitizer's allocator.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

// Just above 1 GiB, every power of two and its neighbours up to SIZE_MAX,
// and a fixed-seed spread in between.
std::vector<size_t> impossible_sizes() {
    std::vector<size_t> v = {(size_t{1} << 30) + 1, (size_t{1} << 30) + 15, (size_t{1} << 30) + 16,
                             SIZE_MAX};
    for (unsigned b = 31; b < 64; b++)
        for (size_t d : {size_t{0}, size_t{1}, SIZE_MAX})
            v.push_back((size_t{1} << b) + d);
    std::mt19937_64 rng(6);
    for (int i = 0; i < 2000; i++)
        v.push_back((size_t{1} << 30) + 1 + rng() % (SIZE_MAX - (size_t{1} << 30)));
    return v;
}

// Products of count x size that wrap 64 bits, from barely to entirely.
std::vector<std::pair<size_t, size_t>> wrapping_products() {
    std::vector<std::pair<size_t, size_t>> v = {{2, SIZE_MAX / 2 + 1},
                                                {SIZE_MAX, SIZE_MAX},
                                                {size_t{1} << 32, size_t{1} << 32},
                                                {3, SIZE_MAX / 3 + 1}};
    std::mt19937_64 rng(7);
    while (v.size() < 500) {
        size_t a = rng() >> (rng() % 40), b = rng() >> (rng() % 40);
        if (a && b && b > SIZE_MAX / a) v.emplace_back(a, b);
    }
    return v;
}

bool same_counters(const pmem_text::Counters &a, const pmem_text::Counters &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// pmem: refused sizes reach neither a pool nor a counter, and realloc keeps
// the old area intact.
TEST(BadSizes, PmemRefusesWithoutCounting) {
    if (!pmem_inited) {
        ASSERT_EQ(pmem_init(), 0);
    }
    char *old = static_cast<char *>(pmem_malloc(3, 100));
    memset(old, 'x', 100);
    pmem_text::Counters before = pmem_text::snapshot();
    long live = ap_fault::live();
    for (size_t s : impossible_sizes()) {
        ASSERT_EQ(pmem_malloc(3, s), nullptr) << s;
        ASSERT_EQ(pmem_calloc(3, 1, s), nullptr) << s;
        ASSERT_EQ(pmem_calloc(3, s, 1), nullptr) << s;
        ASSERT_EQ(pmem_realloc(3, old, s), nullptr) << s;
        ASSERT_EQ(pmem_realloc(3, nullptr, s), nullptr) << s;
    }
    for (auto [c, s] : wrapping_products())
        ASSERT_EQ(pmem_calloc(3, c, s), nullptr) << c << " x " << s;
    EXPECT_TRUE(same_counters(before, pmem_text::snapshot()));
    EXPECT_EQ(ap_fault::live(), live);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(old[i], 'x');
    pmem_free(old);
}

// Module accounting: a ceiling refuses (and counts) them without asking the
// allocator; without one, wrapped products never reach it and other sizes
// get the allocator's null with nothing counted.
TEST(BadSizes, AccountingRefusesOrCountsNothing) {
    mem_statis_reset_internal();
    int capped = reg_module_id("capped"), open = reg_module_id("open");
    set_module_mem_limit(1 << 20, capped);
    long calls = ap_fault::calls();
    uint64_t refusals = 0;
    for (size_t s : impossible_sizes()) {
        ASSERT_EQ(malloc_with_statis(s, capped), nullptr);
        ASSERT_EQ(calloc_with_statis(1, s, capped), nullptr);
        ASSERT_EQ(realloc_with_statis(nullptr, s, capped), nullptr);
        refusals += 3;
    }
    for (auto [c, s] : wrapping_products()) {
        ASSERT_EQ(calloc_with_statis(c, s, capped), nullptr);
        ASSERT_EQ(calloc_with_statis(c, s, open), nullptr);
        refusals++;
    }
    EXPECT_EQ(ap_fault::calls(), calls) << "the allocator was asked";
    // Below 2^63: memcheck counts a "negative" size as an error of its own.
    for (size_t s : {SIZE_MAX / 2, size_t{1} << 62, size_t{1} << 50})
        ASSERT_EQ(malloc_with_statis(s, open), nullptr);
    mem_statis_table v = mem_statis_table_internal();
    EXPECT_EQ(v.records[capped].pub.over_limit_failed, refusals);
    EXPECT_EQ(v.records[capped].pub.mem_alloced, 0);
    EXPECT_EQ(v.records[open].pub.over_limit_failed, 0u);
    EXPECT_EQ(v.records[open].pub.mem_alloced, 0);
    mem_statis_reset_internal();
}

// Pools: sizes a block cannot describe are refused at init, and nothing
// leaks.
TEST(BadSizes, PoolInitRefusesUndescribableSizes) {
    long live = ap_fault::live();
    auto_plex p;
    for (auto [item, max] : std::vector<std::pair<uint64_t, uint64_t>>{{UINT64_MAX, 0},
                                                                       {UINT64_MAX, 1},
                                                                       {1, UINT64_MAX},
                                                                       {uint64_t{1} << 60, 1 << 10},
                                                                       {8, uint64_t{1} << 40},
                                                                       {uint64_t{1} << 62, 0}})
        EXPECT_EQ(auto_plex_init(&p, item, max, "huge"), -12) << item << " x " << max;
    EXPECT_EQ(ap_fault::live(), live);
}

// Each header byte of a live allocation, inverted: the release aborts for the
// magic, pool, module and flags bytes, and goes through for bytes 13..15,
// which the check does not read.
TEST(BadHeaderDeathTest, ReleaseAbortsExactlyOnCheckedBytes) {
    if (!pmem_inited) {
        ASSERT_EQ(pmem_init(), 0);
    }
    for (size_t size : {100, 20000}) {  // a pool slot and a system block
        for (int byte = 0; byte < PMEM_HEADER_SIZE; byte++) {
            unsigned char *p = static_cast<unsigned char *>(pmem_malloc(2, size));
            p[byte - PMEM_HEADER_SIZE] ^= 0xff;
            if (byte <= 12) {
                EXPECT_EXIT(pmem_free(p), ::testing::KilledBySignal(SIGABRT), "^$")
                    << "size " << size << " byte " << byte;
                p[byte - PMEM_HEADER_SIZE] ^= 0xff;
            }
            pmem_free(p);
        }
    }
}

}  // namespace
