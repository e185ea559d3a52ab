// Fault-injecting binding of the platform seam, for tests.  It forwards to
// glibc, but can refuse a chosen allocation and counts what is outstanding so
// tests can say "nothing leaked" without a sanitizer.
#include <malloc.h>
#include <stdlib.h>

#include "platform/ap_sys.h"
#include "fault.h"

namespace {
long s_fail_countdown;  // 0: off; otherwise calls left until the failing one
bool s_fail_all;
long s_calls;
long s_live;
long s_trims;
const char *s_marker_path;

bool should_fail() {
    s_calls++;
    if (s_fail_all) return true;
    if (s_fail_countdown > 0 && --s_fail_countdown == 0) return true;
    return false;
}
}  // namespace

void *ap_sys_malloc(size_t size) {
    if (should_fail()) return nullptr;
    void *p = malloc(size);
    if (p) s_live++;
    return p;
}

void *ap_sys_calloc(size_t count, size_t size) {
    if (should_fail()) return nullptr;
    void *p = calloc(count, size);
    if (p) s_live++;
    return p;
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

void ap_sys_trim() {
    s_trims++;
    malloc_trim(0);
}

size_t ap_sys_usable_size(const void *ptr) {
    return malloc_usable_size(const_cast<void *>(ptr));
}

const char *ap_sys_marker_path() {
    return s_marker_path;
}

namespace ap_fault {
void fail_nth(long k) {
    s_fail_countdown = k;
}
void fail_all(bool on) {
    s_fail_all = on;
}
long calls() {
    return s_calls;
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
    s_fail_countdown = 0;
    s_fail_all = false;
    s_calls = 0;
    s_trims = 0;
}
}  // namespace ap_fault
