// Test hooks of mem_statis (private header; hidden symbols, not in the ABI).
//
// The module table is process-wide and the shipped interface can neither read
// it whole nor empty it, so tests reach it here.
#ifndef LIBAUTO_PLEX_MALLOC_STATIS_INTERNAL_H
#define LIBAUTO_PLEX_MALLOC_STATIS_INTERNAL_H

#include <stdint.h>

#include "malloc_statis.h"

struct mem_statis_table_view {
    const mem_statis_entry *array;  // may move on the next registration
    int32_t registered;             // s_statis_id
    int32_t capacity;               // s_statis_capacity
};

mem_statis_table_view mem_statis_table_internal();

// Releases every name copy and the table and returns to the load-time state,
// so each test starts from an empty registry.  Blocks still accounted to
// modules are not touched.
void mem_statis_reset_internal();

#endif
