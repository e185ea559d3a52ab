// Platform seam of the preload library: the allocator's own memory (plex
// blocks, block records, name copies, pool-26 blocks) comes straight from
// glibc's allocator.  Plain malloc would resolve to the preload's own
// interposed malloc and recurse into pmem.
#include "ap_sys.h"

#include <malloc.h>
#include <unistd.h>

#ifndef AUTO_PLEX_MARKER_PATH
#define AUTO_PLEX_MARKER_PATH "/var/auto_plex_pre_allocate"
#endif

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
}

void *ap_sys_malloc(size_t size) {
    return __libc_malloc(size);
}
void *ap_sys_calloc(size_t count, size_t size) {
    return __libc_calloc(count, size);
}
void *ap_sys_realloc(void *ptr, size_t size) {
    return __libc_realloc(ptr, size);
}
void ap_sys_free(void *ptr) {
    __libc_free(ptr);
}
// malloc_trim is glibc's own (not interposed): it trims the arenas that
// __libc_malloc serves, which is where released plex blocks went.
void ap_sys_trim() {
    malloc_trim(0);
}
bool ap_sys_marker_exists() {
    return access(AUTO_PLEX_MARKER_PATH, F_OK) == 0;
}
