// Module reports as golden text: the file report read back whole, the
// callback report captured call by call (routine, line, formatted text).
// Process ids are filled in from the test's own process; the mallinfo figures
// from a snapshot taken right after the report, with nothing allocated in
// between (the capture writes into fixed storage).
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>

#include <malloc.h>
#include "malloc_statis.h"
#include "private/malloc_statis_private.h"

namespace {

struct LogCall {
    char routine[64];
    int line;
    char text[256];
};
std::array<LogCall, 64> s_calls;
size_t s_call_num;

int capture(const char *routine, int line, const char *format, ...) {
    if (s_call_num == s_calls.size()) return 0;
    LogCall &c = s_calls[s_call_num++];
    snprintf(c.routine, sizeof c.routine, "%s", routine);
    c.line = line;
    va_list ap;
    va_start(ap, format);
    vsnprintf(c.text, sizeof c.text, format, ap);
    va_end(ap);
    return 0;
}

// Runs the callback report; returns its calls as "routine:line:text" and the
// allocator snapshot matching the report's.
std::string callback_report(struct mallinfo *mi) {
    s_call_num = 0;
    mem_statis_debug_rt(capture);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    *mi = mallinfo();
#pragma GCC diagnostic pop
    std::string out;
    for (size_t i = 0; i < s_call_num; i++)
        out += std::string(s_calls[i].routine) + ":" + std::to_string(s_calls[i].line) + ":" +
               s_calls[i].text;
    return out;
}

std::string pids() {
    return "ppid:" + std::to_string(getppid()) + " pid:" + std::to_string(getpid());
}

// The fixed head of the callback report, routine and line numbers included.
std::string callback_head(const struct mallinfo &mi) {
    auto n = [](int v) { return std::to_string(v); };
    const std::string r = "mem_statis_debug_rt:";
    return r + "195:------------------------------BEGIN----------------------------------\n" + r +
           "196:-----------" + pids() + "------------------\n" + r +
           "197:=============mallinfo()=================\n" + r +
           "200:Total non-mmapped bytes (arena):       " + n(mi.arena) + "\n" + r +
           "201:# of free chunks (ordblks):            " + n(mi.ordblks) + "\n" + r +
           "202:# of free fastbin blocks (smblks):     " + n(mi.smblks) + "\n" + r +
           "203:# of mapped regions (hblks):           " + n(mi.hblks) + "\n" + r +
           "204:Bytes in mapped regions (hblkhd):      " + n(mi.hblkhd) + "\n" + r +
           "205:Max. total allocated space (usmblks):  " + n(mi.usmblks) + "\n" + r +
           "206:Free bytes held in fastbins (fsmblks): " + n(mi.fsmblks) + "\n" + r +
           "207:Total allocated space (uordblks):      " + n(mi.uordblks) + "\n" + r +
           "208:Total free space (fordblks):           " + n(mi.fordblks) + "\n" + r +
           "209:Topmost releasable block (keepcost):   " + n(mi.keepcost) + "\n" + r +
           "210:=============module_statis=================\n";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class mem_statis_report : public ::testing::Test {
  protected:
    void SetUp() override {
        mem_statis_reset_internal();
        path_ = ::testing::TempDir() + "mem_statis_report_" + std::to_string(getpid()) + ".txt";
        remove(path_.c_str());
    }
    void TearDown() override {
        remove(path_.c_str());
        mem_statis_reset_internal();
    }
    std::string path_;
};

}  // namespace

// Catches extra or missing calls, wrong routine names or line numbers, label
// padding, and a total that is not 0 for an empty table.
TEST_F(mem_statis_report, EmptyTableReportsOnlyTheFrame) {
    struct mallinfo mi;
    std::string calls = callback_report(&mi);
    EXPECT_EQ(s_call_num, 15u);
    EXPECT_EQ(calls, callback_head(mi) +
                         "mem_statis_debug_rt:220:[summary]----------total_allocated_mem:0"
                         "------------\n");

    mem_statis_debug(path_.c_str());
    EXPECT_EQ(read_file(path_), "========[module_statis]---" + pids() +
                                    "=======\n"
                                    "[summary]---total_allocated_mem:0----\n");
}

// Catches the 1 MiB filter at the wrong side of its boundary, the limit part
// on the wrong lines, the callback report filtering, totals that skip
// unlisted modules, and appending instead of replacing the file.
TEST_F(mem_statis_report, FileListsLargeOrRefusedModulesCallbackListsAll) {
    // Requests of 16k + 8 bytes below the mmap threshold fill their chunk
    // exactly, so these two sum to 2^17 and the holdings below are exact.
    void *a = malloc(65544);
    void *b = malloc(65528);
    ASSERT_EQ(malloc_usable_size(a), 65544u);
    ASSERT_EQ(malloc_usable_size(b), 65528u);

    int exact = reg_module_id("exact");
    int above = reg_module_id("above");
    int cache = reg_module_id("cache");
    int quiet = reg_module_id("quiet");
    for (int i = 0; i < 8; i++) {
        inc_mem_statis(a, exact);
        inc_mem_statis(b, exact);
        inc_mem_statis(a, above);
        inc_mem_statis(i ? b : a, above);
    }
    set_module_mem_limit(4096, cache);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(malloc_with_statis(5000, cache), nullptr);
    set_module_mem_limit(200000, quiet);
    inc_mem_statis(a, quiet);
    ASSERT_EQ(mem_statis_table_internal().records[exact].pub.mem_alloced, 1048576);
    ASSERT_EQ(mem_statis_table_internal().records[above].pub.mem_alloced, 1048592);

    {
        FILE *f = fopen(path_.c_str(), "w");
        fputs(std::string(5000, 'x').c_str(), f);
        fclose(f);
    }
    mem_statis_debug(path_.c_str());
    mem_statis_debug(path_.c_str());
    EXPECT_EQ(read_file(path_), "========[module_statis]---" + pids() +
                                    "=======\n"
                                    "module_name:above alloc_mem:1048592\n"
                                    "module_name:cache alloc_mem:0 limit:4096 over_limit_failed:3\n"
                                    "[summary]---total_allocated_mem:2162712----\n");

    struct mallinfo mi;
    std::string calls = callback_report(&mi);
    const std::string r = "mem_statis_debug_rt:213:module_name:";
    const std::string modules = r + "exact alloc_mem:1048576 limit:0 over_limit_failed:0\n" + r +
                                "above alloc_mem:1048592 limit:0 over_limit_failed:0\n" + r +
                                "cache alloc_mem:0 limit:4096 over_limit_failed:3\n" + r +
                                "quiet alloc_mem:65544 limit:200000 over_limit_failed:0\n";
    EXPECT_EQ(calls, callback_head(mi) + modules +
                         "mem_statis_debug_rt:220:[summary]----------total_allocated_mem:2162712"
                         "------------\n");
    EXPECT_EQ(s_call_num, 19u);
    free(a);
    free(b);
}

// Catches a report that writes somewhere, or crashes, without a sink.
TEST_F(mem_statis_report, MissingSinkDoesNothing) {
    reg_module_id("m");
    mem_statis_debug(nullptr);
    mem_statis_debug("/nonexistent-dir/mem_statis_report.txt");
    mem_statis_debug_rt(nullptr);
    EXPECT_NE(access("/nonexistent-dir", F_OK), 0);
}
