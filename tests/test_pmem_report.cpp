// pmem reports: whole-text comparison against texts rebuilt from counter
// snapshots, so a missing blank, tab or line fails.  Each test uses module
// ids of its own and checks its changes through the snapshot, so the tests
// hold in any order and in one process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fault.h"
#include "pmem.h"
#include "pmem_report_text.h"

using pmem_text::Call;
using pmem_text::Counters;

namespace {

class pmem_reports : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pmem_inited) {
            ASSERT_EQ(pmem_init(), 0);
        }
        ap_fault::reset();
        char tmpl[] = "/tmp/pmem_report_XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        unlink(tmpl);  // the report creates it ("a+")
        path_ = tmpl;
        pmem_text::g_calls.clear();
    }
    void TearDown() override { unlink(path_.c_str()); }

    // The file report(s) in path_, time stamps masked; `reports` is how many
    // stamps were found.
    std::string file_text(int *reports) {
        return pmem_text::mask_time(pmem_text::read_file(path_), reports);
    }
    std::string expected_file(const Counters &c) {
        return pmem_text::file_report(c, getppid(), getpid());
    }
    std::vector<Call> callback_calls() {
        pmem_text::g_calls.clear();
        pmem_statis_debug_rt(pmem_text::capture);
        return pmem_text::mask_mallinfo(pmem_text::g_calls);
    }

    std::string path_;
};

// Catches: a literal, width or column header that drifts from the published text.
TEST_F(pmem_reports, FileReportMatchesTheCountersWordForWord) {
    int reports = 0;
    Counters before = pmem_text::snapshot();
    pmem_statis_debug(path_.c_str());
    EXPECT_TRUE(pmem_text::same_text(file_text(&reports), expected_file(before)));
    EXPECT_EQ(reports, 1);
}

// Catches: a per-pool table shown for untouched pools, or totals that miss a
// module; the rows are spelled out once by hand as a check on the rebuilt text.
TEST_F(pmem_reports, AllocationAndReleaseShowInPoolModuleAndSummary) {
    const uint16_t mid = 77;
    Counters c = pmem_text::snapshot();
    void *p = pmem_malloc(mid, 100);
    ASSERT_NE(p, nullptr);
    c.pools[4].alloc_count++;
    c.modules[mid].alloc_size += 128;
    c.modules[mid].alloc_count[4]++;
    pmem_statis_debug(path_.c_str());

    pmem_free(p);
    c.pools[4].free_count++;
    c.modules[mid].free_size += 128;
    c.modules[mid].free_count[4]++;
    Counters after_alloc = c;
    after_alloc.pools[4].free_count--;
    after_alloc.modules[mid].free_size -= 128;
    after_alloc.modules[mid].free_count[4]--;
    pmem_statis_debug(path_.c_str());

    int reports = 0;
    std::string text = file_text(&reports);
    EXPECT_EQ(reports, 2);  // appended, not replaced
    EXPECT_TRUE(pmem_text::same_text(text, expected_file(after_alloc) + expected_file(c)));
    EXPECT_NE(text.find("\nmodule_name         alloc_size  free_count\n"
                        "module_77            128          128         \n"
                        "\npool_name           alloc_size  free_count  fail_count\n"
                        "pmem_pool_128        1            1            0           \n"
                        "\nmodule_name"),
              std::string::npos);

    std::vector<Call> calls = callback_calls();
    EXPECT_EQ(calls, pmem_text::callback_report(c, getppid(), getpid()));
    // Module 77's row and its pool-4 line: 15 + 27 + 1 calls, then 28 per module.
    const size_t row = 15 + 27 + 1 + 77 * 28;
    ASSERT_GT(calls.size(), row + 5);
    EXPECT_EQ(calls[row].text, "module_77            128          128         \n");
    EXPECT_EQ(calls[row + 1 + 4].text, "1            1            0           \n");
}

// Catches: failures treated as activity in the file report, or missing from
// the callback report's per-pool lines.
TEST_F(pmem_reports, FailuresOnlyAppearInTheCallbackReport) {
    const uint16_t mid = 88;
    Counters c = pmem_text::snapshot();
    {
        ap_fault::FailNth fail(1);
        EXPECT_EQ(pmem_malloc(mid, 10000), nullptr);
    }
    c.pools[26].fail_count++;
    c.modules[mid].fail_count[26]++;

    pmem_statis_debug(path_.c_str());
    int reports = 0;
    std::string text = file_text(&reports);
    EXPECT_TRUE(pmem_text::same_text(text, expected_file(c)));
    EXPECT_NE(text.find("module_88            0            0           \n\nmodule_name"),
              std::string::npos);

    std::vector<Call> calls = callback_calls();
    EXPECT_EQ(calls, pmem_text::callback_report(c, getppid(), getpid()));
    const size_t row = 15 + 27 + 1 + 88 * 28;
    ASSERT_GT(calls.size(), row + 27);
    EXPECT_EQ(calls[row + 1 + 26].text, "0            0            1           \n");
}

// Catches: a wrong call count, routine name or line number, which log
// pipelines key on.
TEST_F(pmem_reports, CallbackReportHasFixedShape) {
    Counters c = pmem_text::snapshot();
    std::vector<Call> calls = callback_calls();
    ASSERT_EQ(calls.size(), 3656u);
    EXPECT_EQ(calls, pmem_text::callback_report(c, getppid(), getpid()));
    EXPECT_EQ(calls.front().text,
              "------------------------------BEGIN----------------------------------\n");
    EXPECT_EQ(calls[3].text, "Total non-mmapped bytes (arena):\t   N\n");
    EXPECT_EQ(calls[4].text, "# of free chunks (ordblks): \t\t   N\n");
    EXPECT_EQ(calls[15].line, 366);
    EXPECT_EQ(calls[15].text.rfind("pmem_pool_0          ", 0), 0u);
    EXPECT_EQ(calls.back().line, 391);
}

// Catches: a report that writes or crashes without a destination.
TEST_F(pmem_reports, NullOrUnopenableDestinationDoesNothing) {
    pmem_statis_debug(nullptr);
    pmem_statis_debug("/nonexistent_dir_for_pmem/report.txt");
    pmem_statis_debug_rt(nullptr);
    EXPECT_EQ(access("/nonexistent_dir_for_pmem/report.txt", F_OK), -1);
    EXPECT_TRUE(pmem_text::g_calls.empty());
}

}  // namespace
