// The live pool-26 pointers of the preload library.
//
// Under the preload a process holds pointers from two allocators, pmem's and
// glibc's, and each must go back to the one that made it.  A plex pointer is
// confirmed by its pool's own block lookup; a pool-26 pointer (above 8192
// bytes, served by glibc behind a pmem header) lies in no pool block, so the
// preload records it here: an open-addressing hash set.
//
// It does not allocate on its own: callers reserve room first, so an update
// made after pmem has already acted can never fail halfway.  Storage comes
// from preload_index_alloc, which the preload binds to glibc's allocator.
#ifndef AUTO_PLEX_PRELOAD_INDEX_H
#define AUTO_PLEX_PRELOAD_INDEX_H

#include <stddef.h>
#include <stdint.h>

// Zero-filled storage for the set, null when memory runs out.
void *preload_index_alloc(size_t bytes);
void preload_index_free(void *ptr);

// Invariant: slots hold a pointer or 0 (empty); n * 2 <= cap; cap is 0 or a
// power of two; every key is reachable from its home slot without crossing an
// empty slot (deletion shifts entries back instead of leaving tombstones).
struct ptr_set {
    uintptr_t *slots;
    size_t n;
    size_t cap;
};

bool ptr_set_reserve(ptr_set *s, size_t extra);
// Requires room (ptr_set_reserve) and key != 0.
void ptr_set_insert(ptr_set *s, uintptr_t key);
bool ptr_set_erase(ptr_set *s, uintptr_t key);
bool ptr_set_contains(const ptr_set *s, uintptr_t key);

#endif
