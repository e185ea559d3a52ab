// Test-only control of the platform seam (see ap_sys.h).  Linked into every
// test that uses the auto_plex_testing library instead of the shipped one.
#ifndef AUTO_PLEX_TESTS_FAULT_H
#define AUTO_PLEX_TESTS_FAULT_H

namespace ap_fault {

// The k-th allocation call (malloc, calloc or realloc through the seam) from
// now on returns null; k counts from 1.  0 disarms.
void fail_nth(long k);
// While on, every allocation call returns null.
void fail_all(bool on);
// Allocation calls made through the seam since the last reset().
long calls();
// Blocks obtained through the seam and not yet released.
long live();
// malloc_trim calls since the last reset().
long trims();
// The marker file the seam looks for; null means "no marker anywhere".
void set_marker_path(const char *path);
// Disarms failures and zeroes the call and trim counters (not live()).
void reset();

// Fails the k-th allocation for the scope's lifetime.
struct FailNth {
    explicit FailNth(long k) { fail_nth(k); }
    ~FailNth() { fail_nth(0); }
};

}  // namespace ap_fault

#endif
