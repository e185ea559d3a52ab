// pmem before pmem_init: a process of its own, because pmem_init cannot be
// undone.  No test here calls pmem_init.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fault.h"
#include "pmem.h"
#include "pmem_report_text.h"

namespace {

bool all_counters_zero() {
    static const pmem_text::Counters zero{};
    pmem_text::Counters now = pmem_text::snapshot();
    return memcmp(&now, &zero, sizeof now) == 0;
}

// Catches: a call served by a pool (or counted, or module-checked) before
// the pools exist; pass-through allocations that bypass the platform seam.
TEST(pmem_before_init, EveryCallPassesToTheSystemAllocator) {
    ASSERT_EQ(pmem_inited, 0);
    long live = ap_fault::live();

    char *m = static_cast<char *>(pmem_malloc(500, 10));  // module id not checked
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(ap_fault::live(), live + 1);
    memset(m, 'x', 10);

    auto *z = static_cast<unsigned char *>(pmem_calloc(600, 4, 25));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(z[i], 0);

    m = static_cast<char *>(pmem_realloc(700, m, 4000));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[9], 'x');

    char *d = pmem_strdup(800, "hello");
    char *n = pmem_strndup(900, "abcdef", 3);
    ASSERT_TRUE(d && n);
    EXPECT_STREQ(d, "hello");
    EXPECT_STREQ(n, "abc");
    EXPECT_EQ(pmem_strdup(1, nullptr), nullptr);
    EXPECT_EQ(pmem_strndup(1, nullptr, 4), nullptr);
    EXPECT_EQ(ap_fault::live(), live + 4);

    pmem_free(nullptr);
    pmem_free(m);
    pmem_free(z);
    pmem_free(d);
    pmem_free(n);
    EXPECT_EQ(ap_fault::live(), live);

    EXPECT_TRUE(all_counters_zero());
    for (const auto &pool : pmem_pools)
        EXPECT_EQ(pool.pool_plex.module_name, nullptr);
    EXPECT_EQ(plex_registry.next, &plex_registry);
}

// Catches: a failed pass-through that is counted or not reported as null.
TEST(pmem_before_init, OutOfMemoryIsThePlainNull) {
    ap_fault::FailNth fail(1);
    EXPECT_EQ(pmem_malloc(0, 32), nullptr);
    EXPECT_TRUE(all_counters_zero());
}

// Catches: null names reaching printf before the counter records are named.
TEST(pmem_before_init, ReportsUseTheBuildTimeNames) {
    char tmpl[] = "/tmp/pmem_preinit_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(tmpl);
    pmem_statis_debug(tmpl);
    int reports = 0;
    std::string text = pmem_text::mask_time(pmem_text::read_file(tmpl), &reports);
    unlink(tmpl);
    EXPECT_EQ(reports, 1);
    pmem_text::Counters zero{};
    EXPECT_TRUE(pmem_text::same_text(text, pmem_text::file_report(zero, getppid(), getpid())));
    EXPECT_NE(text.find("\npmem_pool_1073741824 0 "), std::string::npos);
    EXPECT_NE(text.find("\ndefault              0 "), std::string::npos);

    pmem_text::g_calls.clear();
    pmem_statis_debug_rt(pmem_text::capture);
    EXPECT_EQ(pmem_text::mask_mallinfo(pmem_text::g_calls),
              pmem_text::callback_report(zero, getppid(), getpid()));
}

}  // namespace
