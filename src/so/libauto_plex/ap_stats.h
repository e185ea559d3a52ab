/* Statistics as data: the counters of every component copied into the
 * caller's structs, their high-water marks, and JSON reports.
 *
 * The text reports stay as they are; everything here is in addition to them.
 *
 * Snapshots.  Each *_take_*snapshot call copies one record per item into
 * `out`, allocating nothing, and returns how many items there are in total.
 * It fills min(total, capacity) records and leaves the rest of `out`
 * untouched, so a result above `capacity` means the buffer was too small:
 * call with (NULL, 0) to learn the count, size the buffer, call again.  Name
 * pointers point into the library's own state (see each record).
 *
 * Peaks.  Kept from the first allocation on and never reset: per plex the
 * highest using_num, per pmem pool the most live allocations, per pmem module
 * and per accounted module the most bytes held.  Each costs one compare and
 * at most one store on its allocation path.
 *
 * JSON.  One document per report, UTF-8, on one line ending in a newline,
 * with a top-level "version" (AP_STATS_JSON_VERSION: raised only when a
 * field changes meaning or goes away; new fields may appear within a
 * version).  The file form writes a temporary file beside `path` and renames
 * it over `path`, so a reader never sees half a report.  The callback form
 * makes one call: routine "<function name>", line AP_STATS_JSON_LINE, format
 * "%s\n", the document.  Both return 0, or -1 when nothing (file) or only
 * {"version":...,"report":...,"error":"out of memory"} (callback) could be
 * written; a null path or function returns -1 at once.  The callback form
 * builds the document in memory obtained from the system allocator and
 * released before it returns.
 *
 * Safe from any thread while others allocate: each pool's or plex's figures
 * are read together under its lock; the reports format from a copy, with no
 * lock held (when memory for the copy runs out, the plex registry stays
 * locked while they are written, so a callback must not init or clear a
 * plex then). */
#ifndef LIBAUTO_PLEX_AP_STATS_H
#define LIBAUTO_PLEX_AP_STATS_H

#include <stddef.h>
#include <stdint.h>

#include "ap_api.h"
#include "app_log.h"
#include "auto_plex.h"
#include "pmem.h"

AP_BEGIN_DECLS

#define AP_STATS_JSON_VERSION 1
#define AP_STATS_JSON_LINE 1

/* ---- object pools ---- */

/* One registered plex; the fields named as in auto_plex mean the same. */
typedef struct auto_plex_snapshot {
    const auto_plex *plex;   /* the control block, for auto_plex_take_block_snapshot */
    const char *module_name; /* the plex's own copy: valid until auto_plex_clear */
    uint64_t item_size;
    uint64_t step_alloc_num;
    uint64_t max_num;
    uint64_t alloc_num;
    uint64_t using_num;
    uint64_t peak_using_num; /* highest using_num since auto_plex_init */
    uint64_t block_num;
    uint64_t block_count;      /* blocks that own memory now */
    uint64_t full_block_count; /* ...of which have no free slot */
    uint64_t count_expand;
    uint64_t count_clear;
    uint64_t expand_failed;
    uint64_t alloc_failed;
    uint64_t alloc_injected; /* ...of which failed by fault injection (ap_settings.h) */
} auto_plex_snapshot;

/* One block of a plex, as the callback text report lists it. */
typedef struct auto_plex_block_snapshot {
    const auto_plex_block *block; /* the record, as "block:%p" in the text report */
    uint64_t alloc_num;           /* slots in the block */
    uint64_t using_num;           /* slots of it handed out */
} auto_plex_block_snapshot;

/* Every registered plex, newest first (the reports' order). */
AP_API size_t auto_plex_take_snapshot(auto_plex_snapshot *out, size_t capacity);
/* The blocks of one initialised plex, by the address of their memory. */
AP_API size_t auto_plex_take_block_snapshot(const auto_plex *me, auto_plex_block_snapshot *out,
                                            size_t capacity);
/* {"version","report":"auto_plex","time","ppid","pid","mallinfo2",
 *  "plexes":[{...,"blocks":[...]}],"summary"}: see docs/REPORTS.md. */
AP_API int auto_plex_debug_json(const char *path);
AP_API int auto_plex_debug_json_rt(app_log_rt_fn app_log_rt);

/* ---- pmem ---- */

/* One pool (index = pool id, 0..26). */
typedef struct pmem_pool_snapshot {
    const char *name; /* "pmem_pool_<size>", also before pmem_init; constant */
    uint32_t size;    /* largest request served, as pmem_pool_sizes */
    uint64_t alloc_count;
    uint64_t free_count;
    uint64_t fail_count;
    uint64_t live_count;      /* alloc_count - free_count */
    uint64_t peak_live_count; /* most live allocations at once */
    uint64_t injected_count;  /* failures of fail_count made by fault injection */
} pmem_pool_snapshot;

/* One module (index = module id, 0..128).  Bytes are usable sizes, as in
 * module_statis. */
typedef struct pmem_module_snapshot {
    const char *name; /* pmem_module_names[mid]; constant */
    uint64_t alloc_size;
    uint64_t free_size;
    uint64_t live_bytes;      /* alloc_size - free_size */
    uint64_t peak_live_bytes; /* most bytes held at once */
    uint64_t alloc_count[PMEM_POOL_ID_N];
    uint64_t free_count[PMEM_POOL_ID_N];
    uint64_t fail_count[PMEM_POOL_ID_N];
    uint64_t injected_count;    /* failures of fail_count made by fault injection */
    uint64_t limit;             /* byte ceiling (pmem_set_module_mem_limit); 0 = none */
    uint64_t over_limit_failed; /* requests refused by the ceiling (also in fail_count) */
} pmem_module_snapshot;

/* All 27 pools; returns 27. */
AP_API size_t pmem_take_pool_snapshot(pmem_pool_snapshot *out, size_t capacity);
/* All 129 modules; returns 129. */
AP_API size_t pmem_take_module_snapshot(pmem_module_snapshot *out, size_t capacity);
/* {"version","report":"pmem","time","ppid","pid","inited","mallinfo2",
 *  "pools":[...],"modules":[...],"summary"}: see docs/REPORTS.md. */
AP_API int pmem_statis_debug_json(const char *path);
AP_API int pmem_statis_debug_json_rt(app_log_rt_fn app_log_rt);

/* ---- module accounting ---- */

/* One registered module (index = module id). */
typedef struct mem_statis_snapshot {
    const char *module_name; /* the registry's copy: lives as long as the process */
    int64_t mem_alloced;
    int64_t peak_mem_alloced; /* most bytes held at once */
    uint64_t limit;
    uint64_t over_limit_failed;
    uint64_t injected_count; /* allocation calls failed by fault injection */
} mem_statis_snapshot;

/* Every registered module, in id order. */
AP_API size_t mem_statis_take_snapshot(mem_statis_snapshot *out, size_t capacity);
/* {"version","report":"mem_statis","time","ppid","pid","mallinfo2",
 *  "modules":[...],"summary"}: see docs/REPORTS.md. */
AP_API int mem_statis_debug_json(const char *path);
AP_API int mem_statis_debug_json_rt(app_log_rt_fn app_log_rt);

AP_END_DECLS

#endif
