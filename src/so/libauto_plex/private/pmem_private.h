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

// Most live allocations a pool has had at once.
uint64_t pmem_pool_peak_internal(unsigned pool);
// Most bytes (usable sizes) a module has held at once.
uint64_t pmem_module_peak_internal(unsigned mid);
// A pool's and a module's names as the reports print them, also before
// pmem_init has named the counter records.
const char *pmem_pool_label_internal(unsigned pool);
const char *pmem_module_label_internal(unsigned mid);
// True when `header` is that of a live pool-26 area.
bool pmem_large_live_internal(const void *header);
// Slots of the set of live pool-26 areas (0 until the first one).
size_t pmem_large_capacity_internal();

#endif
