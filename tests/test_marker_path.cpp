// The shipped library looks for exactly /var/auto_plex_pre_allocate.  The
// file is created only in a child process and always removed again; if it
// already exists (a host configured this machine) the test leaves it alone.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "auto_plex.h"

namespace {
constexpr const char *kMarker = "/var/auto_plex_pre_allocate";
}

// Catches the shipped library looking at any path other than the marker's.
TEST(PlexMarkerPath, ShippedLibraryHonoursTheSystemMarker) {
    if (access(kMarker, F_OK) == 0) GTEST_SKIP() << kMarker << " exists; not touching it";
    if (access("/var", W_OK) != 0) GTEST_SKIP() << "/var is not writable here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FILE *f = fopen(kMarker, "w");
            if (!f) exit(2);
            fclose(f);
            auto_plex p;
            int rc = auto_plex_init(&p, 144, 0, "marker");
            unlink(kMarker);
            bool ok = rc == 0 && p.alloc_num == 1024 && p.count_expand == 1;
            auto_plex_clear(&p);
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    unlink(kMarker);  // in case the child died between create and unlink
    EXPECT_NE(access(kMarker, F_OK), 0);
}
