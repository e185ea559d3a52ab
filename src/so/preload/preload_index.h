// Which allocator owns a pointer: the side index of the preload library.
//
// Under the preload a process holds pointers from two allocators: pmem's, and
// glibc's own (handed out before pmem was ready, by calls nested inside the
// preload's lock, or for alignments above 16 bytes).  Each must go back to
// the allocator that made it, and a guess read from the bytes in front of a
// foreign pointer is not proof.  So ownership is recorded, not inferred:
//
//   - block_index: the address ranges of every block of pmem's 26 plexes,
//     sorted and disjoint.  A pointer whose header lies in a range is pmem's.
//     The pools report every block they add or release, a rare event, so a
//     sorted array with binary search is cheap to keep exact.
//   - ptr_set: the live pool-26 pointers (above 8192 bytes, served by glibc
//     behind a pmem header); an open-addressing hash set.
//
// Neither allocates on its own: callers reserve room first, so an update made
// after pmem has already acted can never fail halfway.  Storage comes from
// preload_index_alloc, which the preload binds to glibc's allocator.
#ifndef AUTO_PLEX_PRELOAD_INDEX_H
#define AUTO_PLEX_PRELOAD_INDEX_H

#include <stddef.h>
#include <stdint.h>

// Zero-filled storage for the index, null when memory runs out.
void *preload_index_alloc(size_t bytes);
void preload_index_free(void *ptr);

struct block_range {
    uintptr_t start;  // first byte of the block's slot area
    uintptr_t end;    // one past its last slot
    uint32_t pool;
};

// Invariant: v[0..n) sorted by start, ranges pairwise disjoint; n <= cap.
struct block_index {
    block_range *v;
    size_t n;
    size_t cap;
};

// Room for `extra` more ranges; false when memory runs out (index unchanged).
bool block_index_reserve(block_index *ix, size_t extra);
// Requires room (block_index_reserve) and a range disjoint from all others.
void block_index_insert(block_index *ix, block_range r);
// Removes the range that contains `addr`; false when none does.
bool block_index_erase(block_index *ix, uintptr_t addr);
// The range containing `addr`, or null.
const block_range *block_index_find(const block_index *ix, uintptr_t addr);

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
