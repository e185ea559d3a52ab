// The one road from libauto_plex to the system allocator (private header).
//
// Every call the library makes into the allocator beneath it goes through
// these functions, and so does the question "does the pre-allocation marker
// exist".  Three bindings exist: glibc for the shipped library
// (ap_sys_glibc.cpp), glibc's internal entry points for the preload library
// (which interposes malloc itself), and a test binding that can refuse any
// chosen allocation and counts what is outstanding, so that every
// out-of-memory path can be driven and checked for leaks.  Keep the set
// narrow: every entry is one more thing each binding has to provide.
#ifndef LIBAUTO_PLEX_PLATFORM_AP_SYS_H
#define LIBAUTO_PLEX_PLATFORM_AP_SYS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

void *ap_sys_malloc(size_t size);
void *ap_sys_calloc(size_t count, size_t size);
void *ap_sys_realloc(void *ptr, size_t size);
void ap_sys_free(void *ptr);
// The usable size the allocator reports for a block it handed out.
size_t ap_sys_usable_size(const void *ptr);
// True when the blocks handed out above are chunks of glibc's own allocator,
// whose size word just before each block may then be read; false when
// another allocator serves them (a preloaded one, a sanitizer's), before
// whose blocks there may be nothing mapped.
bool ap_sys_glibc_chunks();
// Hands free heap memory back to the kernel (malloc_trim(0)).
void ap_sys_trim();
// Hands the whole pages inside [ptr, ptr + size) of a block the library
// still owns back to the kernel; they read as zero when touched again.
void ap_sys_return_pages(void *ptr, size_t size);
// Free bytes at the top of the allocator's heap, which a trim would hand
// back (mallinfo2's keepcost).  It walks the free lists: ask rarely.
size_t ap_sys_heap_top_idle();
// A monotonic clock in nanoseconds, coarse (a few milliseconds) and cheap:
// what the release delay is measured with.
uint64_t ap_sys_now_ns();
// Where the pre-allocation marker file is looked for; null: nowhere.
const char *ap_sys_marker_path();
// The value of a setting from the environment, or null.
const char *ap_sys_setting(const char *name);

#define AP_SYS_MARKER_PATH "/var/auto_plex_pre_allocate"

// True when the marker file exists.  The lookup itself is the same for every
// binding; only the path differs.
bool ap_sys_marker_exists();

// True when the function `fn` points to is defined by glibc's libc.so itself
// rather than by an allocator loaded before it.
bool ap_sys_in_libc(const void *fn);

// True when a tool that redirects glibc's own functions to its allocator is
// loaded (valgrind's vgpreload_* objects): their addresses stay glibc's, the
// blocks do not.
bool ap_sys_malloc_redirected();

// The part of ap_sys_glibc_chunks every binding shares: whether all the
// functions its blocks come from are glibc's, and really run.
template <class... Fn>
bool ap_sys_served_by_glibc(Fn *...fns) {
    return (ap_sys_in_libc(reinterpret_cast<const void *>(fns)) && ...) &&
           !ap_sys_malloc_redirected();
}

// madvise(MADV_DONTNEED) on the whole pages inside the range: the part every
// binding's ap_sys_return_pages shares.
void ap_sys_madvise_pages(void *ptr, size_t size);

// CLOCK_MONOTONIC_COARSE: the part every binding's ap_sys_now_ns shares.
uint64_t ap_sys_coarse_clock_ns();

// A copy of `s` through the seam, so name copies fail like any allocation.
inline char *ap_sys_strdup(const char *s) {
    size_t len = strlen(s) + 1;
    char *copy = static_cast<char *>(ap_sys_malloc(len));
    if (copy) memcpy(copy, s, len);
    return copy;
}

#endif
