// Module accounting's contract checks.  Holdings, ceilings, registration and
// failures are the randomized run's (fuzz/fuzz_walk.cpp).
#include "platform/ap_sys.h"
#include "private/malloc_statis_private.h"
#include "testing.h"

// A function without the id check, one that indexes the (possibly absent)
// table before checking, a negative id reaching the table, and a release or
// un-accounting under the wrong module passing silently.
TEST(MemStatis, ContractViolationsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mem_statis_reset_internal();
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
    const std::string below = ": Assertion `s_statis_array.module_id.\\.mem_alloced >= 0' failed";
    EXPECT_DEATH(free_with_statis(block, other), "free_with_statis" + below);
    EXPECT_DEATH(dec_mem_statis(block, other), "dec_mem_statis" + below);
    EXPECT_DEATH(realloc_with_statis(block, 200, other), "realloc_with_statis" + below);
    EXPECT_DEATH(realloc_with_statis(block, 0, other), "realloc_with_statis" + below);
    free_with_statis(block, owner);
}

// Blocks enter and leave the account at malloc_usable_size whether that is
// asked for or read from glibc's chunk: a misread flag or header would
// miscount heap or mmapped blocks (40 MiB is past glibc's highest mmap
// threshold) once the reading is trusted, and a reading never trusted costs
// every call a second one into the allocator.
TEST(MemStatis, AccountsUsableSizesOfHeapAndMappedBlocks) {
    mem_statis_reset_internal();
    const int id = reg_module_id("sizes");
    std::vector<std::pair<void *, bool>> held;  // the block, and whether only inc_mem_statis saw it
    auto exact = [&] {
        int64_t sum = 0;
        for (auto [p, inc] : held)
            sum += int64_t(malloc_usable_size(p));
        return mem_statis_figures_internal(id).pub.mem_alloced == sum;
    };
    for (int round = 0; round < 10; round++) {
        for (size_t size : {size_t{0}, size_t{1}, size_t{24}, size_t{25}, size_t{1000},
                            size_t{70000}, size_t{300000}, size_t{40} << 20}) {
            void *grown = realloc_with_statis(malloc_with_statis(size, id), size / 2 + 9999, id);
            held.insert(held.end(), {{grown, false},
                                     {calloc_with_statis(2, size / 2, id), false},
                                     {malloc(size), true}});
            inc_mem_statis(held.back().first, id);
            ASSERT_TRUE(exact()) << size;
        }
        while (!held.empty()) {
            auto [p, inc] = held.back();
            held.pop_back();
            inc ? dec_mem_statis(p, id), free(p) : free_with_statis(p, id);
            ASSERT_TRUE(exact());
        }
    }
    EXPECT_EQ(mem_statis_reads_chunks_internal(), ap_sys_glibc_chunks());
}

// The reading is checked, not assumed: once the seam's answer for a block
// differs from the chunk header (here: for blocks of 1000 bytes and more),
// every size is asked for, or counts drift from what the allocator reports.
TEST(MemStatis, AsksForEverySizeOnceAReadingDisagrees) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ap_fault::usable_lie_from = 1000;
            const int id = reg_module_id("told");
            int64_t told = 0;
            void *blocks[12];
            for (int i = 0; i < 12; i++) {  // a large block after five small ones, twice
                blocks[i] = malloc_with_statis(i % 6 < 5 ? 24 : 2000, id);
                told += int64_t(ap_sys_usable_size(blocks[i]));
            }
            const bool ok = mem_statis_figures_internal(id).pub.mem_alloced == told &&
                            !mem_statis_reads_chunks_internal();
            for (void *b : blocks)
                free_with_statis(b, id);
            exit(ok && mem_statis_figures_internal(id).pub.mem_alloced == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
