// The module table of mem_statis as the reports and the tests see it
// (private header).
//
// The table is the component's own allocation, so each record is a
// statis_record: the public mem_statis_entry first, then what the component
// keeps beside it.
#ifndef LIBAUTO_PLEX_PRIVATE_MALLOC_STATIS_PRIVATE_H
#define LIBAUTO_PLEX_PRIVATE_MALLOC_STATIS_PRIVATE_H

#include <stdint.h>

#include "malloc_statis.h"
#include "platform/ap_lock.h"

// Records never move once made (the table grows by adding chunks), so a
// thread accounting to one module never reads through a table another
// thread is replacing.  Each record has its own cache line and lock.
struct alignas(64) statis_record {
    mem_statis_entry pub;
    int64_t peak_mem_alloced;  // most bytes held at once
    // Bytes of allocations that passed the ceiling test and whose block is
    // not accounted yet: they count against the ceiling, not in mem_alloced.
    uint64_t pending;
    ap_lock lock;
    uint64_t injected;  // calls failed by fault injection
};
static_assert(sizeof(statis_record) == 64);

struct mem_statis_table {
    int32_t registered;  // s_statis_id
    int32_t capacity;    // records the chunks hold
    uint32_t chunks;     // system allocations behind them
};

mem_statis_table mem_statis_table_internal();
// Requires id < registered.
const statis_record *mem_statis_record_internal(int32_t id);

// A copy of a record's public part and peak, read under its lock.
struct mem_statis_figures {
    mem_statis_entry pub;
    int64_t peak_mem_alloced;
    uint64_t injected;
};
mem_statis_figures mem_statis_figures_internal(int32_t id);

// Whether usable sizes are now read from glibc's chunks, of both kinds,
// rather than asked of the allocator (malloc_statis.cpp, usable_size).
bool mem_statis_reads_chunks_internal();

// For tests: releases every name copy and the table and returns to the
// load-time state, so each test starts from an empty registry.  Blocks still
// accounted to modules are not touched.
void mem_statis_reset_internal();

#endif
