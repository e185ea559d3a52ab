// The pre-allocation marker.  Its lookup happens once per process, so every
// case runs in a freshly started child (threadsafe death-test style re-runs
// the binary) and points the testing seam at a file of its own.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "auto_plex.h"
#include "private/plex_block.h"
#include "checkers.h"
#include "fault.h"
#include "tools/slot_access.h"

namespace {

std::string marker_path() {
    return ::testing::TempDir() + "auto_plex_marker_" + std::to_string(getpid());
}

void create(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
}

bool all_zero(const void *mem, size_t n) {
    slot_access_open(mem, n);  // never-used slots are closed to the memory checkers
    const unsigned char *b = static_cast<const unsigned char *>(mem);
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}

// Runs `body` in a fresh process; the child exits 0 only if it saw no failure.
template <class Body>
void in_fresh_process(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

// Catches the marker being ignored or pre-allocating a block that is not
// zero-filled or not sized by the one-record rule; and the answer not being
// kept for the rest of the process after the file goes away.
TEST(PlexMarker, PresentAtFirstInitPreAllocatesEveryLaterPlex) {
    in_fresh_process([] {
        std::string path = marker_path();
        create(path);
        ap_fault::set_marker_path(path.c_str());
        long live = ap_fault::live();

        auto_plex a;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "unbounded"), 0);
        unlink(path.c_str());  // looked up once: removing it changes nothing
        EXPECT_EQ(a.block_num, 1u);
        EXPECT_EQ(a.step_alloc_num, 1024u);
        EXPECT_EQ(a.alloc_num, 1024u);
        EXPECT_EQ(a.count_expand, 1u);
        ASSERT_NE(a.first_free_block, nullptr);
        EXPECT_TRUE(all_zero(get_start_ptr(&a.first_free_block->ctl), 1024 * 144));

        auto_plex b;
        ASSERT_EQ(auto_plex_init(&b, 100, 10000, "bounded"), 0);
        EXPECT_EQ(b.block_num, 1u);
        EXPECT_EQ(b.step_alloc_num, 10240u);
        EXPECT_EQ(b.alloc_num, 10000u) << "the whole bound in one block";
        EXPECT_TRUE(checkers::plex_valid(&b));
        EXPECT_EQ(auto_plex_alloc(&b), get_start_ptr(&b.first_free_block->ctl));

        auto_plex_clear(&a);
        auto_plex_clear(&b);
        EXPECT_EQ(ap_fault::live(), live);
    });
}

// Catches a lookup that is repeated: a marker created after the first init
// must have no effect.
TEST(PlexMarker, CreatedAfterFirstInitHasNoEffect) {
    in_fresh_process([] {
        std::string path = marker_path();
        ap_fault::set_marker_path(path.c_str());
        auto_plex a, b;
        ASSERT_EQ(auto_plex_init(&a, 144, 0, "before"), 0);
        create(path);
        ASSERT_EQ(auto_plex_init(&b, 144, 0, "after"), 0);
        unlink(path.c_str());
        EXPECT_EQ(a.alloc_num, 0u);
        EXPECT_EQ(b.alloc_num, 0u);
        EXPECT_EQ(b.block_num, 1u);
        auto_plex_clear(&a);
        auto_plex_clear(&b);
    });
}

// Catches a failed pre-allocation leaking the name or records, or leaving
// the plex registered.
TEST(PlexMarker, FailedPreAllocationFailsInitCleanly) {
    in_fresh_process([] {
        std::string path = marker_path();
        create(path);
        ap_fault::set_marker_path(path.c_str());
        long live = ap_fault::live();
        auto_plex p;
        {
            ap_fault::FailNth fail(3);  // name, record, then the block
            EXPECT_EQ(auto_plex_init(&p, 144, 0, "oom"), -12);
        }
        unlink(path.c_str());
        EXPECT_EQ(p.expand_failed, 0u) << "cleared with the rest";
        EXPECT_EQ(p.module_name, nullptr);
        EXPECT_EQ(p.idle_blocks.next, &p.idle_blocks);
        EXPECT_EQ(plex_registry.next, &plex_registry);
        EXPECT_EQ(ap_fault::live(), live);
    });
}
