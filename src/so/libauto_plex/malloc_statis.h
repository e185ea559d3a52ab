/* mem_statis: per-module byte accounting over the system allocator.
 *
 * A module registers a name once and passes the id it gets as the last
 * argument of every accounted call.  The library keeps, per module, the bytes
 * the module holds (sum of malloc_usable_size of its accounted blocks) and an
 * optional ceiling; allocations that would take the module past its ceiling
 * are refused and counted.  Blocks carry no header: a release needs only the
 * pointer and the module id, so every pointer given here must be a block of
 * the system allocator (or null).
 *
 * Ids are dense, never reused and never unregistered; the table lives until
 * the process ends.  Every call is safe from any thread; a module's ceiling
 * test and its account's growth are one step, so racing threads cannot pass
 * a ceiling together.
 *
 * Contract violations stop the process with an assertion line naming the
 * function: an id outside 0..registered-1 ("module_id < s_statis_id", or
 * "module_id >= 0" for a negative id), and a decrease that would take a
 * module below zero bytes ("s_statis_array[module_id].mem_alloced >= 0"). */
#ifndef LIBAUTO_PLEX_MALLOC_STATIS_H
#define LIBAUTO_PLEX_MALLOC_STATIS_H

#include <stddef.h>
#include <stdint.h>

#include "ap_api.h"
#include "app_log.h"

AP_BEGIN_DECLS

/* One per registered module, indexed by id. */
typedef struct mem_statis_entry {
    char *module_name;          /* heap copy of the registered name, never released */
    int64_t mem_alloced;        /* bytes held now (usable sizes); never negative */
    uint64_t limit;             /* byte ceiling of accounted allocations; 0 = none */
    uint64_t over_limit_failed; /* allocation calls refused by the ceiling */
} mem_statis_entry;

/* Effects: returns the id already registered under `name` (byte-wise equal),
 * or registers a copy of it under the next id.  Returns -1 for a null name or
 * when memory runs out; registered modules are then unchanged. */
AP_API int reg_module_id(const char *name);

/* Requires: a registered module_id.
 * Effects: sets the module's ceiling (0 removes it) without looking at what
 * the module holds now; refusal counts are kept.  Returns 0. */
AP_API int set_module_mem_limit(size_t limit, int module_id);

/* Requires: a registered module_id.
 * Effects: malloc(size) accounted to the module.  Null when the ceiling would
 * be passed (counted in over_limit_failed, the system allocator is not
 * called) or when the system allocator fails (nothing counted).  The ceiling
 * is tested on the requested size; the account grows by the usable size. */
AP_API void *malloc_with_statis(size_t size, int module_id);

/* As malloc_with_statis for calloc(count, size).  A count x size that does
 * not fit in size_t is over any ceiling, and without a ceiling gives null
 * without calling the system allocator. */
AP_API void *calloc_with_statis(size_t count, size_t size, int module_id);

/* Requires: a registered module_id; ptr null or a block accounted to it.
 * Effects: realloc(ptr, size), moving the account from the old usable size
 * to the new one.  Refused by the ceiling or failed: null, and ptr stays
 * valid, unchanged and accounted.  With ptr non-null and size 0 the block is
 * released as by free_with_statis (never refused) and null is returned. */
AP_API void *realloc_with_statis(void *ptr, size_t size, int module_id);

/* Requires: a registered module_id; ptr null or a block accounted to it.
 * Effects: takes the block's usable size out of the account, then frees it.
 * A null ptr does nothing. */
AP_API void free_with_statis(void *ptr, int module_id);

/* Requires: a registered module_id; ptr null or a live system-allocator
 * block.  Effects: adds its usable size to the account without a ceiling
 * test; the block is not touched.  A null ptr does nothing. */
AP_API void inc_mem_statis(void *ptr, int module_id);

/* Requires: a registered module_id; ptr null or a block accounted to it.
 * Effects: takes its usable size out of the account; the block is not
 * released.  A null ptr does nothing. */
AP_API void dec_mem_statis(void *ptr, int module_id);

/* Effects: replaces the contents of the file at `path` with the modules that
 * hold more than 1 MiB or had allocations refused, and the total held by all
 * modules.  A null path or a file that cannot be opened does nothing. */
AP_API void mem_statis_debug(const char *path);

/* Effects: sends the system allocator's statistics, every module and the
 * total through `app_log_rt`, one call per line, under the routine name
 * "mem_statis_debug_rt".  A null function does nothing. */
AP_API void mem_statis_debug_rt(app_log_rt_fn app_log_rt);

AP_END_DECLS

#endif
