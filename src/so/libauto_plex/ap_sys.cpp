// glibc binding of the platform seam, linked into the shipped library.
#include "ap_sys.h"

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#ifndef AUTO_PLEX_MARKER_PATH
#define AUTO_PLEX_MARKER_PATH "/var/auto_plex_pre_allocate"
#endif

void *ap_sys_malloc(size_t size) {
    return malloc(size);
}
void *ap_sys_calloc(size_t count, size_t size) {
    return calloc(count, size);
}
void *ap_sys_realloc(void *ptr, size_t size) {
    return realloc(ptr, size);
}
void ap_sys_free(void *ptr) {
    free(ptr);
}
void ap_sys_trim() {
    malloc_trim(0);
}
bool ap_sys_marker_exists() {
    return access(AUTO_PLEX_MARKER_PATH, F_OK) == 0;
}
