// The test binding of the platform seam (ap_sys_faulty.cpp): it refuses a
// chosen allocation, counts what is outstanding, and looks for the marker
// wherever a test points it.
#ifndef AUTO_PLEX_TESTS_FAULT_H
#define AUTO_PLEX_TESTS_FAULT_H

#include <stddef.h>
#include <stdint.h>

namespace ap_fault {

inline long countdown;               // > 0: the countdown-th allocation call from now returns null
inline long calls;                   // allocation calls (malloc, calloc, realloc) through the seam
inline long fired;                   // allocation calls refused, ever
inline long live;                    // blocks obtained through the seam and not yet released
inline long trims;                   // malloc_trim calls
inline long returned;                // blocks whose pages went back to the kernel
inline const char *release_setting;  // AUTO_PLEX_RELEASE as the library sees it
inline const char *delay_setting;    // AUTO_PLEX_RELEASE_DELAY as the library sees it
inline const char *conf_setting;     // AUTO_PLEX_CONF
inline const char *report_setting;   // AUTO_PLEX_REPORT
inline uint64_t now_ns;              // nonzero: the clock stands at this
inline size_t top_idle;              // what the heap's top holds free, as the library sees it
inline const char *marker_path;      // null: no marker anywhere
inline size_t usable_lie_from;       // nonzero: usable sizes from this up are told 16 bytes larger

// Fails the k-th allocation (k counts from 1) for the scope's lifetime.
struct FailNth {
    explicit FailNth(long k) { countdown = k; }
    ~FailNth() { countdown = 0; }
};

}  // namespace ap_fault

#endif
