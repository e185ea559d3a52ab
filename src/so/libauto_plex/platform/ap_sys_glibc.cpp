// glibc binding of the platform seam, linked into the shipped library.
#include <malloc.h>
#include <stdlib.h>

#include "platform/ap_sys.h"

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
size_t ap_sys_usable_size(const void *ptr) {
    return malloc_usable_size(const_cast<void *>(ptr));
}
bool ap_sys_glibc_chunks() {
    return ap_sys_served_by_glibc(&malloc, &calloc, &realloc, &free, &malloc_usable_size);
}
void ap_sys_trim() {
    malloc_trim(0);
}
void ap_sys_return_pages(void *ptr, size_t size) {
    ap_sys_madvise_pages(ptr, size);
}
size_t ap_sys_heap_top_idle() {
    return mallinfo2().keepcost;
}
uint64_t ap_sys_now_ns() {
    return ap_sys_coarse_clock_ns();
}
const char *ap_sys_marker_path() {
    return AP_SYS_MARKER_PATH;
}
const char *ap_sys_setting(const char *name) {
    return getenv(name);
}
