// The one road from libauto_plex to the platform (private header).
//
// Every system-allocator call of the library, and the marker-file lookup, go
// through these functions.  The shipped library binds them to glibc; the test
// build links a replacement that can make any chosen call fail and counts
// what is still outstanding, so each out-of-memory path can be driven and
// checked for leaks.  Keep the set narrow: every new entry is one more thing
// the replacement has to model.
#ifndef LIBAUTO_PLEX_AP_SYS_H
#define LIBAUTO_PLEX_AP_SYS_H

#include <stddef.h>
#include <string.h>

void *ap_sys_malloc(size_t size);
void *ap_sys_calloc(size_t count, size_t size);
void *ap_sys_realloc(void *ptr, size_t size);
void ap_sys_free(void *ptr);
// Hands free heap memory back to the kernel (malloc_trim(0)).
void ap_sys_trim();
// True when the pre-allocation marker file exists.
bool ap_sys_marker_exists();

// strdup/strndup through the seam, so name copies fail like any allocation.
inline char *ap_sys_strdup(const char *s) {
    size_t len = strlen(s) + 1;
    char *copy = static_cast<char *>(ap_sys_malloc(len));
    if (copy) memcpy(copy, s, len);
    return copy;
}

#endif
