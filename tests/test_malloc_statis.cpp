// Module accounting: registration and table growth, the ceiling test at its
// boundaries, usable-size bookkeeping of the wrappers, out-of-memory paths,
// and the contract checks.  Every test starts from an empty registry and ends
// with nothing of the seam outstanding (checked in TearDown).
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fault.h"
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"

namespace {

const mem_statis_entry &rec(int id) {
    return mem_statis_table_internal().records[id].pub;
}
int64_t held(int id) {
    return rec(id).mem_alloced;
}
uint64_t refused(int id) {
    return rec(id).over_limit_failed;
}
int64_t usable(void *p) {
    return static_cast<int64_t>(malloc_usable_size(p));
}

class mem_statis : public ::testing::Test {
  protected:
    void SetUp() override {
        mem_statis_reset_internal();
        ap_fault::reset();
        live_at_start_ = ap_fault::live();
    }
    void TearDown() override {
        mem_statis_reset_internal();
        EXPECT_EQ(ap_fault::live(), live_at_start_) << "blocks leaked through the seam";
    }
    long live_at_start_ = 0;
};

using mem_statis_DeathTest = mem_statis;

std::string nth_name(int i) {
    return "module_" + std::to_string(i);
}

}  // namespace

// ---- registry ----------------------------------------------------------------

// Catches records lost, moved or left dirty by growth, a search that comes
// after growth (allocating for a known name), case folding, and keeping the
// caller's string instead of a copy.
TEST_F(mem_statis, RegistryGrowsWithoutLosingIds) {
    EXPECT_EQ(reg_module_id(nth_name(0).c_str()), 0);
    EXPECT_EQ(mem_statis_table_internal().capacity, 32);
    void *block = malloc_with_statis(100, 0);
    char name[] = "module_31";
    for (int i = 1; i < 31; i++)
        ASSERT_EQ(reg_module_id(nth_name(i).c_str()), i);
    EXPECT_EQ(reg_module_id(name), 31);
    set_module_mem_limit(1000, 31);
    ap_fault::fail_all(true);
    EXPECT_EQ(reg_module_id("module_5"), 5) << "full table, known name";
    ap_fault::fail_all(false);

    name[0] = 'M';
    EXPECT_EQ(reg_module_id(name), 32);
    EXPECT_EQ(reg_module_id(nullptr), -1);
    mem_statis_table t = mem_statis_table_internal();
    EXPECT_EQ(t.registered, 33);
    EXPECT_EQ(t.capacity, 64);
    EXPECT_EQ(held(0), usable(block));
    for (int i = 0; i < 31; i++)
        EXPECT_STREQ(t.records[i].pub.module_name, nth_name(i).c_str());
    EXPECT_STREQ(t.records[31].pub.module_name, "module_31");
    EXPECT_EQ(t.records[31].pub.limit, 1000u);
    const mem_statis_entry zero{};
    for (int i = 33; i < 64; i++)
        EXPECT_EQ(memcmp(&t.records[i].pub, &zero, sizeof zero), 0) << i;
    free_with_statis(block, 0);
}

// Catches a failed growth that drops or moves the table or raises the
// capacity, and a failed name copy that registers anyway.
TEST_F(mem_statis, OutOfMemoryInRegistrationChangesNothing) {
    ap_fault::fail_nth(1);
    EXPECT_EQ(reg_module_id("first"), -1);
    EXPECT_EQ(mem_statis_table_internal().capacity, 0);
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(reg_module_id(nth_name(i).c_str()), i);
    mem_statis_table before = mem_statis_table_internal();
    ap_fault::fail_nth(1);
    EXPECT_EQ(reg_module_id("late"), -1);
    mem_statis_table after = mem_statis_table_internal();
    EXPECT_EQ(after.records, before.records);
    EXPECT_EQ(after.registered, 32);
    EXPECT_EQ(after.capacity, 32);
    EXPECT_STREQ(rec(31).module_name, "module_31");

    ap_fault::fail_nth(2);  // growth passes, the name copy fails
    EXPECT_EQ(reg_module_id("late"), -1);
    EXPECT_EQ(mem_statis_table_internal().registered, 32);
    EXPECT_EQ(rec(32).module_name, nullptr);
    EXPECT_EQ(reg_module_id("late"), 32);
}

// ---- the ceiling ---------------------------------------------------------------

// Catches an off-by-one at the ceiling, testing usable instead of requested
// bytes or one calloc factor instead of the product, and a refusal that
// reaches the allocator or touches the holding.
TEST_F(mem_statis, CeilingAdmitsExactlyTheLimit) {
    int id = reg_module_id("m");
    void *first = malloc_with_statis(600, id);
    const int64_t before = held(id);
    EXPECT_EQ(set_module_mem_limit(size_t(before) + 400, id), 0);
    long calls = ap_fault::calls();
    EXPECT_EQ(malloc_with_statis(401, id), nullptr);
    EXPECT_EQ(calloc_with_statis(401, 1, id), nullptr);
    EXPECT_EQ(ap_fault::calls(), calls);
    EXPECT_EQ(refused(id), 2u);
    EXPECT_EQ(held(id), before);
    void *second = malloc_with_statis(400, id);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(held(id), before + usable(second));
    free_with_statis(second, id);
    free_with_statis(first, id);

    set_module_mem_limit(100, id);
    EXPECT_EQ(calloc_with_statis(11, 10, id), nullptr);
    auto *zeroed = static_cast<unsigned char *>(calloc_with_statis(10, 10, id));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(held(id), usable(zeroed));
    EXPECT_EQ(zeroed[0] | zeroed[99], 0);
    free_with_statis(zeroed, id);
    EXPECT_EQ(refused(id), 3u);
    EXPECT_EQ(held(id), 0);
}

// Catches request + held (or count x size) wrapping in 64 bits and passing
// as a small request, and an overflowing calloc reaching the allocator.
TEST_F(mem_statis, HugeRequestsCannotWrapUnderTheCeiling) {
    int id = reg_module_id("m");
    void *block = malloc_with_statis(64, id);
    const int64_t before = held(id);
    set_module_mem_limit(size_t(before) + 100, id);
    long calls = ap_fault::calls();
    EXPECT_EQ(malloc_with_statis(SIZE_MAX, id), nullptr);
    EXPECT_EQ(realloc_with_statis(block, SIZE_MAX, id), nullptr);
    EXPECT_EQ(realloc_with_statis(nullptr, SIZE_MAX - 8, id), nullptr);
    EXPECT_EQ(calloc_with_statis(SIZE_MAX / 2 + 1, 2, id), nullptr);
    EXPECT_EQ(refused(id), 4u);
    set_module_mem_limit(0, id);
    EXPECT_EQ(calloc_with_statis(SIZE_MAX / 2 + 1, 2, id), nullptr);
    EXPECT_EQ(refused(id), 4u) << "without a ceiling nothing is a refusal";
    EXPECT_EQ(ap_fault::calls(), calls);
    EXPECT_EQ(held(id), before);
    free_with_statis(block, id);
}

// Catches limit 0 read as a zero-byte ceiling, a lowered ceiling rejected or
// compared with the holding, zero-byte requests let through above it, and a
// change of ceiling that resets the refusal count.
TEST_F(mem_statis, CeilingChangesApplyToTheNextRequest) {
    int id = reg_module_id("m");
    void *big = malloc_with_statis(1 << 20, id);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(set_module_mem_limit(10, id), 0);
    EXPECT_EQ(held(id), usable(big));
    EXPECT_EQ(malloc_with_statis(0, id), nullptr);
    EXPECT_EQ(calloc_with_statis(0, 0, id), nullptr);
    set_module_mem_limit(size_t(held(id)), id);
    void *empty = malloc_with_statis(0, id);
    EXPECT_NE(empty, nullptr) << "a projection equal to the ceiling passes";
    set_module_mem_limit(0, id);
    void *more = malloc_with_statis(1 << 20, id);
    EXPECT_NE(more, nullptr);
    EXPECT_EQ(refused(id), 2u);
    free_with_statis(empty, id);
    free_with_statis(more, id);
    free_with_statis(big, id);
}

// ---- resize, release, foreign blocks -----------------------------------------------

// Catches realloc not moving the account from the old usable size to the new
// one, and a refused or failed resize that frees, moves or un-accounts the
// block.
TEST_F(mem_statis, ReallocMovesTheAccount) {
    int id = reg_module_id("m");
    auto *p = static_cast<char *>(realloc_with_statis(nullptr, 100, id));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(held(id), usable(p));
    memset(p, 'x', 100);
    p = static_cast<char *>(realloc_with_statis(p, 5000, id));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(held(id), usable(p));
    EXPECT_EQ(p[99], 'x');

    // Shrinking under an exceeded ceiling passes: the old size is deducted.
    set_module_mem_limit(size_t(held(id)) - 1, id);
    p = static_cast<char *>(realloc_with_statis(p, 100, id));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(held(id), usable(p));
    EXPECT_EQ(refused(id), 0u);

    const int64_t before = held(id);
    set_module_mem_limit(size_t(before) + 50, id);
    EXPECT_EQ(realloc_with_statis(p, size_t(before) + 51, id), nullptr);
    EXPECT_EQ(refused(id), 1u);
    {
        ap_fault::FailNth oom(1);
        EXPECT_EQ(realloc_with_statis(p, size_t(before) + 50, id), nullptr);
    }
    EXPECT_EQ(refused(id), 1u);
    EXPECT_EQ(held(id), before);
    EXPECT_EQ(held(id), usable(p));
    EXPECT_EQ(p[99], 'x');
    free_with_statis(p, id);
    EXPECT_EQ(held(id), 0);
}

// Catches realloc(ptr, 0) leaving the released block's bytes in the account
// for good, or refusing a release because the module is over its ceiling.
TEST_F(mem_statis, ReallocToZeroReleasesAndDeducts) {
    int id = reg_module_id("m");
    void *keep = malloc_with_statis(300, id);
    void *gone = malloc_with_statis(300, id);
    set_module_mem_limit(1, id);
    long live = ap_fault::live();
    EXPECT_EQ(realloc_with_statis(gone, 0, id), nullptr);
    EXPECT_EQ(ap_fault::live(), live - 1);
    EXPECT_EQ(held(id), usable(keep));
    EXPECT_EQ(refused(id), 0u);
    free_with_statis(keep, id);
}

// Catches a system failure counted as holding or as a refusal, or leaking.
TEST_F(mem_statis, SystemFailureCountsNothing) {
    int id = reg_module_id("m");
    set_module_mem_limit(1 << 20, id);
    ap_fault::fail_all(true);
    EXPECT_EQ(malloc_with_statis(10, id), nullptr);
    EXPECT_EQ(calloc_with_statis(2, 8, id), nullptr);
    EXPECT_EQ(realloc_with_statis(nullptr, 10, id), nullptr);
    ap_fault::fail_all(false);
    EXPECT_EQ(held(id), 0);
    EXPECT_EQ(refused(id), 0u);
}

// Catches inc/dec that are not inverse, a ceiling test on inc, and null
// blocks being counted or released.
TEST_F(mem_statis, IncDecAccountForeignBlocks) {
    int id = reg_module_id("m");
    set_module_mem_limit(1, id);
    void *foreign = malloc(200);
    inc_mem_statis(foreign, id);
    EXPECT_EQ(held(id), usable(foreign));
    EXPECT_EQ(refused(id), 0u);
    dec_mem_statis(foreign, id);
    EXPECT_EQ(held(id), 0);
    memset(foreign, 0, 200);  // still ours: dec does not release
    free(foreign);

    long calls = ap_fault::calls();
    inc_mem_statis(nullptr, id);
    dec_mem_statis(nullptr, id);
    free_with_statis(nullptr, id);
    EXPECT_EQ(held(id), 0);
    EXPECT_EQ(ap_fault::calls(), calls);
}

// ---- contract checks -----------------------------------------------------------

namespace {
// Each accounted entry point with a block that is valid to pass to it.
std::vector<std::pair<const char *, std::function<void(int)>>> id_taking_calls() {
    return {
        {"set_module_mem_limit", [](int id) { set_module_mem_limit(0, id); }},
        {"malloc_with_statis", [](int id) { malloc_with_statis(1, id); }},
        {"calloc_with_statis", [](int id) { calloc_with_statis(1, 1, id); }},
        {"realloc_with_statis", [](int id) { realloc_with_statis(nullptr, 1, id); }},
        {"free_with_statis", [](int id) { free_with_statis(nullptr, id); }},
        {"inc_mem_statis", [](int id) { inc_mem_statis(nullptr, id); }},
        {"dec_mem_statis", [](int id) { dec_mem_statis(nullptr, id); }},
    };
}
}  // namespace

// Catches a function without the id check, one that indexes the (possibly
// still absent) table before checking, and a negative id reaching the table.
TEST_F(mem_statis_DeathTest, EveryAccountedCallChecksTheId) {
    for (const auto &[name, call] : id_taking_calls()) {
        const std::string fn = name;
        EXPECT_DEATH(call(0), fn + ": Assertion `module_id < s_statis_id' failed") << "empty";
    }
    reg_module_id("a");
    reg_module_id("b");
    for (const auto &[name, call] : id_taking_calls()) {
        const std::string fn = name;
        EXPECT_DEATH(call(2), fn + ": Assertion `module_id < s_statis_id' failed");
        EXPECT_DEATH(call(-1), fn + ": Assertion `module_id >= 0' failed");
    }
}

// Catches a release or un-accounting under the wrong module passing silently.
TEST_F(mem_statis_DeathTest, DecreaseBelowZeroStops) {
    int owner = reg_module_id("owner");
    int other = reg_module_id("other");
    void *block = malloc_with_statis(100, owner);
    const char *msg = ": Assertion `s_statis_array\\[module_id\\]\\.mem_alloced >= 0' failed";
    EXPECT_DEATH(free_with_statis(block, other), std::string("free_with_statis") + msg);
    EXPECT_DEATH(dec_mem_statis(block, other), std::string("dec_mem_statis") + msg);
    EXPECT_DEATH(realloc_with_statis(block, 200, other), std::string("realloc_with_statis") + msg);
    EXPECT_DEATH(realloc_with_statis(block, 0, other), std::string("realloc_with_statis") + msg);
    free_with_statis(block, owner);
}
