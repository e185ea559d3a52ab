// Module accounting: registration and table growth, the ceiling at its
// boundaries, usable-size bookkeeping, out of memory and the contract checks.
// Every test starts from an empty registry and ends with nothing of the seam
// outstanding.
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

const statis_record &rec(int id) {
    return mem_statis_table_internal().records[id];
}
int64_t held(int id) {
    return rec(id).pub.mem_alloced;
}
uint64_t refused(int id) {
    return rec(id).pub.over_limit_failed;
}
int64_t usable(void *p) {
    return static_cast<int64_t>(malloc_usable_size(p));
}

class MemStatis : public ::testing::Test {
  protected:
    void SetUp() override {
        mem_statis_reset_internal();
        ap_fault::reset();
        live_ = ap_fault::live();
    }
    void TearDown() override {
        mem_statis_reset_internal();
        EXPECT_EQ(ap_fault::live(), live_) << "blocks leaked through the seam";
    }
    long live_ = 0;
};

}  // namespace

// Records lost, moved or left dirty by growth, a search after growth (which
// allocates for a known name), case folding, the caller's string kept instead
// of a copy, and a failed growth or copy that changes anything.
TEST_F(MemStatis, RegistryGrowsWithoutLosingIds) {
    EXPECT_EQ(reg_module_id(nullptr), -1);
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(reg_module_id("x"), -1) << "the first table";
    }
    for (int i = 0; i < 32; i++) {
        std::string name = "module_" + std::to_string(i);
        ASSERT_EQ(reg_module_id(name.c_str()), i);
    }
    set_module_mem_limit(1000, 31);
    const statis_record *before = mem_statis_table_internal().records;
    for (long k : {1, 2}) {  // the growth, then the name copy
        ap_fault::FailNth fail(k);
        EXPECT_EQ(reg_module_id("module_32"), -1);
        mem_statis_table t = mem_statis_table_internal();
        EXPECT_EQ(t.registered, 32);
        EXPECT_EQ(t.capacity, k == 1 ? 32 : 64);
        EXPECT_TRUE(k == 2 || t.records == before) << "a failed growth keeps the table";
    }
    ap_fault::reset();
    EXPECT_EQ(reg_module_id("module_7"), 7);
    EXPECT_EQ(ap_fault::calls(), 0) << "a known name allocates nothing, even on a full table";
    char name[] = "MODULE_7";
    EXPECT_EQ(reg_module_id(name), 32);
    name[0] = 'X';
    mem_statis_table t = mem_statis_table_internal();
    EXPECT_EQ(t.capacity, 64);
    EXPECT_STREQ(t.records[32].pub.module_name, "MODULE_7");
    EXPECT_STREQ(t.records[31].pub.module_name, "module_31");
    EXPECT_EQ(t.records[31].pub.limit, 1000u);
    statis_record zero{};
    for (int i = 33; i < 64; i++)
        EXPECT_EQ(memcmp(&t.records[i], &zero, sizeof zero), 0) << i;
}

// An off-by-one at the ceiling, usable instead of requested bytes, one calloc
// factor instead of the product, a sum that wraps and lets a huge request
// through, limit 0 read as a zero-byte ceiling, and a refusal that reaches the
// allocator, touches the holding or is not counted.
TEST_F(MemStatis, CeilingAdmitsExactlyTheLimit) {
    int id = reg_module_id("m");
    void *first = malloc_with_statis(600, id);
    const int64_t before = held(id);
    EXPECT_EQ(set_module_mem_limit(size_t(before) + 400, id), 0);
    long calls = ap_fault::calls();
    EXPECT_EQ(malloc_with_statis(401, id), nullptr);
    EXPECT_EQ(calloc_with_statis(401, 1, id), nullptr);
    EXPECT_EQ(malloc_with_statis(SIZE_MAX, id), nullptr);
    EXPECT_EQ(realloc_with_statis(first, SIZE_MAX, id), nullptr);
    EXPECT_EQ(calloc_with_statis(SIZE_MAX / 2 + 1, 2, id), nullptr);
    EXPECT_EQ(ap_fault::calls(), calls);
    EXPECT_EQ(refused(id), 5u);
    EXPECT_EQ(held(id), before);
    void *second = malloc_with_statis(400, id);
    EXPECT_EQ(held(id), before + usable(second)) << "a projection equal to the ceiling passes";
    EXPECT_EQ(rec(id).peak_mem_alloced, held(id));

    set_module_mem_limit(100, id);  // below the holding: even zero bytes are refused
    EXPECT_EQ(malloc_with_statis(0, id), nullptr);
    set_module_mem_limit(0, id);
    EXPECT_EQ(calloc_with_statis(SIZE_MAX / 2 + 1, 2, id), nullptr);
    EXPECT_EQ(refused(id), 6u) << "without a ceiling nothing is a refusal";
    free_with_statis(second, id);
    free_with_statis(first, id);

    set_module_mem_limit(100, id);
    EXPECT_EQ(calloc_with_statis(11, 10, id), nullptr);
    auto *zeroed = static_cast<unsigned char *>(calloc_with_statis(10, 10, id));
    EXPECT_EQ(held(id), usable(zeroed));
    EXPECT_EQ(zeroed[0] | zeroed[99], 0);
    free_with_statis(zeroed, id);
    EXPECT_EQ(refused(id), 7u);
    EXPECT_EQ(held(id), 0);
    EXPECT_GT(rec(id).peak_mem_alloced, before) << "peaks never fall";
}

// Realloc not moving the account from the old usable size to the new one, a
// refused or failed resize that frees, moves or un-accounts the block,
// realloc(p, 0) leaving the bytes behind, inc/dec that are not inverse, and a
// system failure counted as holding or as a refusal.
TEST_F(MemStatis, WrappersAccountUsableSizes) {
    int id = reg_module_id("m");
    auto *p = static_cast<char *>(realloc_with_statis(nullptr, 100, id));
    memset(p, 'x', 100);
    p = static_cast<char *>(realloc_with_statis(p, 5000, id));
    EXPECT_EQ(held(id), usable(p));
    EXPECT_EQ(p[99], 'x');
    set_module_mem_limit(size_t(held(id)) - 1, id);  // shrinking passes: the old size is deducted
    p = static_cast<char *>(realloc_with_statis(p, 100, id));
    ASSERT_NE(p, nullptr);
    const int64_t before = held(id);
    EXPECT_EQ(before, usable(p));
    set_module_mem_limit(size_t(before) + 50, id);
    EXPECT_EQ(realloc_with_statis(p, size_t(before) + 51, id), nullptr);
    for (auto call : std::vector<std::function<void *()>>{
             [&] { return realloc_with_statis(p, size_t(before) + 50, id); },
             [&] { return malloc_with_statis(10, id); },
             [&] { return calloc_with_statis(2, 8, id); }}) {
        ap_fault::FailNth oom(1);
        EXPECT_EQ(call(), nullptr);
    }
    EXPECT_EQ(refused(id), 1u);
    EXPECT_EQ(held(id), before);
    EXPECT_EQ(p[99], 'x');

    set_module_mem_limit(0, id);
    void *keep = malloc_with_statis(300, id);
    set_module_mem_limit(1, id);
    long live = ap_fault::live();
    EXPECT_EQ(realloc_with_statis(p, 0, id), nullptr);
    EXPECT_EQ(ap_fault::live(), live - 1);
    EXPECT_EQ(held(id), usable(keep));
    EXPECT_EQ(refused(id), 1u);

    void *foreign = malloc(200);
    inc_mem_statis(foreign, id);
    EXPECT_EQ(held(id), usable(keep) + usable(foreign)) << "inc passes any ceiling";
    dec_mem_statis(foreign, id);
    free(foreign);
    inc_mem_statis(nullptr, id);
    dec_mem_statis(nullptr, id);
    free_with_statis(nullptr, id);
    free_with_statis(keep, id);
    EXPECT_EQ(held(id), 0);
    EXPECT_EQ(refused(id), 1u);
}

// A function without the id check, one that indexes the (possibly absent)
// table before checking, a negative id reaching the table, and a release or
// un-accounting under the wrong module passing silently.
TEST_F(MemStatis, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<std::pair<std::string, std::function<void(int)>>> calls = {
        {"set_module_mem_limit", [](int id) { set_module_mem_limit(0, id); }},
        {"malloc_with_statis", [](int id) { malloc_with_statis(1, id); }},
        {"calloc_with_statis", [](int id) { calloc_with_statis(1, 1, id); }},
        {"realloc_with_statis", [](int id) { realloc_with_statis(nullptr, 1, id); }},
        {"free_with_statis", [](int id) { free_with_statis(nullptr, id); }},
        {"inc_mem_statis", [](int id) { inc_mem_statis(nullptr, id); }},
        {"dec_mem_statis", [](int id) { dec_mem_statis(nullptr, id); }},
    };
    for (const auto &[fn, call] : calls)
        EXPECT_DEATH(call(0), fn + ": Assertion `module_id < s_statis_id' failed") << "empty";
    int owner = reg_module_id("owner"), other = reg_module_id("other");
    for (const auto &[fn, call] : calls) {
        EXPECT_DEATH(call(2), fn + ": Assertion `module_id < s_statis_id' failed");
        EXPECT_DEATH(call(-1), fn + ": Assertion `module_id >= 0' failed");
    }
    void *block = malloc_with_statis(100, owner);
    const std::string below =
        ": Assertion `s_statis_array\\[module_id\\]\\.mem_alloced >= 0' failed";
    EXPECT_DEATH(free_with_statis(block, other), "free_with_statis" + below);
    EXPECT_DEATH(dec_mem_statis(block, other), "dec_mem_statis" + below);
    EXPECT_DEATH(realloc_with_statis(block, 200, other), "realloc_with_statis" + below);
    EXPECT_DEATH(realloc_with_statis(block, 0, other), "realloc_with_statis" + below);
    free_with_statis(block, owner);
}
