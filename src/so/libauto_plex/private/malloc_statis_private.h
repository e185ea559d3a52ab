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

struct statis_record {
    mem_statis_entry pub;
    int64_t peak_mem_alloced;  // most bytes held at once
};

struct mem_statis_table {
    const statis_record *records;  // indexed by id; moves when the table grows
    int32_t registered;            // s_statis_id
    int32_t capacity;              // s_statis_capacity
};

mem_statis_table mem_statis_table_internal();

// For tests: releases every name copy and the table and returns to the
// load-time state, so each test starts from an empty registry.  Blocks still
// accounted to modules are not touched.
void mem_statis_reset_internal();

#endif
