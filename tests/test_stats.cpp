// Statistics as data: snapshots, peaks and JSON reports.  Every TEST runs in
// a process of its own under ctest (ap_add_test), so counts are absolute;
// to run this binary by hand, pick one test with --gtest_filter.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ap_stats.h"
#include "fault.h"
#include "log_capture.h"
#include "malloc_statis.h"
#include "pmem.h"

using nlohmann::json;

namespace {

// The one callback call of a JSON report, parsed.
json rt_document(int (*report)(app_log_rt_fn), const char *routine) {
    log_capture::calls().clear();
    EXPECT_EQ(report(log_capture::record), 0);
    const auto &calls = log_capture::calls();
    EXPECT_EQ(calls.size(), 1u);
    if (calls.size() != 1) return json();
    EXPECT_EQ(calls[0].routine, routine);
    EXPECT_EQ(calls[0].line, AP_STATS_JSON_LINE);
    EXPECT_EQ(calls[0].text.back(), '\n');
    return json::parse(calls[0].text);
}

json file_document(int (*report)(const char *)) {
    std::string path = log_capture::temp_path("json");
    EXPECT_EQ(report(path.c_str()), 0);
    json doc = json::parse(log_capture::read_file(path));
    unlink(path.c_str());
    return doc;
}

// What every report starts with.
void expect_head(const json &doc, const char *report) {
    EXPECT_EQ(doc["version"], AP_STATS_JSON_VERSION);
    EXPECT_EQ(doc["report"], report);
    EXPECT_EQ(doc["pid"], getpid());
    EXPECT_EQ(doc["ppid"], getppid());
    EXPECT_TRUE(doc["time"].is_number_integer());
    for (const char *f : {"arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                          "uordblks", "fordblks", "keepcost"})
        EXPECT_TRUE(doc["mallinfo2"][f].is_number_unsigned()) << f;
}

// The file and callback forms differ only in the moment they were made.
void expect_same_counts(json a, json b) {
    for (json *d : {&a, &b}) {
        d->erase("time");
        d->erase("mallinfo2");
    }
    EXPECT_EQ(a, b);
}

std::string format(const char *fmt, ...) AP_PRINTF_LIKE(1, 2);
std::string format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// The captured text-report lines sent with line number `line`.
std::vector<std::string> text_lines(int line) {
    std::vector<std::string> out;
    for (const auto &c : log_capture::calls())
        if (c.line == line) out.push_back(c.text);
    return out;
}

// ---- object pools ------------------------------------------------------------------

struct TwoPlexes {
    auto_plex timers{}, sessions{};
    std::vector<void *> live;
    TwoPlexes() {
        EXPECT_EQ(auto_plex_init(&timers, 32, 1000, "timers"), 0);
        EXPECT_EQ(auto_plex_init(&sessions, 144, 0, "sessions"), 0);
        for (int i = 0; i < 1000; i++)
            auto_plex_alloc(&timers);
        EXPECT_EQ(auto_plex_alloc(&timers), nullptr);  // bounded: alloc_failed 1
        for (int i = 0; i < 1030; i++)
            live.push_back(auto_plex_alloc(&sessions));
        for (int i = 0; i < 6; i++) {  // the second block drains, and stays
            auto_plex_free(&sessions, live.back());
            live.pop_back();
        }
    }
    ~TwoPlexes() {
        auto_plex_clear(&sessions);
        auto_plex_clear(&timers);
    }
};

// Catches a field copied from the wrong counter, the wrong registry order,
// and block counts that miss a full or an empty block.
TEST(StatsPlex, SnapshotHoldsEveryCounterNewestFirst) {
    TwoPlexes p;
    auto_plex_snapshot s[4];
    ASSERT_EQ(auto_plex_take_snapshot(s, 4), 2u);

    EXPECT_EQ(s[0].plex, &p.sessions);
    EXPECT_STREQ(s[0].module_name, "sessions");
    EXPECT_EQ(s[0].item_size, 144u);
    EXPECT_EQ(s[0].step_alloc_num, 1024u);
    EXPECT_EQ(s[0].max_num, 0u);
    EXPECT_EQ(s[0].alloc_num, 2048u);
    EXPECT_EQ(s[0].using_num, 1024u);
    EXPECT_EQ(s[0].peak_using_num, 1030u);
    EXPECT_EQ(s[0].block_num, 1u);
    EXPECT_EQ(s[0].block_count, 2u);
    EXPECT_EQ(s[0].full_block_count, 1u);
    EXPECT_EQ(s[0].count_expand, 2u);
    EXPECT_EQ(s[0].count_clear, 0u);
    EXPECT_EQ(s[0].expand_failed, 0u);
    EXPECT_EQ(s[0].alloc_failed, 0u);

    EXPECT_EQ(s[1].plex, &p.timers);
    EXPECT_STREQ(s[1].module_name, "timers");
    EXPECT_EQ(s[1].alloc_num, 1000u);
    EXPECT_EQ(s[1].using_num, 1000u);
    EXPECT_EQ(s[1].peak_using_num, 1000u);
    EXPECT_EQ(s[1].max_num, 1000u);
    EXPECT_EQ(s[1].block_count, 1u);
    EXPECT_EQ(s[1].full_block_count, 1u);
    EXPECT_EQ(s[1].alloc_failed, 1u);

    auto_plex_block_snapshot b[2];
    ASSERT_EQ(auto_plex_take_block_snapshot(&p.sessions, b, 2), 2u);
    EXPECT_LT(b[0].block->ctl.head, b[1].block->ctl.head) << "order of the block memory";
    EXPECT_EQ(b[0].alloc_num + b[1].alloc_num, 2048u);
    EXPECT_EQ(b[0].using_num + b[1].using_num, 1024u);
    EXPECT_TRUE(b[0].using_num == 0 || b[1].using_num == 0);
}

// Catches a peak that follows falls, one that misses a rise after a fall,
// one that survives a re-init, and a name prefix freed from the wrong address
// (the seam would count a block left over).
TEST(StatsPlex, PeakKeepsTheHighestUsingNumUntilClear) {
    long live = ap_fault::live();
    auto_plex p;
    ASSERT_EQ(auto_plex_init(&p, 8, 0, "peaks"), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p.module_name) % 16, 0u);
    std::vector<void *> objs;
    auto take = [&](int n) {
        for (int i = 0; i < n; i++)
            objs.push_back(auto_plex_alloc(&p));
    };
    auto give = [&](int n) {
        for (int i = 0; i < n; i++) {
            auto_plex_free(&p, objs.back());
            objs.pop_back();
        }
    };
    auto peak = [&] {
        auto_plex_snapshot s;
        EXPECT_EQ(auto_plex_take_snapshot(&s, 1), 1u);
        return s.peak_using_num;
    };
    EXPECT_EQ(peak(), 0u);
    take(300);
    give(200);
    take(50);
    EXPECT_EQ(peak(), 300u);
    take(200);
    EXPECT_EQ(peak(), 350u);
    auto_plex_clear(&p);
    EXPECT_EQ(auto_plex_take_snapshot(nullptr, 0), 0u);
    EXPECT_EQ(ap_fault::live(), live);

    ASSERT_EQ(auto_plex_init(&p, 8, 0, "peaks"), 0);
    EXPECT_EQ(peak(), 0u);
    auto_plex_clear(&p);
    EXPECT_EQ(ap_fault::live(), live);
}

// ---- pmem ------------------------------------------------------------------------

// Catches live and peak figures taken from the wrong counter or pool, a
// moving realloc whose two live areas are not both counted at their peak,
// and failures that raise a peak.
TEST(StatsPmem, SnapshotAndPeaksAfterRisesAndFalls) {
    ASSERT_EQ(pmem_init(), 0);
    const uint16_t mid = 5;
    void *a = pmem_malloc(mid, 100);  // pool 4, 128 bytes
    void *b = pmem_malloc(mid, 100);
    void *c = pmem_malloc(mid, 100);  // pool 4: 3 live, module 384 bytes
    pmem_free(b);
    pmem_free(c);
    void *d = pmem_malloc(mid, 100);  // 2 live, 256 bytes
    a = pmem_realloc(mid, a, 200);    // to pool 5: 512 bytes for a moment
    {
        ap_fault::FailNth oom(1);
        EXPECT_EQ(pmem_malloc(mid, 9000), nullptr);
    }
    void *big = pmem_malloc(mid, 9000);
    const uint64_t u = pmem_ptr2size(big);
    pmem_free(big);

    pmem_pool_snapshot pools[PMEM_POOL_ID_N];
    ASSERT_EQ(pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N), size_t{PMEM_POOL_ID_N});
    const pmem_pool_snapshot &p4 = pools[4], &p5 = pools[5], &p26 = pools[26];
    EXPECT_STREQ(p4.name, "pmem_pool_128");
    EXPECT_EQ(p4.size, 128u);
    EXPECT_EQ(p4.alloc_count, 4u);
    EXPECT_EQ(p4.free_count, 3u);
    EXPECT_EQ(p4.live_count, 1u);
    EXPECT_EQ(p4.peak_live_count, 3u);
    EXPECT_EQ(p5.live_count, 1u);
    EXPECT_EQ(p5.peak_live_count, 1u);
    EXPECT_STREQ(p26.name, "pmem_pool_1073741824");
    EXPECT_EQ(p26.alloc_count, 1u);
    EXPECT_EQ(p26.fail_count, 1u);
    EXPECT_EQ(p26.live_count, 0u);
    EXPECT_EQ(p26.peak_live_count, 1u);
    EXPECT_EQ(pools[3].peak_live_count, 0u);

    std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
    ASSERT_EQ(pmem_take_module_snapshot(mods.data(), mods.size()), size_t{PMEM_MID_N});
    const pmem_module_snapshot &m = mods[mid];
    EXPECT_EQ(m.name, pmem_module_names[mid]);
    EXPECT_EQ(m.alloc_size, 4 * 128 + 256 + u);
    EXPECT_EQ(m.free_size, 3 * 128 + u);
    EXPECT_EQ(m.live_bytes, 384u);
    EXPECT_EQ(m.peak_live_bytes, 384 + u);  // a, d and big live together
    EXPECT_EQ(m.alloc_count[4], 4u);
    EXPECT_EQ(m.free_count[4], 3u);
    EXPECT_EQ(m.alloc_count[5], 1u);
    EXPECT_EQ(m.fail_count[26], 1u);
    EXPECT_EQ(memcmp(m.alloc_count, pmem_module_stats[mid].alloc_count, sizeof m.alloc_count), 0);
    EXPECT_EQ(mods[0].peak_live_bytes, 0u);
    EXPECT_STREQ(mods[0].name, "default");

    // Before big, the moving realloc held the record: old and new area at once.
    pmem_free(a);
    pmem_free(d);
    void *e = pmem_malloc(6, 100);
    void *f = pmem_realloc(6, e, 200);  // 128 + 256 live for a moment
    ASSERT_EQ(pmem_take_module_snapshot(mods.data(), mods.size()), size_t{PMEM_MID_N});
    EXPECT_EQ(mods[6].peak_live_bytes, 384u);
    EXPECT_EQ(mods[6].live_bytes, 256u);
    pmem_free(f);
}

// ---- module accounting ---------------------------------------------------------------

// Catches peaks lost or shifted when the table grows (they share its
// allocation), a failed growth that touches them, a realloc that peaks on
// its intermediate sum, and an inc_mem_statis that skips the peak.
TEST(StatsStatis, SnapshotAndPeaksSurviveTableGrowth) {
    int cache = reg_module_id("cache");
    void *a = malloc_with_statis(1000, cache);
    void *b = malloc_with_statis(3000, cache);
    const int64_t top = int64_t(malloc_usable_size(a) + malloc_usable_size(b));
    free_with_statis(b, cache);
    a = realloc_with_statis(a, 2000, cache);  // net below top: no new peak
    const int64_t held = int64_t(malloc_usable_size(a));

    int ext = reg_module_id("external");
    void *outside = malloc(50000);
    const int64_t outside_size = int64_t(malloc_usable_size(outside));
    inc_mem_statis(outside, ext);
    dec_mem_statis(outside, ext);
    free(outside);

    int capped = reg_module_id("capped");
    set_module_mem_limit(10, capped);
    EXPECT_EQ(malloc_with_statis(100, capped), nullptr);

    auto check = [&](int registered) {
        std::vector<mem_statis_snapshot> s(70);
        ASSERT_EQ(mem_statis_take_snapshot(s.data(), s.size()), size_t(registered));
        EXPECT_STREQ(s[cache].module_name, "cache");
        EXPECT_EQ(s[cache].mem_alloced, held);
        EXPECT_EQ(s[cache].peak_mem_alloced, top);
        EXPECT_EQ(s[ext].mem_alloced, 0);
        EXPECT_EQ(s[ext].peak_mem_alloced, outside_size);
        EXPECT_EQ(s[capped].limit, 10u);
        EXPECT_EQ(s[capped].over_limit_failed, 1u);
        EXPECT_EQ(s[capped].peak_mem_alloced, 0);
        for (int id = 3; id < registered; id++)
            EXPECT_EQ(s[id].peak_mem_alloced, 0) << id;
    };
    check(3);
    for (int i = 3; i < 64; i++)  // grows at 33 to 64 records
        ASSERT_EQ(reg_module_id(("m" + std::to_string(i)).c_str()), i);
    check(64);
    ap_fault::fail_nth(1);  // growth to 128 fails
    EXPECT_EQ(reg_module_id("late"), -1);
    check(64);
    free_with_statis(a, cache);
}

// ---- buffers ---------------------------------------------------------------------------

// Catches a snapshot that writes past `capacity`, returns the filled count
// instead of the total, or needs pmem_init for its names.
TEST(StatsBuffers, TooSmallFillsWhatFitsAndTellsTheTotal) {
    auto_plex x, y;
    ASSERT_EQ(auto_plex_init(&x, 16, 0, "x"), 0);
    ASSERT_EQ(auto_plex_init(&y, 16, 0, "y"), 0);
    auto_plex_snapshot ps[2];
    memset(ps, 0xab, sizeof ps);
    const auto_plex_snapshot untouched = ps[1];
    EXPECT_EQ(auto_plex_take_snapshot(nullptr, 0), 2u);
    EXPECT_EQ(auto_plex_take_snapshot(ps, 1), 2u);
    EXPECT_STREQ(ps[0].module_name, "y");
    EXPECT_EQ(memcmp(&ps[1], &untouched, sizeof untouched), 0);
    auto_plex_block_snapshot bs;
    EXPECT_EQ(auto_plex_take_block_snapshot(&x, &bs, 1), 0u);
    auto_plex_alloc(&x);
    EXPECT_EQ(auto_plex_take_block_snapshot(&x, nullptr, 0), 1u);
    auto_plex_clear(&x);
    auto_plex_clear(&y);

    for (const char *n : {"a", "b", "c"})
        reg_module_id(n);
    mem_statis_snapshot ms[3];
    memset(ms, 0xab, sizeof ms);
    EXPECT_EQ(mem_statis_take_snapshot(ms, 2), 3u);
    EXPECT_STREQ(ms[1].module_name, "b");
    EXPECT_EQ(ms[2].limit, 0xababababababababu);

    pmem_pool_snapshot pools[6];
    memset(pools, 0xab, sizeof pools);
    EXPECT_EQ(pmem_take_pool_snapshot(pools, 5), size_t{PMEM_POOL_ID_N});
    EXPECT_STREQ(pools[4].name, "pmem_pool_128") << "named before pmem_init";
    EXPECT_EQ(pools[5].size, 0xababababu);
    EXPECT_EQ(pmem_take_module_snapshot(nullptr, 0), size_t{PMEM_MID_N});
    EXPECT_DEATH(pmem_take_module_snapshot(nullptr, 1), "out \\|\\| capacity == 0");
}

// ---- JSON ------------------------------------------------------------------------------

// Catches a JSON member that drifts from the snapshot or from the text report
// made at the same moment, a missing block, and a summary summed differently.
TEST(StatsJson, PlexDocumentAgreesWithSnapshotAndText) {
    TwoPlexes p;
    json doc = rt_document(auto_plex_debug_json_rt, "auto_plex_debug_json_rt");
    expect_head(doc, "auto_plex");
    expect_same_counts(doc, file_document(auto_plex_debug_json));

    auto_plex_snapshot s[2];
    ASSERT_EQ(auto_plex_take_snapshot(s, 2), 2u);
    ASSERT_EQ(doc["plexes"].size(), 2u);
    for (int i = 0; i < 2; i++) {
        const json &j = doc["plexes"][i];
        EXPECT_EQ(j["module_name"], s[i].module_name);
        EXPECT_EQ(j["peak_using_num"], s[i].peak_using_num);
        EXPECT_EQ(j["block_count"], s[i].block_count);
        EXPECT_EQ(j["full_block_count"], s[i].full_block_count);
        EXPECT_EQ(j["alloc_failed"], s[i].alloc_failed);
        EXPECT_EQ(j["block_num"], s[i].block_num);
        EXPECT_EQ(j["blocks"].size(), s[i].block_count);
    }

    log_capture::calls().clear();
    auto_plex_debug_rt(log_capture::record);
    std::vector<std::string> plex_lines = text_lines(58), block_lines = text_lines(66);
    ASSERT_EQ(plex_lines.size(), 2u);
    size_t block = 0;
    for (int i = 0; i < 2; i++) {
        const json &j = doc["plexes"][i];
        EXPECT_EQ(plex_lines[i],
                  format("module_name:%s using_num:%lu step_alloc_num:%lu alloc_num:%lu "
                         "max_num:%lu item_size:%lu  count_expand:%lu count_clear:%lu "
                         "expand_failed:%lu ",
                         j["module_name"].get<std::string>().c_str(),
                         j["using_num"].get<uint64_t>(), j["step_alloc_num"].get<uint64_t>(),
                         j["alloc_num"].get<uint64_t>(), j["max_num"].get<uint64_t>(),
                         j["item_size"].get<uint64_t>(), j["count_expand"].get<uint64_t>(),
                         j["count_clear"].get<uint64_t>(), j["expand_failed"].get<uint64_t>()));
        for (const json &b : j["blocks"]) {
            ASSERT_LT(block, block_lines.size());
            EXPECT_EQ(block_lines[block++],
                      format("    block:%s alloc_num:%lu using_num:%lu \n",
                             b["block"].get<std::string>().c_str(), b["alloc_num"].get<uint64_t>(),
                             b["using_num"].get<uint64_t>()));
        }
    }
    EXPECT_EQ(block, block_lines.size());
    const json &sum = doc["summary"];
    EXPECT_EQ(text_lines(87).at(0),
              format("[summary]---total_max_mem:%lu allocated_mem:%lu used_mem:%lu----\n",
                     sum["total_max_mem"].get<uint64_t>(), sum["allocated_mem"].get<uint64_t>(),
                     sum["used_mem"].get<uint64_t>()));
}

// Catches the same drifts for pmem: pool rows, module rows with all 27
// per-pool counts (the JSON lists only touched pools), live and peak figures.
TEST(StatsJson, PmemDocumentAgreesWithSnapshotAndText) {
    ASSERT_EQ(pmem_init(), 0);
    std::vector<void *> live;
    for (size_t size : {0, 1, 100, 100, 700, 5000, 9000, 20000})
        live.push_back(pmem_malloc(3, size));
    live.push_back(pmem_strdup(7, "seven"));
    pmem_free(live[6]);
    pmem_free(live[2]);
    live.erase(live.begin() + 6);
    live.erase(live.begin() + 2);

    json doc = rt_document(pmem_statis_debug_json_rt, "pmem_statis_debug_json_rt");
    expect_head(doc, "pmem");
    EXPECT_EQ(doc["inited"], true);
    expect_same_counts(doc, file_document(pmem_statis_debug_json));

    pmem_pool_snapshot pools[PMEM_POOL_ID_N];
    std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
    pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N);
    pmem_take_module_snapshot(mods.data(), mods.size());
    log_capture::calls().clear();
    pmem_statis_debug_rt(log_capture::record);

    ASSERT_EQ(doc["pools"].size(), size_t{PMEM_POOL_ID_N});
    std::vector<std::string> rows = text_lines(366);
    for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
        const json &j = doc["pools"][p];
        EXPECT_EQ(j["pool"], p);
        EXPECT_EQ(j["name"], pools[p].name);
        EXPECT_EQ(j["size"], pools[p].size);
        EXPECT_EQ(j["live_count"], pools[p].live_count);
        EXPECT_EQ(j["peak_live_count"], pools[p].peak_live_count);
        EXPECT_EQ(
            rows.at(p),
            format("%-20s %-12lu %-12lu %-12lu\n", pools[p].name, j["alloc_count"].get<uint64_t>(),
                   j["free_count"].get<uint64_t>(), j["fail_count"].get<uint64_t>()));
    }

    ASSERT_EQ(doc["modules"].size(), size_t{PMEM_MID_N});
    std::vector<std::string> module_rows = text_lines(378), pool_rows = text_lines(384);
    for (unsigned m = 0; m < PMEM_MID_N; m++) {
        const json &j = doc["modules"][m];
        EXPECT_EQ(j["mid"], m);
        EXPECT_EQ(j["name"], mods[m].name);
        EXPECT_EQ(j["live_bytes"], mods[m].live_bytes);
        EXPECT_EQ(j["peak_live_bytes"], mods[m].peak_live_bytes);
        EXPECT_EQ(module_rows.at(m),
                  format("%-20s %-12lu %-12lu\n", mods[m].name, j["alloc_size"].get<uint64_t>(),
                         j["free_size"].get<uint64_t>()));
        uint64_t counts[PMEM_POOL_ID_N][3] = {};
        for (const json &pp : j["pools"]) {
            unsigned p = pp["pool"];
            counts[p][0] = pp["alloc_count"];
            counts[p][1] = pp["free_count"];
            counts[p][2] = pp["fail_count"];
        }
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            EXPECT_EQ(counts[p][0], mods[m].alloc_count[p]);
            EXPECT_EQ(pool_rows.at(m * PMEM_POOL_ID_N + p),
                      format("%-12lu %-12lu %-12lu\n", counts[p][0], counts[p][1], counts[p][2]));
        }
    }
    EXPECT_EQ(doc["modules"][3]["pools"].size(), 6u) << "pools 0, 1, 4, 11, 22 and 26";
    const json &sum = doc["summary"];
    EXPECT_EQ(
        text_lines(391).at(0),
        format("[summary]---total_allocated_mem:%lu total_freed_mem:%lu----\n",
               sum["total_allocated_mem"].get<uint64_t>(), sum["total_freed_mem"].get<uint64_t>()));
    for (void *q : live)
        pmem_free(q);
}

// Catches the same drifts for the accounted modules.
TEST(StatsJson, StatisDocumentAgreesWithSnapshotAndText) {
    int cache = reg_module_id("cache");
    int journal = reg_module_id("journal");
    set_module_mem_limit(4096, cache);
    void *a = malloc_with_statis(4000, cache);
    EXPECT_EQ(malloc_with_statis(4000, cache), nullptr);
    void *b = malloc_with_statis(1 << 20, journal);

    json doc = rt_document(mem_statis_debug_json_rt, "mem_statis_debug_json_rt");
    expect_head(doc, "mem_statis");
    expect_same_counts(doc, file_document(mem_statis_debug_json));

    mem_statis_snapshot s[2];
    ASSERT_EQ(mem_statis_take_snapshot(s, 2), 2u);
    log_capture::calls().clear();
    mem_statis_debug_rt(log_capture::record);
    std::vector<std::string> rows = text_lines(213);
    ASSERT_EQ(doc["modules"].size(), 2u);
    for (int id = 0; id < 2; id++) {
        const json &j = doc["modules"][id];
        EXPECT_EQ(j["id"], id);
        EXPECT_EQ(j["module_name"], s[id].module_name);
        EXPECT_EQ(j["peak_mem_alloced"], s[id].peak_mem_alloced);
        EXPECT_EQ(j["mem_alloced"], s[id].mem_alloced);
        EXPECT_EQ(rows.at(id),
                  format("module_name:%s alloc_mem:%ld limit:%ld over_limit_failed:%ld\n",
                         s[id].module_name, j["mem_alloced"].get<int64_t>(),
                         j["limit"].get<int64_t>(), j["over_limit_failed"].get<int64_t>()));
    }
    EXPECT_EQ(doc["modules"][0]["over_limit_failed"], 1);
    EXPECT_EQ(text_lines(220).at(0),
              format("[summary]----------total_allocated_mem:%ld------------\n",
                     doc["summary"]["total_allocated_mem"].get<int64_t>()));
    free_with_statis(a, cache);
    free_with_statis(b, journal);
}

// Catches names that break the document: quotes, backslashes, control bytes
// and bytes that are not UTF-8 (a strict parser rejects them).
TEST(StatsJson, AnyNameGivesAValidDocument) {
    const std::string names[] = {"quote\"back\\slash",
                                 "tab\tnew\nline\x01",
                                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                                 "bad\xff",
                                 "cut\xe2\x82",
                                 "surrogate\xed\xa0\x80",
                                 "overlong\xc0\xaf"};
    const std::string want[] = {"quote\"back\\slash",
                                "tab\tnew\nline\x01",
                                "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                                "bad\xef\xbf\xbd",
                                "cut\xef\xbf\xbd\xef\xbf\xbd",
                                "surrogate\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd",
                                "overlong\xef\xbf\xbd\xef\xbf\xbd"};
    for (const std::string &n : names)
        ASSERT_GE(reg_module_id(n.c_str()), 0);
    json doc = rt_document(mem_statis_debug_json_rt, "mem_statis_debug_json_rt");
    ASSERT_EQ(doc["modules"].size(), std::size(names));
    for (size_t i = 0; i < std::size(names); i++)
        EXPECT_EQ(doc["modules"][i]["module_name"], want[i]) << i;
}

// Catches a file form that appends, leaves its temporary file behind or
// writes half a file, and null or failing arguments that still write or call.
TEST(StatsJson, FileIsReplacedWholeAndBadTargetsWriteNothing) {
    std::string dir = ::testing::TempDir() + "ap_json_" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string path = dir + "/stats.json";
    reg_module_id("one");
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    reg_module_id("two");
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    json doc = json::parse(log_capture::read_file(path));  // throws on two documents
    EXPECT_EQ(doc["modules"].size(), 2u);
    unlink(path.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "temporary file left behind";

    EXPECT_EQ(mem_statis_debug_json(nullptr), -1);
    EXPECT_EQ(pmem_statis_debug_json((dir + "/missing/x.json").c_str()), -1);
    log_capture::calls().clear();
    EXPECT_EQ(auto_plex_debug_json_rt(nullptr), -1);
    EXPECT_TRUE(log_capture::calls().empty());
}

// Catches a callback form that sends nothing, half a document or leaks its
// buffer when memory runs out, at the first buffer and at a later growth.
TEST(StatsJson, OutOfMemorySendsOneErrorDocument) {
    ASSERT_EQ(pmem_init(), 0);  // large enough to grow the buffer
    long live = ap_fault::live();
    for (long k : {1, 2}) {
        ap_fault::FailNth oom(k);
        log_capture::calls().clear();
        EXPECT_EQ(pmem_statis_debug_json_rt(log_capture::record), -1) << k;
        ASSERT_EQ(log_capture::calls().size(), 1u);
        json doc = json::parse(log_capture::calls()[0].text);
        EXPECT_EQ(doc, json::parse(R"({"version":1,"report":"pmem","error":"out of memory"})"));
        EXPECT_EQ(ap_fault::live(), live) << k;
    }
}

}  // namespace
