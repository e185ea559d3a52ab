// The reports layer: the six text reports as whole texts (process ids and
// this run's time stamps masked), one JSON document per component against the
// snapshot of the same moment, and the edges of snapshots and the JSON
// writer.  Registries and counters are process-wide: fresh processes.
#include <nlohmann/json.hpp>
#include <signal.h>
#include <stdarg.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <map>
#include <regex>

#include "ap_monitor.h"
#include "ap_stats.h"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

using json = nlohmann::json;

// A logging function that allocates nothing, so a mallinfo taken right after
// a report sees what the report saw.
struct {
    std::string_view call[8192];
    char text[1 << 21];
    size_t count, used;
} g_log;

int capture(const char *routine, int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *at = g_log.text + g_log.used;
    int n = snprintf(at, sizeof g_log.text - g_log.used, "%s:%d:", routine, line);
    n += vsnprintf(at + n, sizeof g_log.text - g_log.used - n, format, ap);
    va_end(ap);
    g_log.call[g_log.count++] = {at, size_t(n)};
    g_log.used += n;
    return 0;
}

// Calls first..last of the report as "routine:line:text", and the log
// emptied once the last has been read.
std::string calls(size_t first = 0, size_t last = SIZE_MAX) {
    std::string all;
    for (size_t i = first; i < std::min(last, g_log.count); i++)
        all += g_log.call[i];
    if (last >= g_log.count) g_log.count = g_log.used = 0;
    return all;
}

// This process's "ppid:%u pid:%u" as "ppid:P pid:P", and each line that is
// the local time of a second since `from` as "<time>".
std::string masked(std::string text, time_t from = 0) {
    const std::string pids =
        "ppid:" + std::to_string(getppid()) + " pid:" + std::to_string(getpid());
    text = std::regex_replace(text, std::regex(pids), "ppid:P pid:P");
    for (time_t s = from; from && s <= time(nullptr); s++) {
        char stamp[32];
        strftime(stamp, sizeof stamp, "\n%Y-%m-%d %H:%M:%S\n", localtime(&s));
        text = std::regex_replace(text, std::regex(stamp), "\n<time>\n");
    }
    return text;
}

size_t open_files() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The report written twice into one file (the second appends or replaces),
// leaving no file open.
std::string file_report(void (*report)(const char *)) {
    std::string path = t::temp_path("report");
    const time_t from = time(nullptr);
    const size_t files = open_files();
    report(path.c_str()), report(path.c_str());
    EXPECT_EQ(open_files(), files) << "a report left its file open";
    std::string text = t::read_file(path);
    unlink(path.c_str());
    return masked(text, from);
}

json json_rt(int (*report)(app_log_rt_fn), const std::string &routine) {
    EXPECT_TRUE(report(capture) == 0 && g_log.count == 1) << g_log.count << " calls";
    std::string call = calls(), head = routine + ":" + std::to_string(AP_STATS_JSON_LINE) + ":";
    EXPECT_EQ(call.substr(0, head.size()), head);
    json doc = json::parse(call.substr(head.size()));
    EXPECT_TRUE(doc["version"] == AP_STATS_JSON_VERSION && doc["pid"] == getpid() &&
                doc["ppid"] == getppid() && doc["time"] <= time(nullptr) &&
                doc["time"] >= time(nullptr) - 2 && doc["mallinfo2"].size() == 10);
    return doc;
}

// The mallinfo block of a callback report with this moment's figures (the
// labels on the stack: an allocation before mallinfo would change them under
// an allocator that counts every block, as valgrind's does).
std::string mallinfo_lines(const char *routine, int first,
                           const std::array<const char *, 10> &labels) {
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

std::string hex(const void *p) {
    return (std::ostringstream() << p).str();
}

}  // namespace

// Drift in a literal, width or field order, a long name cut, plexes or blocks
// out of order, totals of slot sizes, and snapshot or JSON fields drifting.
TEST(Reports, AutoPlex) {
    t::in_fresh_process([] {
        auto_plex timers, sessions, other;
        auto_plex_init(&timers, 32, 1000, "timers");
        for (int i = 0; i < 1001; i++)
            auto_plex_alloc(&timers);
        auto_plex_init(&sessions, 144, 0, "sessions");
        for (int i = 0; i < 1031; i++) {
            ap_fault::FailNth fail(i == 1024);  // the second block's record: expand_failed 1
            auto_plex_alloc(&sessions);
        }
        auto_plex_init(&other, 4, 0, "a_module_name_longer_than_20");
        auto s = t::blocks_of(&sessions);
        auto block = [](auto_plex_block *b) {
            const plex_block_head *h = plex_head_of(&b->ctl);
            return "show_auto_plex_stat_rt:66:    block:" + hex(b) +
                   " alloc_num:" + std::to_string(h->alloc_num) +
                   " using_num:" + std::to_string(h->using_num) + " \n";
        };
        // clang-format off
        std::string once =
            "\n<time>\n=============ppid:P pid:P=================\n"
            "module_name          using_num    alloc_num    count_expand count_clear  max_num      item_size    expand_failed step_alloc_num\n"
            "a_module_name_longer_than_20 0            0            0            0            0            4            0            32768       \n"
            "sessions             1030         2048         2            0            0            144          1            1024        \n"
            "timers               1000         1000         1            0            1000         32           0            1024        \n"
            "[summary]---total_max_mem:32000 allocated_mem:326912 used_mem:180320----\n";
        EXPECT_EQ(file_report(auto_plex_debug), once + once);
        auto_plex_debug_rt(capture);
        EXPECT_EQ(masked(calls()),
                  "auto_plex_debug_rt:78:------------------------------BEGIN----------------------------------\n"
                  "auto_plex_debug_rt:79:=============ppid:P pid:P=================\n"
                  "show_auto_plex_stat_rt:58:module_name:a_module_name_longer_than_20 using_num:0 step_alloc_num:32768 alloc_num:0 max_num:0 item_size:4  count_expand:0 count_clear:0 expand_failed:0 "
                  "show_auto_plex_stat_rt:58:module_name:sessions using_num:1030 step_alloc_num:1024 alloc_num:2048 max_num:0 item_size:144  count_expand:2 count_clear:0 expand_failed:1 " +
                  block(s[0]) + block(s[1]) +
                  "show_auto_plex_stat_rt:58:module_name:timers using_num:1000 step_alloc_num:1024 alloc_num:1000 max_num:1000 item_size:32  count_expand:1 count_clear:0 expand_failed:0 " +
                  block(t::blocks_of(&timers)[0]) +
                  "auto_plex_debug_rt:87:[summary]---total_max_mem:32000 allocated_mem:326912 used_mem:180320----\n");
        const char *names[] = {"item_size", "step_alloc_num", "max_num", "alloc_num", "using_num", "peak_using_num",
                               "block_num", "block_count", "full_block_count", "count_expand", "count_clear",
                               "expand_failed", "alloc_failed"};
        auto_plex_snapshot snap[4];
        memset(snap, 0xab, sizeof snap);
        ASSERT_EQ(auto_plex_take_snapshot(snap + 1, 2) + auto_plex_take_snapshot(snap, 3), 6u);
        const auto_plex_snapshot &ss = snap[1];
        uint64_t want[] = {144, 1024, 0, 2048, 1030, 1030, 1, 2, 1, 2, 0, 1, 1};
        uint64_t got[] = {ss.item_size, ss.step_alloc_num, ss.max_num, ss.alloc_num, ss.using_num,
            ss.peak_using_num, ss.block_num, ss.block_count, ss.full_block_count, ss.count_expand,
            ss.count_clear, ss.expand_failed, ss.alloc_failed};
        // clang-format on
        json doc = json_rt(auto_plex_debug_json_rt, "auto_plex_debug_json_rt");
        for (size_t i = 0; i < std::size(names); i++)
            EXPECT_TRUE(got[i] == want[i] && doc["plexes"][1][names[i]] == want[i]) << names[i];
        EXPECT_TRUE(ss.plex == &sessions && !strcmp(ss.module_name, "sessions") &&
                    snap[2].peak_using_num == 1000 && snap[3].item_size == 0xababababababababu &&
                    doc["plexes"][1]["blocks"][1]["block"] == hex(s[1]) &&
                    doc["summary"] == json::parse(R"({"total_max_mem":32000,"allocated_mem":326912,
                                                      "used_mem":180320})"));
        char *name = std::exchange(other.module_name, nullptr);  // a host that nulled it
        doc = json_rt(auto_plex_debug_json_rt, "auto_plex_debug_json_rt");
        EXPECT_TRUE(doc["plexes"][0]["module_name"].is_null());
        auto_plex_debug_rt(capture);
        EXPECT_EQ(calls(2, 3).substr(0, 50), "show_auto_plex_stat_rt:58:module_name:(null) using");
        other.module_name = name;
        auto_plex_block_snapshot bs[2];
        memset(bs, 0xab, sizeof bs);
        EXPECT_EQ(auto_plex_take_block_snapshot(&sessions, bs, 1), 2u);
        EXPECT_TRUE(bs[0].block == s[0] && bs[0].using_num == plex_head_of(&s[0]->ctl)->using_num &&
                    bs[1].alloc_num == 0xababababababababu);
        auto_plex_clear(&timers), auto_plex_clear(&sessions), auto_plex_clear(&other);
    });
}

// The same for pmem: names before pmem_init, the per-pool table only for
// touched pools, failures only in the callback report, totals and peaks.
TEST(Reports, Pmem) {
    t::in_fresh_process([] {
        pmem_pool_snapshot pools[PMEM_POOL_ID_N];
        pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N);
        EXPECT_STREQ(pools[4].name, "pmem_pool_128") << "named before pmem_init";
        pmem_init();
        pmem_free(pmem_malloc(0, 100)), pmem_free(pmem_malloc(0, 0));
        void *big = pmem_malloc(1, 9000);
        const std::string u = std::to_string(pmem_ptr2size(big)),
                          total = std::to_string(128 + pmem_ptr2size(big));
        ap_fault::countdown = 1;
        pmem_malloc(4, 500);
        // clang-format off
        std::string want = "\n<time>\n========[module_statis]---ppid:P pid:P=======\n\npool_statis:\n"
                           "pool_name           alloc_count free_count  fail_count\n";
        for (unsigned p = 0; p < PMEM_POOL_ID_N; p++)  // served, released, failed
            want += ("pmem_pool_" + std::to_string(pmem_pool_sizes[p]) + std::string(21, ' ')).substr(0, 21) +
                    (p == 0 || p == 4 ? "1            1            0           \n" : p == 9 ? "0            0            1           \n"
                     : p == 26 ? "1            0            0           \n" : "0            0            0           \n");
        want += "\nmodule_statis:\n"
                "\nmodule_name         alloc_size  free_count\ndefault              128          128         \n"
                "\npool_name           alloc_size  free_count  fail_count\npmem_pool_0          1            1            0           \n"
                "pmem_pool_128        1            1            0           \n"
                "\nmodule_name         alloc_size  free_count\nnet_rx               " + u + std::string(12 - u.size(), ' ') + " 0           \n"
                "\npool_name           alloc_size  free_count  fail_count\npmem_pool_1073741824 1            0            0           \n";
        for (unsigned m = 2; m < PMEM_MID_N; m++)  // idle modules: the header and a row of zeros
            want += "\nmodule_name         alloc_size  free_count\n" + (pmem_module_names[m] + std::string(21, ' ')).substr(0, 21) + "0            0           \n";
        want += "[summary]---total_allocated_mem:" + total + " total_freed_mem:128----\n";
        EXPECT_TRUE(file_report(pmem_statis_debug) == want + want) << "appended, word for word";

        pmem_statis_debug_rt(capture);
        std::string head = mallinfo_lines("pmem_statis_debug_rt", 349, {
            "Total non-mmapped bytes (arena):\t   ", "# of free chunks (ordblks): \t\t   ", "# of free fastbin blocks (smblks):\t   ",
            "# of mapped regions (hblks):\t\t   ", "Bytes in mapped regions (hblkhd):\t   ", "Max. total allocated space (usmblks):  ",
            "Free bytes held in fastbins (fsmblks): ", "Total allocated space (uordblks):\t   ", "Total free space (fordblks):\t\t   ",
            "Topmost releasable block (keepcost):   "});
        const std::string r = "pmem_statis_debug_rt:";
        ASSERT_EQ(g_log.count, 3656u);
        EXPECT_EQ(masked(calls(0, 17)),
                  r + "344:------------------------------BEGIN----------------------------------\n" +
                  r + "345:-----------ppid:P pid:P------------------\n" + r + "346:=============mallinfo()=================\n" + head +
                  r + "359:=============module_statis=================\n" + r + "361:pool_statis:\n" +
                  r + "366:pmem_pool_0          1            1            0           \n" +
                  r + "366:pmem_pool_16         0            0            0           \n");
        std::string picked;  // a pool row; module 0's rows; module 1's pool 26; module 4's pool 9
        for (auto [first, last] : {std::pair{19, 20}, {42, 45}, {48, 49}, {98, 99}, {165, 166}, {3655, 3656}})
            picked += calls(first, last);
        EXPECT_EQ(picked,
                  r + "366:pmem_pool_128        1            1            0           \n" + r + "373:module_statis:\n" +
                  r + "378:default              128          128         \n" + r + "384:1            1            0           \n" +
                  r + "384:1            1            0           \n" + r + "384:1            0            0           \n" +
                  r + "384:0            0            1           \n" +
                  r + "391:[summary]---total_allocated_mem:" + total + " total_freed_mem:128----\n");
        pmem_set_module_mem_limit(499, 4);  // a refusal: the module's failure, not the pool's
        EXPECT_EQ(pmem_malloc(4, 500), nullptr);
        std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
        EXPECT_EQ(pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N) +
                      pmem_take_module_snapshot(mods.data(), PMEM_MID_N),
                  size_t{PMEM_POOL_ID_N + PMEM_MID_N});
        json doc = json_rt(pmem_statis_debug_json_rt, "pmem_statis_debug_json_rt");
        for (const pmem_pool_snapshot &ps : pools)
            EXPECT_EQ(doc["pools"][&ps - pools], json({{"pool", &ps - pools}, {"name", ps.name}, {"size", ps.size}, {"alloc_count", ps.alloc_count},
                {"free_count", ps.free_count}, {"fail_count", ps.fail_count}, {"live_count", ps.live_count},
                {"peak_live_count", ps.peak_live_count}, {"injected_count", 0}}));
        // clang-format on
        EXPECT_EQ(doc["modules"][4],
                  json::parse(R"({"mid":4,"name":"timers","alloc_size":0,"free_size":0,
            "live_bytes":0,"peak_live_bytes":0,"injected_count":0,"pools":[{"pool":9,"alloc_count":0,"free_count":0,"fail_count":2}],
            "limit":499,"over_limit_failed":1})"));
        EXPECT_TRUE(doc["inited"] == true && doc["pools"][4]["peak_live_count"] == 1 &&
                    doc["modules"][1]["live_bytes"] == std::stoul(u) &&
                    doc["modules"][0]["peak_live_bytes"] == 128 &&
                    doc["modules"][0]["pools"].size() == 2 && pools[26].peak_live_count == 1 &&
                    mods[0].peak_live_bytes == 128 && mods[1].live_bytes == std::stoul(u) &&
                    mods[4].fail_count[9] == 2 && pools[9].fail_count == 1);
        EXPECT_EQ(doc["summary"],
                  json({{"total_allocated_mem", std::stoul(total)}, {"total_freed_mem", 128}}));
        pmem_free(big);
    });
}

// The 1 MiB filter at the wrong side of its boundary, the limit part on the
// wrong lines, totals that skip unlisted modules, label padding, JSON drift.
TEST(Reports, MemStatis) {
    // 16k + 8 bytes below the mmap threshold fill their chunk exactly, so the
    // holdings are exact whatever allocator serves them.
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
    set_module_mem_limit(UINT64_MAX, quiet), inc_mem_statis(a, quiet);
    // clang-format off
    EXPECT_EQ(file_report(mem_statis_debug), "========[module_statis]---ppid:P pid:P=======\n"
                                             "module_name:above alloc_mem:1048592\n"
                                             "module_name:cache alloc_mem:0 limit:4096 over_limit_failed:3\n"
                                             "[summary]---total_allocated_mem:2162712----\n");
    mem_statis_debug_rt(capture);
    std::string head = mallinfo_lines("mem_statis_debug_rt", 200, {
        "Total non-mmapped bytes (arena):       ", "# of free chunks (ordblks):            ", "# of free fastbin blocks (smblks):     ",
        "# of mapped regions (hblks):           ", "Bytes in mapped regions (hblkhd):      ", "Max. total allocated space (usmblks):  ",
        "Free bytes held in fastbins (fsmblks): ", "Total allocated space (uordblks):      ", "Total free space (fordblks):           ",
        "Topmost releasable block (keepcost):   "});
    const std::string r = "mem_statis_debug_rt:", m = r + "213:module_name:";
    EXPECT_EQ(masked(calls()),
              r + "195:------------------------------BEGIN----------------------------------\n" +
              r + "196:-----------ppid:P pid:P------------------\n" + r + "197:=============mallinfo()=================\n" + head +
              r + "210:=============module_statis=================\n" +
              m + "exact alloc_mem:1048576 limit:0 over_limit_failed:0\n" + m + "above alloc_mem:1048592 limit:0 over_limit_failed:0\n" +
              m + "cache alloc_mem:0 limit:4096 over_limit_failed:3\n" + m + "quiet alloc_mem:65544 limit:-1 over_limit_failed:0\n" +
              r + "220:[summary]----------total_allocated_mem:2162712------------\n");
    for (int id : {exact, above})
        for (int i = 0; i < 8; i++)
            dec_mem_statis(a, id), dec_mem_statis(i || id == exact ? b : a, id);
    mem_statis_snapshot snap[5];
    memset(snap, 0xab, sizeof snap);
    ASSERT_EQ(mem_statis_take_snapshot(snap, 4), 4u);
    json doc = json_rt(mem_statis_debug_json_rt, "mem_statis_debug_json_rt");
    for (int id = 0; id < 4; id++)
        EXPECT_EQ(doc["modules"][id], json({{"id", id}, {"module_name", snap[id].module_name},
            {"mem_alloced", snap[id].mem_alloced}, {"peak_mem_alloced", snap[id].peak_mem_alloced},
            {"limit", snap[id].limit}, {"over_limit_failed", snap[id].over_limit_failed}, {"injected_count", 0}}));
    // clang-format on
    EXPECT_TRUE(snap[quiet].limit == UINT64_MAX && snap[above].peak_mem_alloced == 1048592 &&
                snap[above].mem_alloced == 0 && snap[cache].over_limit_failed == 3 &&
                snap[4].limit == 0xababababababababu &&
                doc["summary"]["total_allocated_mem"] == 65544);
    mem_statis_reset_internal(), free(a), free(b);
}

// Names that break a document, a file form that appends or leaves a file
// behind, bad targets that still write, snapshots into a null buffer, and
// failures that send half a document or leak.
TEST(Reports, JsonAndSnapshotEdges) {
    mem_statis_reset_internal();
    EXPECT_EQ(mem_statis_take_snapshot(nullptr, 0), 0u);
    reg_module_id(
        "q\"b\\s\t\x01 \xc3\xa9\xdf\xbf\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xe0\xa4\x85 "
        "\xff\xe2\x82 \xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80");
    std::string dir = t::temp_path("json"), path = dir + "/m.json";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const size_t files = open_files();
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    reg_module_id("two");
    ASSERT_EQ(mem_statis_debug_json(path.c_str()), 0);
    EXPECT_EQ(open_files(), files) << "file left open";
    const std::string text = t::read_file(path);
    const std::string name =
        R"("module_name":"q\"b\\s\u0009\u0001 )"
        "\xc3\xa9\xdf\xbf\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xe0\xa4\x85 "
        R"(\ufffd\ufffd\ufffd \ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd")";
    EXPECT_TRUE(text.find(name) != text.npos && json::parse(text)["modules"].size() == 2 &&
                text.back() == '\n')
        << "the name escaped, one document and its newline, replaced whole: " << text;
    unlink(path.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "temporary file left behind";
    EXPECT_TRUE(mem_statis_debug_json(nullptr) == -1 && auto_plex_debug_json_rt(nullptr) == -1 &&
                pmem_statis_debug_json((dir + "/missing/x.json").c_str()) == -1);
    auto_plex_debug(nullptr), pmem_statis_debug("/nonexistent-dir/report.txt");
    auto_plex_debug_rt(nullptr), pmem_statis_debug_rt(nullptr), mem_statis_debug_rt(nullptr);
    EXPECT_EQ(g_log.count, 0u);

    t::in_fresh_process([] {  // a write error (the file size limit) leaves no file behind
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = {100, 100};
        setrlimit(RLIMIT_FSIZE, &small);
        std::string path = t::temp_path("full");
        const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
        EXPECT_TRUE(pmem_statis_debug_json(path.c_str()) == -1 && access(path.c_str(), F_OK) != 0 &&
                    access(tmp.c_str(), F_OK) != 0 && pmem_live_debug("/dev/full") == -1);
    });
    auto_plex plex{};
    const char *no_out = "Assertion `out \\|\\| capacity == 0' failed";
    EXPECT_DEATH(pmem_take_module_snapshot(nullptr, 1), no_out);
    EXPECT_DEATH(auto_plex_take_block_snapshot(&plex, nullptr, 1), no_out);
    EXPECT_DEATH(auto_plex_take_block_snapshot(nullptr, nullptr, 0), "Assertion `me' failed");
    if (!pmem_inited) pmem_init();  // a document large enough to grow its buffer
    const long live = ap_fault::live;
    for (long k : {1, 2}) {
        ap_fault::FailNth oom(k);
        EXPECT_EQ(pmem_statis_debug_json_rt(capture), -1) << k;
        EXPECT_EQ(calls(),
                  "pmem_statis_debug_json_rt:1:{\"version\":1,\"report\":\"pmem\",\"error\":\"out "
                  "of memory\"}\n");
        EXPECT_EQ(ap_fault::live, live) << k;
    }
    mem_statis_reset_internal();
}

// Metrics that disagree with the snapshot of the same moment (plexes sharing
// a name summed but for the newest one's item size, a module's failures over
// its pools, a label value that needs escaping, a counter without _total), a
// writer that allocates for a few plexes, a file form that differs from the
// sink's text or leaves a temporary file; past the grouping's stack room,
// names split or merged, and no buffer reported as success or leaked.
TEST(Reports, MetricsMatchTheSnapshots) {
    t::in_fresh_process([] {
        pmem_init();
        auto_plex a, b;
        auto_plex_init(&a, 40, 0, "twin"), auto_plex_init(&b, 48, 0, "twin");
        auto_plex_alloc(&a), auto_plex_alloc(&b), auto_plex_alloc(&b);
        void *p = pmem_malloc(3, 100), *q = pmem_malloc(3, 20000);
        for (size_t size : {20, 3000}) {  // the first growth of two pools
            ap_fault::FailNth oom(1);
            EXPECT_EQ(pmem_malloc(3, size), nullptr);
        }
        const int id = reg_module_id("q\"b\\s\n\x7f\xe0\x9f\xbf");
        void *m = (set_module_mem_limit(UINT64_MAX, id), malloc_with_statis(5000, id));
        std::string text;
        std::map<std::string, uint64_t> v;  // "name{labels}" -> value
        const auto scrape = [&text, &v] {
            text.clear(), v.clear();
            const int written = ap_metrics_write_to(t::append_to, &text);
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                if (line[0] != '#')
                    v[line.substr(0, line.rfind(' '))] = std::stoull(line.substr(line.rfind(' ')));
                if (line.starts_with("# TYPE")) {  // counters, and only they, end in _total
                    EXPECT_EQ(line.ends_with(" counter"), line.find("_total ") != line.npos);
                }
            }
            return written;
        };
        const long calls = ap_fault::calls;
        ASSERT_EQ(scrape(), 0);
        EXPECT_EQ(ap_fault::calls, calls) << "the writer allocated";
        auto_plex_snapshot snap[40];
        pmem_pool_snapshot pools[PMEM_POOL_ID_N];
        std::vector<pmem_module_snapshot> mods(PMEM_MID_N);
        mem_statis_snapshot acct[1];
        const size_t plexes = auto_plex_take_snapshot(snap, 40);
        pmem_take_pool_snapshot(pools, PMEM_POOL_ID_N), mem_statis_take_snapshot(acct, 1);
        pmem_take_module_snapshot(mods.data(), PMEM_MID_N);
        const pmem_module_snapshot &mod = mods[3];
        EXPECT_TRUE(plexes == 28 && v["auto_plex_plex_slots_in_use{plex=\"twin\"}"] == 3 &&
                    v["auto_plex_plex_slots_in_use{plex=\"pmem_pool_128\"}"] == 1 &&
                    v["auto_plex_plex_slots{plex=\"twin\"}"] ==
                        snap[0].alloc_num + snap[1].alloc_num &&
                    v["auto_plex_plex_blocks{plex=\"twin\"}"] == 2 &&
                    v["auto_plex_plex_item_size_bytes{plex=\"twin\"}"] == 48);
        for (const pmem_pool_snapshot &p : {pools[4], pools[26]}) {
            const std::string l =
                "{pool=\"" + std::string(p.name) + "\",size=\"" + std::to_string(p.size) + "\"}";
            EXPECT_TRUE(v["auto_plex_pmem_pool_live" + l] == p.live_count &&
                        v["auto_plex_pmem_pool_allocations_total" + l] == p.alloc_count &&
                        v["auto_plex_pmem_pool_live_peak" + l] == p.peak_live_count)
                << p.name;
        }
        const std::string parser = "{module=\"parser\"}",
                          acc = "{module=\"q\\\"b\\\\s\\n\x7f\ufffd\ufffd\ufffd\"}";
        EXPECT_TRUE(v["auto_plex_pmem_module_live_bytes" + parser] == mod.live_bytes &&
                    v["auto_plex_pmem_module_allocated_bytes_total" + parser] == mod.alloc_size &&
                    v["auto_plex_pmem_module_failures_total" + parser] == 2 &&
                    !v.count("auto_plex_pmem_module_live_bytes{module=\"timers\"}"));
        EXPECT_TRUE(v["auto_plex_accounted_bytes" + acc] == uint64_t(acct[0].mem_alloced) &&
                    v["auto_plex_accounted_bytes_peak" + acc] ==
                        uint64_t(acct[0].peak_mem_alloced) &&
                    text.find(acc + " 18446744073709551615\n") != text.npos &&
                    v.count("auto_plex_mallinfo_arena_bytes"));
        const std::string dir = t::temp_path("metrics"), file = dir + "/m.prom", h = dir + "/h";
        struct stat st;  // node_exporter reads the file as another user
        ASSERT_TRUE(mkdir(dir.c_str(), 0700) == 0 &&
                    (umask(022), ap_metrics_write(file.c_str())) == 0 &&
                    ap_history_append(h.c_str(), 0) == 0 && stat(file.c_str(), &st) == 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        const std::string before = t::read_file(file) + t::read_file(h);
        EXPECT_EQ(before.substr(0, before.find("auto_plex_mallinfo")),
                  text.substr(0, text.find("auto_plex_mallinfo")));
        std::vector<auto_plex> more(300);
        for (size_t i = 0; i < more.size(); i++) {
            auto_plex_init(&more[i], 8, 0, ("p" + std::to_string(i % 100)).c_str());
            auto_plex_alloc(&more[i]);
        }
        const long live = ap_fault::live;
        ASSERT_EQ(scrape(), 0);
        for (int k = 0; k < 100; k++)
            EXPECT_EQ(v["auto_plex_plex_slots_in_use{plex=\"p" + std::to_string(k) + "\"}"], 3);
        auto blocks = [](auto &s) { return s.first.starts_with("auto_plex_plex_blocks{"); };
        EXPECT_EQ(std::count_if(v.begin(), v.end(), blocks), 100 + 27);
        long writes = 0;  // whole 4 KiB pieces; a sink that refuses the second is not called again
        auto count = [](const char *, size_t n, void *c) {
            return int(++*static_cast<long *>(c) == 2 || n != 4096);
        };
        EXPECT_TRUE(ap_metrics_write_to(count, &writes) == -1 && writes == 2);
        // Any one allocation refused: the plexes' copy is read under the
        // registry lock instead (the same samples), the name groups' table
        // fails the write (nothing written); nothing leaks either way.
        const std::regex others("^(?!.*auto_plex_plex).*\n", std::regex::multiline);
        auto plex_lines = [&others](const std::string &all) {
            return std::regex_replace(all, others, "");
        };
        const std::string whole = (scrape(), plex_lines(text));
        int refused = 0;
        for (long k = 1; k <= 6; k++) {
            ap_fault::countdown = k;
            const int r = scrape();
            refused += r == -1;
            EXPECT_TRUE((r == 0 ? plex_lines(text) == whole : text.empty()) &&
                        ap_fault::live == live)
                << k;
        }
        EXPECT_EQ(refused, 1);
        ap_fault::countdown = 1;
        signal(SIGXFSZ, SIG_IGN);  // a full disk: the file size limit
        struct rlimit small = {rlim_t(t::read_file(h).size() + 100), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_TRUE(ap_metrics_write(file.c_str()) == -1 && ap_fault::live == live &&
                    ap_metrics_write(file.c_str()) == -1 && ap_history_append(h.c_str(), 0) == -1 &&
                    ap_metrics_write((dir + "/none/m.prom").c_str()) == -1);
        EXPECT_EQ(t::read_file(file) + t::read_file(h), before) << "partly written";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2)
            << "a temporary file";
        std::filesystem::remove_all(dir);
        for (auto &plex : more)
            auto_plex_clear(&plex);
        free_with_statis(m, id), pmem_free(p), pmem_free(q), auto_plex_clear(&a),
            auto_plex_clear(&b);
    });
}

// A history line that is not one JSON document with the figures, a cap that
// rotates too early, never or twice, and an allocation failure that leaves
// part of a line or a leak; the live report's rows, and its failure.
TEST(Reports, HistoryAndLiveAllocations) {
    t::in_fresh_process([] {
        pmem_init();
        void *p = pmem_malloc(1, 100), *q = pmem_malloc(1, 120), *r = pmem_malloc(4, 9000);
        const std::string path = t::temp_path("history"), older = path + ".1";
        auto lines = [](const std::string &f) { return std::count(f.begin(), f.end(), '\n'); };
        const auto now_ms = [] {
            using namespace std::chrono;
            return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        };
        const int64_t before_ms = now_ms();
        for (int i = 0; i < 3; i++)
            ASSERT_EQ(ap_history_append(path.c_str(), 0), 0);
        const std::string three = t::read_file(path);
        const json first = json::parse(three.substr(0, three.find('\n')));
        EXPECT_TRUE(first["pools"][0]["name"] == "pmem_pool_128" &&
                    first["pools"][0]["live_count"] == 2 &&
                    first["modules"][0]["name"] == "net_rx" &&
                    first["modules"][0]["live_bytes"] == 256 && first["time_ms"] >= before_ms &&
                    first["time_ms"] <= now_ms() && first["plexes"].size() == 26 &&
                    first["plexes"][0]["module_name"] == "pmem_pool_8192" && lines(three) == 3);
        const size_t cap = three.size() * 4 / 3 + 40;  // four lines fit, five do not
        ASSERT_EQ(ap_history_append(path.c_str(), cap), 0);
        EXPECT_TRUE(access(older.c_str(), F_OK) != 0 && ap_history_append(path.c_str(), cap) == 0 &&
                    lines(t::read_file(older)) == 4 && lines(t::read_file(path)) == 1);
        const size_t tight = 2 * t::read_file(path).size() - 1;  // a byte short of two lines
        EXPECT_TRUE(ap_history_append(path.c_str(), tight) == 0 &&
                    t::read_file(path).size() <= tight &&  // then exactly two lines fit
                    ap_history_append(path.c_str(), tight + 1) == 0 &&
                    lines(t::read_file(path)) == 2);
        const long live = ap_fault::live;
        for (long k : {1, 2}) {  // the history line's buffer; the tally, the walk's bitmap
            ap_fault::FailNth oom(k);
            EXPECT_EQ(k == 1 ? ap_history_append(path.c_str(), 0) : pmem_live_debug(""), -1);
            ap_fault::countdown = k;
            EXPECT_EQ(pmem_live_debug((path + ".live").c_str()), -1);
        }
        EXPECT_TRUE(lines(t::read_file(path)) == 2 && access((path + ".live").c_str(), F_OK) != 0 &&
                    ap_fault::live == live);
        unlink(path.c_str()), unlink(older.c_str());
        void *z = pmem_malloc(2, 0);  // pool 0 of module 2 follows pool 26 of module 1 in the tally
        const std::string file = file_report([](const char *to) { pmem_live_debug(to); });
        ASSERT_EQ(pmem_live_debug_rt(capture), 0);
        const std::string rt = masked(calls());
        const std::string once = std::regex_replace(rt, std::regex("pmem_live_debug_rt:.:"), "");
        EXPECT_EQ(file, "\n<time>\n" + once + "\n<time>\n" + once) << "the file form's text";
        const std::string row = "pmem_live_debug_rt:3:", big = std::to_string(pmem_ptr2size(r));
        EXPECT_EQ(
            rt,
            "pmem_live_debug_rt:1:========[live_allocations]---ppid:P pid:P=======\n"
            "pmem_live_debug_rt:2:module_name          pool_name            count        bytes\n" +
                row + "net_rx               pmem_pool_128        2            256         \n" +
                row + "config               pmem_pool_0          1            0           \n" +
                row + "timers               pmem_pool_1073741824 1            " + big +
                std::string(12 - big.size(), ' ') +
                "\npmem_live_debug_rt:4:[summary]---live_allocations:4 live_bytes:" +
                std::to_string(256 + pmem_ptr2size(r)) + "----\n");
        pmem_free(p), pmem_free(q), pmem_free(r), pmem_free(z);
    });
}
