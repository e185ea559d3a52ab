// Fault-injecting binding of the platform seam, linked into the tests instead
// of the glibc one.  It forwards to glibc, but can refuse a chosen allocation
// and counts what is outstanding, so tests can say "nothing leaked" without a
// sanitizer.
#include <malloc.h>
#include <stdlib.h>

#include "fault.h"
#include "platform/ap_sys.h"

namespace {
long s_countdown;  // 0: off; otherwise calls left until the failing one
long s_calls, s_fired, s_live, s_trims;
const char *s_marker_path;

bool should_fail() {
    s_calls++;
    if (s_countdown > 0 && --s_countdown == 0) {
        s_fired++;
        return true;
    }
    return false;
}

void *counted(void *p) {
    if (p) s_live++;
    return p;
}
}  // namespace

void *ap_sys_malloc(size_t size) {
    return should_fail() ? nullptr : counted(malloc(size));
}
void *ap_sys_calloc(size_t count, size_t size) {
    return should_fail() ? nullptr : counted(calloc(count, size));
}
void *ap_sys_realloc(void *ptr, size_t size) {
    if (should_fail()) return nullptr;
    void *p = realloc(ptr, size);
    if (!ptr && p) s_live++;
    if (ptr && !p && size == 0) s_live--;  // glibc released the block
    return p;
}
void ap_sys_free(void *ptr) {
    if (ptr) s_live--;
    free(ptr);
}
size_t ap_sys_usable_size(const void *ptr) {
    return malloc_usable_size(const_cast<void *>(ptr));
}
void ap_sys_trim() {
    s_trims++;
    malloc_trim(0);
}
const char *ap_sys_marker_path() {
    return s_marker_path;
}

namespace ap_fault {
void fail_nth(long k) {
    s_countdown = k;
}
long calls() {
    return s_calls;
}
long fired() {
    return s_fired;
}
long live() {
    return s_live;
}
long trims() {
    return s_trims;
}
void set_marker_path(const char *path) {
    s_marker_path = path;
}
void reset() {
    s_countdown = s_calls = s_trims = 0;
}
}  // namespace ap_fault
