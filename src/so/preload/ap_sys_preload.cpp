// Platform seam of the preload library: the allocator's own memory (plex
// blocks, block records, name copies, pool-26 blocks) comes straight from
// glibc's allocator.  The plain names would resolve to the preload's own
// interposed functions and recurse into pmem.
#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/ap_sys.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
}

namespace {
// glibc exports no internal name for it, so it is looked up past the preload
// once, at start-up (ap_sys_preload_bind), before pmem can need it.
size_t (*s_glibc_usable_size)(void *);
}  // namespace

bool ap_sys_preload_bind() {
    s_glibc_usable_size =
        reinterpret_cast<size_t (*)(void *)>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    return s_glibc_usable_size != nullptr;
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
size_t ap_sys_usable_size(const void *ptr) {
    return s_glibc_usable_size(const_cast<void *>(ptr));
}
// The internal names are glibc's unless another allocator defines them too.
bool ap_sys_glibc_chunks() {
    return ap_sys_served_by_glibc(&__libc_malloc, &__libc_calloc, &__libc_realloc, &__libc_free,
                                  s_glibc_usable_size);
}
// malloc_trim is glibc's own (not interposed): it trims the arenas that
// __libc_malloc serves, which is where released plex blocks went.
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
