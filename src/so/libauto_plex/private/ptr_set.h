// A set of pointers: open addressing, no tombstones (private header).
//
// pmem keeps its live large areas (pool 26) here: they come straight from
// the system allocator and lie in no pool block, yet the live walk must
// visit them and the preload must recognise them.  The set never allocates
// on its own: callers reserve room first, so an insertion made after the
// allocation it records can never fail halfway.  Storage comes through the
// platform seam.
#ifndef LIBAUTO_PLEX_PRIVATE_PTR_SET_H
#define LIBAUTO_PLEX_PRIVATE_PTR_SET_H

#include <stddef.h>
#include <stdint.h>

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
