// The preload's ownership index: a wrong answer sends a pointer to the wrong
// allocator, which corrupts the heap far from the cause.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <set>

#include "preload_index.h"

void *preload_index_alloc(size_t bytes) {
    return calloc(1, bytes);
}
void preload_index_free(void *ptr) {
    free(ptr);
}

namespace {

// Catches off-by-one range ends, lookups before the first or after the last
// range, and erase/insert shifting the wrong entries, against a reference map.
TEST(BlockIndex, FindsExactlyTheAddressesInsideLiveRanges) {
    block_index ix{};
    std::map<uintptr_t, block_range> ref;
    std::mt19937_64 rng(9);
    for (int step = 0; step < 20000; step++) {
        // Ranges on a 1 MiB grid, 16 bytes to 1 MiB long: disjoint, some adjacent.
        uintptr_t start = (1 + rng() % 512) << 20;
        if (rng() % 3 && !ref.count(start)) {
            block_range r{start, start + 16 * (1 + rng() % 65536),
                          static_cast<uint32_t>(rng() % 26)};
            ASSERT_TRUE(block_index_reserve(&ix, 1));
            block_index_insert(&ix, r);
            ref[start] = r;
        } else if (!ref.empty()) {
            auto it = ref.lower_bound(start);
            if (it == ref.end()) it = ref.begin();
            uintptr_t inside = it->second.start + (it->second.end - it->second.start - 1);
            ASSERT_TRUE(block_index_erase(&ix, inside));
            ref.erase(it);
        }
        uintptr_t probe = rng() % (514ull << 20);
        const block_range *got = block_index_find(&ix, probe);
        auto it = ref.upper_bound(probe);
        const block_range *want = it == ref.begin() || probe >= std::prev(it)->second.end
                                      ? nullptr
                                      : &std::prev(it)->second;
        ASSERT_EQ(got == nullptr, want == nullptr) << probe;
        if (want) {
            ASSERT_TRUE(got->start == want->start && got->pool == want->pool);
        }
    }
    ASSERT_EQ(ix.n, ref.size());
    for (const auto &[start, r] : ref) {
        const block_range *before = block_index_find(&ix, r.start - 1);
        EXPECT_TRUE(!before || before->start != start);
        EXPECT_EQ(block_index_find(&ix, r.start)->start, start);
        EXPECT_EQ(block_index_find(&ix, r.end - 1)->start, start);
        EXPECT_NE(block_index_find(&ix, r.end), block_index_find(&ix, r.end - 1));
    }
    EXPECT_FALSE(block_index_erase(&ix, 1));
    preload_index_free(ix.v);
}

// Catches backward-shift deletion leaving a member unreachable behind an
// emptied slot, and growth losing members, under heavy collisions.
TEST(PtrSet, MembershipMatchesAReferenceThroughGrowthAndDeletion) {
    ptr_set s{};
    std::set<uintptr_t> ref;
    std::mt19937_64 rng(5);
    for (int step = 0; step < 200000; step++) {
        // Few distinct keys, 16-byte aligned like real pointers: long probe runs.
        uintptr_t key = (1 + rng() % 3000) << 4;
        if (rng() % 2) {
            ASSERT_TRUE(ptr_set_reserve(&s, 1));
            ptr_set_insert(&s, key);
            ref.insert(key);
        } else {
            ASSERT_EQ(ptr_set_erase(&s, key), ref.erase(key) == 1);
        }
        uintptr_t probe = (1 + rng() % 3000) << 4;
        ASSERT_EQ(ptr_set_contains(&s, probe), ref.count(probe) == 1);
        ASSERT_LE(s.n * 2, s.cap);
    }
    ASSERT_EQ(s.n, ref.size());
    for (uintptr_t key : ref)
        EXPECT_TRUE(ptr_set_contains(&s, key));
    preload_index_free(s.slots);
}

}  // namespace
