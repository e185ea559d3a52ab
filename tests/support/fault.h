// Test binding of the platform seam: refuse any chosen allocation, count what
// is outstanding, point the marker lookup anywhere.
#ifndef AUTO_PLEX_TESTS_FAULT_H
#define AUTO_PLEX_TESTS_FAULT_H

namespace ap_fault {

// The k-th allocation call (malloc, calloc or realloc through the seam) from
// now on returns null; k counts from 1.  0 disarms.
void fail_nth(long k);
// Allocation calls made through the seam since the last reset().
long calls();
// Allocation calls refused so far (never reset).
long fired();
// Blocks obtained through the seam and not yet released (never reset).
long live();
// malloc_trim calls since the last reset().
long trims();
// The marker file the seam looks for; null (the default) means nowhere.
void set_marker_path(const char *path);
// Disarms failures and zeroes calls() and trims().
void reset();

// Fails the k-th allocation for the scope's lifetime.
struct FailNth {
    explicit FailNth(long k) { fail_nth(k); }
    ~FailNth() { fail_nth(0); }
};

}  // namespace ap_fault

#endif
