// Fault-injecting binding of the platform seam, linked into the tests instead
// of the glibc one: it forwards to glibc, refuses the allocation a test
// names, and counts what is outstanding, so a test can say "nothing leaked"
// without a sanitizer.
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include "fault.h"
#include "platform/ap_sys.h"

using namespace ap_fault;

namespace {
bool refused() {
    calls++;
    return countdown > 0 && --countdown == 0 && ++fired;
}
void *counted(void *p) {
    return live += p != nullptr, p;
}
}  // namespace

void *ap_sys_malloc(size_t size) {
    return refused() ? nullptr : counted(malloc(size));
}
void *ap_sys_calloc(size_t count, size_t size) {
    return refused() ? nullptr : counted(calloc(count, size));
}
void *ap_sys_realloc(void *ptr, size_t size) {
    if (refused()) return nullptr;
    void *p = realloc(ptr, size);
    live += (!ptr && p) - (ptr && !p && size == 0);  // a new block; glibc released one
    return p;
}
void ap_sys_free(void *ptr) {
    live -= ptr != nullptr;
    free(ptr);
}
size_t ap_sys_usable_size(const void *ptr) {
    const size_t n = malloc_usable_size(const_cast<void *>(ptr));
    return usable_lie_from && n >= usable_lie_from ? n + 16 : n;
}
bool ap_sys_glibc_chunks() {
    return ap_sys_served_by_glibc(&malloc, &calloc, &realloc, &free, &malloc_usable_size);
}
void ap_sys_trim() {
    trims++;
    malloc_trim(0);
}
void ap_sys_return_pages(void *ptr, size_t size) {
    returned++;
    ap_sys_madvise_pages(ptr, size);
}
size_t ap_sys_heap_top_idle() {
    return top_idle;
}
uint64_t ap_sys_now_ns() {
    return now_ns ? now_ns : ap_sys_coarse_clock_ns();
}
const char *ap_sys_marker_path() {
    return marker_path;
}
const char *ap_sys_setting(const char *name) {
    if (strcmp(name, "AUTO_PLEX_RELEASE") == 0) return release_setting;
    if (strcmp(name, "AUTO_PLEX_CONF") == 0) return conf_setting;
    if (strcmp(name, "AUTO_PLEX_REPORT") == 0) return report_setting;
    return strcmp(name, "AUTO_PLEX_RELEASE_DELAY") == 0 ? delay_setting : nullptr;
}
