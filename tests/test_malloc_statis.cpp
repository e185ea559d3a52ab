// Module accounting's documented values and contract checks; holdings, the
// ceiling, registration and failures after random steps are the randomized
// run's.  Every test starts from an empty registry and leaks nothing.
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

const mem_statis_entry &entry(int id) {
    return mem_statis_table_internal().records[id].pub;
}

class MemStatis : public ::testing::Test {
  protected:
    void SetUp() override { mem_statis_reset_internal(), live_ = ap_fault::live; }
    void TearDown() override {
        mem_statis_reset_internal();
        EXPECT_EQ(ap_fault::live, live_);
    }
    long live_ = 0;
};

}  // namespace

// Records lost or left dirty by growth past the first 32, case folding, the
// caller's string kept instead of a copy, and a refusal of a request that
// no ceiling limits.
TEST_F(MemStatis, RegistryGrowsWithoutLosingIds) {
    EXPECT_EQ(reg_module_id(nullptr), -1);
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(reg_module_id(("module_" + std::to_string(i)).c_str()), i);
    set_module_mem_limit(1000, 31);
    EXPECT_EQ(mem_statis_table_internal().capacity, 32);
    char name[] = "MODULE_7";
    EXPECT_EQ(reg_module_id(name), 32);
    name[0] = 'X';
    EXPECT_TRUE(!strcmp(entry(32).module_name, "MODULE_7") &&
                mem_statis_table_internal().capacity == 64);
    EXPECT_TRUE(!strcmp(entry(31).module_name, "module_31") && entry(31).limit == 1000);
    const statis_record zero{};
    for (int i = 33; i < 64; i++)
        EXPECT_EQ(memcmp(&mem_statis_table_internal().records[i], &zero, sizeof zero), 0) << i;
    EXPECT_EQ(calloc_with_statis(SIZE_MAX / 2 + 1, 2, 0), nullptr);
    EXPECT_EQ(entry(0).over_limit_failed, 0u) << "without a ceiling nothing is a refusal";
}

// A function without the id check, one that indexes the (possibly absent)
// table before checking, a negative id reaching the table, and a release or
// un-accounting under the wrong module passing silently.
TEST_F(MemStatis, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::pair<std::string, std::function<void(int)>> calls[] = {
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
