// What pmem keeps beyond its exported tables, and how the reports, the
// preload and the tests reach it (private header).
#ifndef LIBAUTO_PLEX_PRIVATE_PMEM_PRIVATE_H
#define LIBAUTO_PLEX_PRIVATE_PMEM_PRIVATE_H

#include <stdint.h>

#include "pmem.h"

// The header in front of a caller's area.
inline pmem_header *pmem_header_of(const void *ptr) {
    return reinterpret_cast<pmem_header *>(const_cast<char *>(static_cast<const char *>(ptr)) -
                                           PMEM_HEADER_SIZE);
}

// A pool's counters and its most live allocations at once, read together
// under the pool's lock.
struct pmem_pool_figures {
    uint64_t alloc_count, free_count, fail_count, peak_live;
    uint64_t injected;  // failures of fail_count made by fault injection
};
pmem_pool_figures pmem_pool_figures_internal(unsigned pool);
// Most bytes (usable sizes) a module has held at once.
uint64_t pmem_module_peak_internal(unsigned mid);
// A module's ceiling (0: none) and the requests it refused.
uint64_t pmem_module_limit_internal(unsigned mid);
uint64_t pmem_module_over_limit_internal(unsigned mid);
// Whether poisoned releases are switched on (pmem_set_poison).
bool pmem_poison_internal();
// A module's failures made by fault injection (also in its fail_count).
uint64_t pmem_module_injected_internal(unsigned mid);
// A pool's and a module's names as the reports print them, also before
// pmem_init has named the counter records.
const char *pmem_pool_label_internal(unsigned pool);
const char *pmem_module_label_internal(unsigned mid);
// Whether a pointer handed to the preload's free or realloc is pmem's: a
// live allocation, or a released one that the release must still stop.
bool pmem_owns_internal(const void *ptr);
// Releases `ptr` as pmem_free does when pmem_owns_internal would say it is
// pmem's, under one hold of the pool's lock; false (nothing done) for a
// foreign pointer.
bool pmem_release_if_owned_internal(void *ptr);
// Slots of the set of live pool-26 areas (0 until the first one).
size_t pmem_large_capacity_internal();

#endif
