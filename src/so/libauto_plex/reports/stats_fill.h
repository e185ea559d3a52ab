// The record fillers behind the snapshots, shared with the other reports
// that need the same figures (private header of the reports layer).
#ifndef LIBAUTO_PLEX_REPORTS_STATS_FILL_H
#define LIBAUTO_PLEX_REPORTS_STATS_FILL_H

#include <stdint.h>

#include "ap_stats.h"
#include "private/malloc_statis_private.h"

void fill_plex(const auto_plex *me, auto_plex_snapshot *s);
void fill_pool(unsigned pool, pmem_pool_snapshot *s);
void fill_module(unsigned mid, pmem_module_snapshot *s);
void fill_statis(const mem_statis_table &t, int32_t id, mem_statis_snapshot *s);

#endif
