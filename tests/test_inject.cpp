// Fault injection: which calls fail (interval, seeded draws, cap, size and
// filters), that they fail down the real paths with every count exact and
// nothing else touched, the outputs that show them, and the rules refused.
#include "ap_monitor.h"
#include "ap_stats.h"
#include "malloc_statis.h"
#include "platform/ap_inject.h"
#include "testing.h"

namespace {

ap_fail_rule rule(uint64_t every, uint32_t permille = 0, uint64_t seed = 0, uint64_t times = 0) {
    return {every, permille, seed, times, 0, -1, -1, nullptr, nullptr};
}

}  // namespace

// Calls 3, 6 and 9 of four kinds of pmem call fail, in three pools (26 the
// system's), counted in the pools' and module's failures and apart, with no
// call into the system; the counts in the snapshots, metrics and report.
TEST(Inject, PmemIntervalExactAndCounted) {
    if (!pmem_inited) pmem_init();
    ap_fail_rule s = rule(3);
    ASSERT_EQ(ap_fail_inject(&s), 0);
    std::string failed;
    for (int i = 1; i <= 9; i++) {
        const long calls = ap_fault::calls;
        void *p = i % 4 == 1   ? pmem_malloc(7, 100)
                  : i % 4 == 2 ? pmem_strdup(7, "ab")
                  : i % 4 == 3 ? pmem_calloc(7, 1, 20000)
                               : pmem_realloc(7, nullptr, 1);
        if (!p) failed += std::to_string(i) + (ap_fault::calls == calls ? " " : "(called) ");
        pmem_free(p);
    }
    EXPECT_EQ(failed, "3 6 9 ");
    pmem_pool_snapshot pools[PMEM_POOL_ID_N];
    std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
    pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N),
        pmem_take_module_snapshot(mods.data(), PMEM_MID_N);
    for (unsigned p : {1u, 4u, 26u})
        EXPECT_TRUE(pools[p].fail_count == 1 && pools[p].injected_count == 1 &&
                    mods[7].fail_count[p] == 1 && pools[p].live_count == 0)
            << p;
    EXPECT_TRUE(pools[4].alloc_count == 2 && mods[7].injected_count == 3 &&
                ap_fail_injected() == 3);
    std::string text;
    ap_metrics_write_to(t::append_to, &text);
    auto has = [&text](const char *sample) { return text.find(sample) != text.npos; };
    EXPECT_TRUE(has("pmem_pool_injected_failures_total{pool=\"pmem_pool_16\",size=\"16\"} 1\n") &&
                has("pmem_module_injected_failures_total{module=\"module_7\"} 3\n"));
    const std::string path = t::temp_path("inject");
    pmem_statis_debug(path.c_str());
    EXPECT_NE(t::read_file(path).find("injected failures: 3\n[summary]"), std::string::npos);
    // Re-armed: a fresh count; in place is no allocation, a moving resize
    // fails with the old area whole.
    char *p = static_cast<char *>(pmem_malloc(7, 100));
    memcpy(p, "kept", 5);
    s = rule(1, 0, 0, 1);
    ASSERT_EQ(ap_fail_inject(&s), 0);
    EXPECT_TRUE(pmem_realloc(7, p, 120) == p && !pmem_realloc(7, p, 5000) && !strcmp(p, "kept"));
    char *moved = static_cast<char *>(pmem_realloc(7, p, 5000));
    EXPECT_TRUE(moved && !strcmp(moved, "kept") && ap_fail_injected() == 4);
    pmem_free(moved);
}

// A seed's failures are the same on every arm and differ from another
// seed's; a cap ends them after the same calls; only the named plex fails,
// counted in alloc_failed and apart.
TEST(Inject, SeededDrawsCapAndPlexFilter) {
    auto_plex draws, other;
    auto_plex_init(&draws, 24, 0, "draws"), auto_plex_init(&other, 24, 0, "xraws");
    auto run = [&](uint64_t seed, uint64_t times) {
        ap_fail_rule s = rule(0, 300, seed, times);
        s.plex = "draws";
        EXPECT_EQ(ap_fail_inject(&s), 0);
        std::string pattern;
        for (int i = 0; i < 200; i++) {
            void *p = auto_plex_alloc(&draws), *q = auto_plex_alloc(&other);
            pattern += p ? '.' : 'x';
            if (p) auto_plex_free(&draws, p);
            EXPECT_TRUE(q) << "another plex failed";
            auto_plex_free(&other, q);
        }
        return pattern;
    };
    const std::string one = run(1, 0), again = run(1, 0), two = run(2, 0);
    auto fails = [](const std::string &p) { return uint64_t(std::count(p.begin(), p.end(), 'x')); };
    EXPECT_TRUE(one == again && one != two && fails(one) == 67 && one.starts_with("...x.xx."))
        << one << " is not splitmix64's";
    const std::string capped = run(1, 5);
    std::string first_five = one;
    for (size_t i = 0, k = 0; i < first_five.size(); i++)
        if (first_five[i] == 'x' && ++k > 5) first_five[i] = '.';
    EXPECT_EQ(capped, first_five);
    auto_plex_snapshot snap[2];
    ASSERT_GE(auto_plex_take_snapshot(snap, 2), 2u);
    EXPECT_TRUE(snap[1].alloc_failed == 2 * fails(one) + fails(two) + 5 &&
                snap[1].alloc_injected == snap[1].alloc_failed && snap[0].alloc_injected == 0 &&
                draws.using_num == 0);
    ap_fail_rule listed;
    ap_fail_rule_internal(&listed);
    EXPECT_TRUE(listed.permille == 300 && listed.times == 5 && !strcmp(listed.plex, "draws") &&
                !listed.statis_module && listed.pmem_module == -1);
    ap_fail_inject(nullptr), ap_fail_rule_internal(&listed);
    EXPECT_TRUE(!listed.every && !listed.permille && !listed.seed && !listed.times && !listed.plex);
    auto_plex_clear(&draws), auto_plex_clear(&other);
}

// Each filter and min_size let through only their calls; an accounted
// failure leaves the account and a resized block as they were; bad rules
// change nothing.
TEST(Inject, FiltersAndRefusedSpecs) {
    if (!pmem_inited) pmem_init();
    std::vector<void *> held;  // pmem's, released at the end
    auto pmem = [&](uint16_t mid, size_t n) { return held.emplace_back(pmem_malloc(mid, n)); };
    const int acct = reg_module_id("acct"), quiet = reg_module_id("bcct");
    char *b = static_cast<char *>(malloc_with_statis(100, acct));
    memcpy(b, "kept", 5);
    ap_fail_rule s = rule(1);
    s.pmem_module = 0, s.min_size = 1000;
    ASSERT_EQ(ap_fail_inject(&s), 0);
    void *kept[] = {pmem(6, 2000), pmem(0, 999), malloc_with_statis(2000, acct)};
    EXPECT_TRUE(kept[0] && kept[1] && kept[2] && !pmem(0, 1000));
    s = rule(1), s.pmem_pool = 4;
    ASSERT_EQ(ap_fail_inject(&s), 0);
    EXPECT_TRUE(!pmem(1, 100) && pmem(1, 20));
    s = rule(1), s.statis_module = "acct";
    ASSERT_EQ(ap_fail_inject(&s), 0);
    mem_statis_snapshot before[2], after[2];
    mem_statis_take_snapshot(before, 2);
    EXPECT_TRUE(!malloc_with_statis(10, acct) && !calloc_with_statis(2, 8, acct) &&
                !realloc_with_statis(b, 10000, acct) && !strcmp(b, "kept"));
    mem_statis_take_snapshot(after, 2);
    EXPECT_TRUE(after[0].mem_alloced == before[0].mem_alloced && after[0].injected_count == 3);
    void *q = nullptr;
    EXPECT_TRUE((b = static_cast<char *>(realloc_with_statis(b, 50, acct))) &&
                (q = malloc_with_statis(10, quiet)) && pmem(1, 100) &&
                (mem_statis_take_snapshot(after, 2), after[1].injected_count == 0));
    const std::string long_name(128, 'n');
    ap_fail_rule bad[6] = {rule(1, 1001), rule(1), rule(1), rule(1), rule(1), rule(1)};
    bad[1].pmem_module = 1, bad[1].plex = "x";
    bad[2].pmem_module = PMEM_MID_N, bad[3].pmem_pool = PMEM_POOL_ID_N, bad[4].pmem_pool = -2;
    bad[5].plex = long_name.c_str();
    for (const ap_fail_rule &x : bad)
        EXPECT_EQ(ap_fail_inject(&x), -22) << &x - bad;
    EXPECT_TRUE(!malloc_with_statis(10, acct) && pmem(1, 100)) << "the rule in force changed";
    s = rule(1), s.plex = long_name.c_str() + 1;
    EXPECT_EQ(ap_fail_inject(&s), 0);
    free_with_statis(b, acct), free_with_statis(kept[2], acct), free_with_statis(q, quiet);
    for (void *p : held)
        pmem_free(p);
}
