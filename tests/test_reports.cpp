// The reports layer: the six text reports as whole expected texts (time
// stamps and process ids masked), one JSON document per component parsed and
// compared with the snapshot taken at the same moment, the snapshot buffers,
// and the JSON writer's escaping and failure paths.  The registries and
// counters are process-wide, so each scenario runs in a fresh process.
#include <limits.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "ap_stats.h"
#include "malloc_statis.h"
#include "pmem.h"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

using json = nlohmann::json;

std::string hex(const void *p) {
    char b[32];
    snprintf(b, sizeof b, "%p", p);
    return b;
}

// A number left-aligned in a 12-character column.
std::string col(uint64_t v) {
    std::string s = std::to_string(v);
    return s + std::string(12 - s.size(), ' ');
}

// Two reports into one file: the second must append to (or replace) the first.
std::string file_report(void (*report)(const char *), bool twice = false) {
    std::string path = t::temp_path("report");
    unlink(path.c_str());
    report(path.c_str());
    if (twice) report(path.c_str());
    std::string text = t::read_file(path);
    unlink(path.c_str());
    return t::masked(text);
}

json json_rt(int (*report)(app_log_rt_fn), const char *routine) {
    t::captured();
    EXPECT_EQ(report(t::capture), 0);
    EXPECT_EQ(t::g_call_count, 1u);
    EXPECT_STREQ(t::g_calls[0].routine, routine);
    EXPECT_EQ(t::g_calls[0].line, AP_STATS_JSON_LINE);
    json doc = json::parse(t::g_calls[0].text);
    t::captured();
    EXPECT_EQ(doc["version"], AP_STATS_JSON_VERSION);
    EXPECT_EQ(doc["pid"], getpid());
    EXPECT_TRUE(doc["mallinfo2"].contains("keepcost"));
    return doc;
}

// The mallinfo block as the report sent it, with this moment's figures.
std::string mallinfo_lines(const char *routine, int first, const char *const labels[10]) {
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct mallinfo mi = mallinfo();
    int v[10] = {mi.arena,   mi.ordblks, mi.smblks,   mi.hblks,    mi.hblkhd,
                 mi.usmblks, mi.fsmblks, mi.uordblks, mi.fordblks, mi.keepcost};
    std::string out;
    for (int k = 0; k < 10; k++)
        out += std::string(routine) + ":" + std::to_string(first + k) + ":" + labels[k] +
               std::to_string(v[k]) + "\n";
    return out;
}

}  // namespace

// Drift in any literal, width or field order; a long name cut; plexes or
// blocks out of order; totals of slot sizes instead of item sizes; and a
// snapshot or JSON field taken from the wrong counter.
TEST(Reports, AutoPlex) {
    t::in_fresh_process([] {
        auto_plex timers, sessions, other;
        auto_plex_init(&timers, 32, 1000, "timers");
        for (int i = 0; i < 1001; i++)
            auto_plex_alloc(&timers);
        auto_plex_init(&sessions, 144, 0, "sessions");
        for (int i = 0; i < 1024; i++)
            auto_plex_alloc(&sessions);
        {
            ap_fault::FailNth fail(1);
            auto_plex_alloc(&sessions);  // the new record: expand_failed 1
        }
        for (int i = 0; i < 6; i++)
            auto_plex_alloc(&sessions);
        auto_plex_init(&other, 4, 0, "a_module_name_longer_than_20");

        EXPECT_EQ(
            file_report(auto_plex_debug, true),
            std::string(
                "\n<time>\n=============ppid:P pid:P=================\n"
                "module_name          using_num    alloc_num    count_expand count_clear  max_num  "
                "    "
                "item_size    expand_failed step_alloc_num\n"
                "a_module_name_longer_than_20 0            0            0            0            "
                "0      "
                "      4            0            32768       \n"
                "sessions             1030         2048         2            0            0        "
                "    "
                "144          1            1024        \n"
                "timers               1000         1000         1            0            1000     "
                "    "
                "32           0            1024        \n"
                "[summary]---total_max_mem:32000 allocated_mem:326912 used_mem:180320----\n"
                "\n<time>\n=============ppid:P pid:P=================\n"
                "module_name          using_num    alloc_num    count_expand count_clear  max_num  "
                "    "
                "item_size    expand_failed step_alloc_num\n"
                "a_module_name_longer_than_20 0            0            0            0            "
                "0      "
                "      4            0            32768       \n"
                "sessions             1030         2048         2            0            0        "
                "    "
                "144          1            1024        \n"
                "timers               1000         1000         1            0            1000     "
                "    "
                "32           0            1024        \n"
                "[summary]---total_max_mem:32000 allocated_mem:326912 used_mem:180320----\n"));

        auto_plex_debug_rt(t::capture);
        auto s = t::blocks_of(&sessions);
        auto used = [&](int i) { return std::to_string(plex_head_of(&s[i]->ctl)->using_num); };
        const std::string plex = "show_auto_plex_stat_rt:58:module_name:",
                          block = "show_auto_plex_stat_rt:66:    block:";
        EXPECT_EQ(t::masked(t::captured()),
                  "auto_plex_debug_rt:78:------------------------------BEGIN-----------------------"
                  "-----------\n"
                  "auto_plex_debug_rt:79:=============ppid:P pid:P=================\n" +
                      plex +
                      "a_module_name_longer_than_20 using_num:0 step_alloc_num:32768 alloc_num:0 "
                      "max_num:0 item_size:4  count_expand:0 count_clear:0 expand_failed:0 " +
                      plex +
                      "sessions using_num:1030 step_alloc_num:1024 alloc_num:2048 max_num:0 "
                      "item_size:144  count_expand:2 count_clear:0 expand_failed:1 " +
                      block + hex(s[0]) + " alloc_num:1024 using_num:" + used(0) + " \n" + block +
                      hex(s[1]) + " alloc_num:1024 using_num:" + used(1) + " \n" + plex +
                      "timers using_num:1000 step_alloc_num:1024 alloc_num:1000 max_num:1000 "
                      "item_size:32  count_expand:1 count_clear:0 expand_failed:0 " +
                      block + hex(t::blocks_of(&timers)[0]) +
                      " alloc_num:1000 using_num:1000 \n"
                      "auto_plex_debug_rt:87:[summary]---total_max_mem:32000 allocated_mem:326912 "
                      "used_mem:180320----\n");

        auto_plex_snapshot snap[4];
        ASSERT_EQ(auto_plex_take_snapshot(snap, 4), 3u);
        const auto_plex_snapshot &ss = snap[1];
        EXPECT_EQ(ss.plex, &sessions);
        EXPECT_STREQ(ss.module_name, "sessions");
        uint64_t want[] = {144, 1024, 0, 2048, 1030, 1030, 1, 2, 1, 2, 0, 1, 1};
        uint64_t got[] = {ss.item_size,        ss.step_alloc_num, ss.max_num,     ss.alloc_num,
                          ss.using_num,        ss.peak_using_num, ss.block_num,   ss.block_count,
                          ss.full_block_count, ss.count_expand,   ss.count_clear, ss.expand_failed,
                          ss.alloc_failed};
        EXPECT_TRUE(std::equal(std::begin(want), std::end(want), got));
        EXPECT_EQ(snap[2].alloc_failed, 1u);
        EXPECT_EQ(snap[2].peak_using_num, 1000u);

        json doc = json_rt(auto_plex_debug_json_rt, "auto_plex_debug_json_rt");
        const json &j = doc["plexes"][1];
        EXPECT_EQ(doc["report"], "auto_plex");
        EXPECT_EQ(j["module_name"], "sessions");
        const char *names[] = {"item_size",        "step_alloc_num", "max_num",     "alloc_num",
                               "using_num",        "peak_using_num", "block_num",   "block_count",
                               "full_block_count", "count_expand",   "count_clear", "expand_failed",
                               "alloc_failed"};
        for (size_t i = 0; i < std::size(names); i++)
            EXPECT_EQ(j[names[i]], got[i]) << names[i];
        EXPECT_EQ(j["blocks"][0],
                  json::parse("{\"block\":\"" + hex(s[0]) +
                              "\",\"alloc_num\":1024,\"using_num\":" + used(0) + "}"));
        EXPECT_EQ(
            doc["summary"],
            json::parse(R"({"total_max_mem":32000,"allocated_mem":326912,"used_mem":180320})"));
        auto_plex_block_snapshot bs[2];
        EXPECT_EQ(auto_plex_take_block_snapshot(&sessions, bs, 1), 2u);
        EXPECT_EQ(bs[0].block, s[0]);
        EXPECT_EQ(bs[0].using_num, plex_head_of(&s[0]->ctl)->using_num);
    });
}

// The same for pmem: names before and after pmem_init, the per-pool table
// only for touched pools, failures only in the callback report, totals.
TEST(Reports, Pmem) {
    t::in_fresh_process([] {
        pmem_pool_snapshot before[PMEM_POOL_ID_N];
        pmem_take_pool_snapshot(before, PMEM_POOL_ID_N);
        EXPECT_STREQ(before[4].name, "pmem_pool_128") << "named before pmem_init";
        pmem_init();
        pmem_free(pmem_malloc(0, 100));
        void *big = pmem_malloc(1, 9000);
        const uint64_t u = pmem_ptr2size(big);
        {
            ap_fault::FailNth fail(1);
            pmem_malloc(4, 500);
        }
        std::string text = file_report(pmem_statis_debug);
        std::string want =
            "\n<time>\n========[module_statis]---ppid:P pid:P=======\n\npool_statis:\n"
            "pool_name           alloc_count free_count  fail_count\n";
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++) {
            std::string name = "pmem_pool_" + std::to_string(pmem_pool_sizes[p]);
            want += name + std::string(21 - name.size(), ' ') + col(p == 4 || p == 26) + " " +
                    col(p == 4) + " " + col(p == 9) + "\n";
        }
        want += "\nmodule_statis:\n";
        for (unsigned m = 0; m < PMEM_MID_N; m++) {
            std::string name = pmem_module_names[m];
            want += "\nmodule_name         alloc_size  free_count\n" + name +
                    std::string(21 - name.size(), ' ');
            if (m == 0)
                want +=
                    "128          128         \n\npool_name           alloc_size  free_count  "
                    "fail_count\npmem_pool_128        1            1            0           \n";
            else if (m == 1)
                want += col(u) +
                        " 0           \n\npool_name           alloc_size  free_count  "
                        "fail_count\npmem_pool_1073741824 1            0            0           \n";
            else
                want += "0            0           \n";
        }
        want += "[summary]---total_allocated_mem:" + std::to_string(128 + u) +
                " total_freed_mem:128----\n";
        EXPECT_EQ(text, want);

        pmem_statis_debug_rt(t::capture);
        const char *const labels[10] = {
            "Total non-mmapped bytes (arena):\t   ",   "# of free chunks (ordblks): \t\t   ",
            "# of free fastbin blocks (smblks):\t   ", "# of mapped regions (hblks):\t\t   ",
            "Bytes in mapped regions (hblkhd):\t   ",  "Max. total allocated space (usmblks):  ",
            "Free bytes held in fastbins (fsmblks): ", "Total allocated space (uordblks):\t   ",
            "Total free space (fordblks):\t\t   ",     "Topmost releasable block (keepcost):   "};
        std::string head = mallinfo_lines("pmem_statis_debug_rt", 349, labels);
        ASSERT_EQ(t::g_call_count, 3656u);
        auto call = [](size_t i) {
            return std::string(t::g_calls[i].routine) + ":" + std::to_string(t::g_calls[i].line) +
                   ":" + t::g_calls[i].text;
        };
        std::string first;
        for (size_t i = 0; i < 20; i++)
            first += call(i);
        const std::string r = "pmem_statis_debug_rt:";
        EXPECT_EQ(
            t::masked(first),
            r + "344:------------------------------BEGIN----------------------------------\n" + r +
                "345:-----------ppid:P pid:P------------------\n" + r +
                "346:=============mallinfo()=================\n" + head + r +
                "359:=============module_statis=================\n" + r + "361:pool_statis:\n" + r +
                "366:pmem_pool_0          0            0            0           \n" + r +
                "366:pmem_pool_16         0            0            0           \n" + r +
                "366:pmem_pool_32         0            0            0           \n" + r +
                "366:pmem_pool_64         0            0            0           \n" + r +
                "366:pmem_pool_128        1            1            0           \n");
        EXPECT_EQ(call(42), r + "373:module_statis:\n");
        EXPECT_EQ(call(43), r + "378:default              128          128         \n");
        EXPECT_EQ(call(43 + 1 + 4), r + "384:1            1            0           \n");
        EXPECT_EQ(call(43 + 28 + 1 + 26), r + "384:1            0            0           \n");
        EXPECT_EQ(call(43 + 4 * 28 + 1 + 9), r + "384:0            0            1           \n");
        EXPECT_EQ(call(3655), r + "391:[summary]---total_allocated_mem:" + std::to_string(128 + u) +
                                  " total_freed_mem:128----\n");
        t::captured();

        pmem_pool_snapshot pools[PMEM_POOL_ID_N];
        std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
        EXPECT_EQ(pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N), size_t{PMEM_POOL_ID_N});
        EXPECT_EQ(pmem_take_module_snapshot(mods.data(), PMEM_MID_N), size_t{PMEM_MID_N});
        json doc = json_rt(pmem_statis_debug_json_rt, "pmem_statis_debug_json_rt");
        EXPECT_EQ(doc["inited"], true);
        EXPECT_EQ(doc["pools"][26],
                  json::parse(R"({"pool":26,"name":"pmem_pool_1073741824","size":1073741824,
            "alloc_count":1,"free_count":0,"fail_count":0,"live_count":1,"peak_live_count":1})"));
        EXPECT_EQ(doc["pools"][4]["peak_live_count"], 1);
        EXPECT_EQ(pools[9].fail_count, 1u);
        EXPECT_EQ(pools[26].peak_live_count, 1u);
        EXPECT_EQ(mods[1].live_bytes, u);
        EXPECT_EQ(mods[0].peak_live_bytes, 128u);
        EXPECT_EQ(doc["modules"][4],
                  json::parse(R"({"mid":4,"name":"timers","alloc_size":0,"free_size":0,
            "live_bytes":0,"peak_live_bytes":0,"pools":[{"pool":9,"alloc_count":0,"free_count":0,"fail_count":1}]})"));
        EXPECT_EQ(doc["modules"][1]["peak_live_bytes"], u);
        EXPECT_EQ(doc["summary"]["total_allocated_mem"], 128 + u);
        pmem_free(big);
    });
}

// The 1 MiB filter at the wrong side of its boundary, the limit part on the
// wrong lines, totals that skip unlisted modules, a file appended to instead
// of replaced, and label padding.
TEST(Reports, MemStatis) {
    // 16k + 8 bytes below the mmap threshold fill their chunk exactly, so the
    // holdings below are exact whatever allocator serves them.
    void *a = malloc(65544), *b = malloc(65528);
    ASSERT_EQ(malloc_usable_size(a) + malloc_usable_size(b), 131072u);
    mem_statis_reset_internal();
    int exact = reg_module_id("exact"), above = reg_module_id("above");
    int cache = reg_module_id("cache"), quiet = reg_module_id("quiet");
    for (int i = 0; i < 8; i++) {
        inc_mem_statis(a, exact), inc_mem_statis(b, exact);
        inc_mem_statis(a, above), inc_mem_statis(i ? b : a, above);
    }
    set_module_mem_limit(4096, cache);
    for (int i = 0; i < 3; i++)
        malloc_with_statis(5000, cache);
    set_module_mem_limit(UINT64_MAX, quiet);
    inc_mem_statis(a, quiet);

    EXPECT_EQ(file_report(mem_statis_debug, true),
              "========[module_statis]---ppid:P pid:P=======\n"
              "module_name:above alloc_mem:1048592\n"
              "module_name:cache alloc_mem:0 limit:4096 over_limit_failed:3\n"
              "[summary]---total_allocated_mem:2162712----\n");
    mem_statis_debug_rt(t::capture);
    const char *const labels[10] = {
        "Total non-mmapped bytes (arena):       ", "# of free chunks (ordblks):            ",
        "# of free fastbin blocks (smblks):     ", "# of mapped regions (hblks):           ",
        "Bytes in mapped regions (hblkhd):      ", "Max. total allocated space (usmblks):  ",
        "Free bytes held in fastbins (fsmblks): ", "Total allocated space (uordblks):      ",
        "Total free space (fordblks):           ", "Topmost releasable block (keepcost):   "};
    std::string head = mallinfo_lines("mem_statis_debug_rt", 200, labels);
    const std::string r = "mem_statis_debug_rt:", m = r + "213:module_name:";
    EXPECT_EQ(t::masked(t::captured()),
              r + "195:------------------------------BEGIN----------------------------------\n" +
                  r + "196:-----------ppid:P pid:P------------------\n" + r +
                  "197:=============mallinfo()=================\n" + head + r +
                  "210:=============module_statis=================\n" + m +
                  "exact alloc_mem:1048576 limit:0 over_limit_failed:0\n" + m +
                  "above alloc_mem:1048592 limit:0 over_limit_failed:0\n" + m +
                  "cache alloc_mem:0 limit:4096 over_limit_failed:3\n" + m +
                  "quiet alloc_mem:65544 limit:-1 over_limit_failed:0\n" + r +
                  "220:[summary]----------total_allocated_mem:2162712------------\n");

    mem_statis_snapshot snap[5];
    memset(snap, 0xab, sizeof snap);
    ASSERT_EQ(mem_statis_take_snapshot(snap, 4), 4u);
    EXPECT_EQ(snap[4].limit, 0xababababababababu) << "nothing written past the capacity";
    json doc = json_rt(mem_statis_debug_json_rt, "mem_statis_debug_json_rt");
    EXPECT_EQ(doc["report"], "mem_statis");
    for (int id = 0; id < 4; id++) {
        const json &j = doc["modules"][id];
        EXPECT_EQ(j["id"], id);
        EXPECT_EQ(j["module_name"], snap[id].module_name);
        EXPECT_EQ(j["mem_alloced"], snap[id].mem_alloced);
        EXPECT_EQ(j["peak_mem_alloced"], snap[id].peak_mem_alloced);
        EXPECT_EQ(j["limit"], snap[id].limit);
        EXPECT_EQ(j["over_limit_failed"], snap[id].over_limit_failed);
    }
    EXPECT_EQ(snap[quiet].limit, UINT64_MAX);
    EXPECT_EQ(snap[above].peak_mem_alloced, 1048592);
    EXPECT_EQ(doc["summary"]["total_allocated_mem"], 2162712);
    for (int id : {exact, above})
        for (int i = 0; i < 8; i++)
            dec_mem_statis(a, id), dec_mem_statis(i || id == exact ? b : a, id);
    EXPECT_EQ(mem_statis_take_snapshot(snap, 4), 4u);
    EXPECT_EQ(snap[above].peak_mem_alloced, 1048592) << "peaks never fall";
    mem_statis_reset_internal();
    free(a);
    free(b);
}

// Names that break a document (quotes, control bytes, bytes that are not
// UTF-8), a file form that appends or leaves its temporary file behind, bad
// targets that still write, snapshots that write past their capacity, and a
// callback form that sends half a document or leaks when memory runs out.
TEST(Reports, JsonAndSnapshotEdges) {
    mem_statis_reset_internal();
    reg_module_id(
        "q\"b\\s\t\x01 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xff\xe2\x82 "
        "\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80");
    std::string dir = t::temp_path("json"), path = dir + "/m.json";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    reg_module_id("two");
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    std::string text = t::read_file(path);
    EXPECT_NE(
        text.find(R"("module_name":"q\"b\\s\u0009\u0001 )"
                  "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 "
                  R"(\ufffd\ufffd\ufffd \ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")"),
        std::string::npos)
        << text;
    EXPECT_EQ(json::parse(text)["modules"].size(), 2u) << "one document, replaced whole";
    unlink(path.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "temporary file left behind";
    EXPECT_EQ(mem_statis_debug_json(nullptr), -1);
    EXPECT_EQ(pmem_statis_debug_json((dir + "/missing/x.json").c_str()), -1);
    EXPECT_EQ(auto_plex_debug_json((std::string(PATH_MAX - 8, 'x')).c_str()), -1);
    EXPECT_EQ(auto_plex_debug_json_rt(nullptr), -1);
    auto_plex_debug(nullptr);
    pmem_statis_debug("/nonexistent-dir/report.txt");
    auto_plex_debug_rt(nullptr), pmem_statis_debug_rt(nullptr), mem_statis_debug_rt(nullptr);
    EXPECT_EQ(t::g_call_count, 0u);

    pmem_pool_snapshot pools[6];
    memset(pools, 0xab, sizeof pools);
    EXPECT_EQ(pmem_take_pool_snapshot(pools, 5), size_t{PMEM_POOL_ID_N});
    EXPECT_EQ(pools[5].size, 0xababababu);
    size_t plexes = 0;
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next)
        plexes++;
    EXPECT_EQ(auto_plex_take_snapshot(nullptr, 0), plexes);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(pmem_take_module_snapshot(nullptr, 1),
                 "Assertion `out \\|\\| capacity == 0' failed");
    EXPECT_DEATH(auto_plex_take_snapshot(nullptr, 1),
                 "Assertion `out \\|\\| capacity == 0' failed");
    EXPECT_DEATH(mem_statis_take_snapshot(nullptr, 1),
                 "Assertion `out \\|\\| capacity == 0' failed");
    EXPECT_DEATH(auto_plex_take_block_snapshot(nullptr, nullptr, 0), "Assertion `me' failed");

    if (!pmem_inited) pmem_init();  // a document large enough to grow its buffer
    long live = ap_fault::live();
    for (long k : {1, 2}) {
        ap_fault::FailNth oom(k);
        EXPECT_EQ(pmem_statis_debug_json_rt(t::capture), -1) << k;
        EXPECT_EQ(t::captured(),
                  "pmem_statis_debug_json_rt:1:{\"version\":1,\"report\":\"pmem\",\"error\":\"out "
                  "of memory\"}\n");
        EXPECT_EQ(ap_fault::live(), live) << k;
    }
    mem_statis_reset_internal();
}
