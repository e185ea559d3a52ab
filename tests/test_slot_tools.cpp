// AddressSanitizer sees inside the pools: a freed slot and the never-used
// part of a block are poisoned, so a use after free and an overflow into the
// next slot are reported as they would be for the system allocator.  Only
// meaningful in the sanitizer build; elsewhere the tests skip.
#include <gtest/gtest.h>
#include <signal.h>

#include "auto_plex.h"
#include "pmem.h"

#if defined(__SANITIZE_ADDRESS__)
#define SLOT_TOOLS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SLOT_TOOLS_ASAN 1
#endif
#endif

namespace {

struct Pool {
    auto_plex p;
    Pool() { auto_plex_init(&p, 64, 0, "tools"); }
    ~Pool() { auto_plex_clear(&p); }
    char *alloc() { return static_cast<char *>(auto_plex_alloc(&p)); }
};

// Without poisoning these writes land in memory the tool thinks is live.
TEST(SlotToolsDeathTest, AsanReportsUseAfterFreeAndOverflowInAPool) {
#ifndef SLOT_TOOLS_ASAN
    GTEST_SKIP() << "not a sanitizer build";
#else
    Pool pool;
    char *a = pool.alloc();
    char *b = pool.alloc();
    auto_plex_free(&pool.p, b);
    EXPECT_DEATH(a[64] = 1, "use-after-poison") << "overflow into a freed neighbour";
    EXPECT_DEATH(a[128] = 1, "use-after-poison") << "overflow into a never-used slot";
    EXPECT_DEATH(b[8] = 1, "use-after-poison") << "use after free";
    EXPECT_DEATH(auto_plex_free(&pool.p, b), "use-after-poison") << "double free";
    a[63] = 1;  // the slot itself stays open
    char *again = pool.alloc();
    EXPECT_EQ(again, b);
    again[63] = 1;  // handed out again: open
    auto_plex_free(&pool.p, again);
    auto_plex_free(&pool.p, a);

    // pmem's double-release check reads the poisoned header unchecked and
    // still ends in its own abort rather than a sanitizer report.
    if (!pmem_inited) pmem_init();
    void *keep = pmem_malloc(0, 100);
    char *p = static_cast<char *>(pmem_malloc(0, 100));
    pmem_free(p);
    EXPECT_DEATH(p[0] = 1, "use-after-poison");
    EXPECT_EXIT(pmem_free(p), ::testing::KilledBySignal(SIGABRT), "^$");
    pmem_free(keep);
#endif
}

}  // namespace
