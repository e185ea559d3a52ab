/* pmem: the size-class allocator of the host's modules.
 *
 * Requests up to 8192 bytes come from 26 unbounded auto_plex pools of fixed
 * slot sizes, larger ones (up to 1 GiB) from the system allocator; together
 * that is 27 pools.  Every allocation carries a 16-byte pmem_header in front
 * of the caller's area and is charged to its pool and to the module id the
 * caller passes.  Module ids run from 0 to 128; their names are fixed when the
 * library is built (pmem_modules.def).
 *
 * Until pmem_init has run every allocation function passes the call to the
 * system allocator function of the same kind and counts nothing.  A pointer
 * must be released on the side (pre-init or pmem) that handed it out.
 *
 * The tables below are process-wide, zero until pmem_init (apart from the
 * constant ones) and never reset; C hosts may read them (while other threads
 * allocate, the snapshots of ap_stats.h give figures that agree).  Every
 * call is safe from any thread: each pool has its own lock. */
#ifndef LIBAUTO_PLEX_PMEM_H
#define LIBAUTO_PLEX_PMEM_H

#include <stddef.h>
#include <stdint.h>

#include "ap_api.h"
#include "app_log.h"
#include "auto_plex.h"

AP_BEGIN_DECLS

#define PMEM_POOL_ID_N 27 /* pools 0..25 are plexes, 26 the system allocator */
#define PMEM_MID_N 129    /* module ids 0..128; 0 is "default" */
#define PMEM_MAGIC 0x18b8525f69c925fbULL
#define PMEM_HEADER_SIZE 16      /* the caller's area starts this far in */
#define PMEM_FLAG_FREED 0x01u    /* bit of pmem_header.flags */
#define PMEM_MAX_SIZE (1u << 30) /* largest request served */

/* `mem` is a flexible array member: standard C, an extension in C++ (hence
 * __extension__, so that -pedantic C++ hosts can include this header). */
#ifdef __cplusplus
#define PMEM_ALIGN16 __extension__ alignas(16)
#else
#define PMEM_ALIGN16 _Alignas(16)
#endif

/* In front of every allocation (native byte order).  While the allocation is
 * live: magic == PMEM_MAGIC, the freed bit clear, pool_id <= 26, mid <= 128.
 * Released: freed set and magic no longer PMEM_MAGIC (a plex keeps its
 * free-list link there).  Bytes 13..15 and the other flag bits are never
 * written by pmem. */
typedef struct pmem_header {
    uint64_t magic;
    uint16_t pool_id;
    uint16_t mid;
    uint8_t flags;
    PMEM_ALIGN16 unsigned char mem[]; /* the caller's area, at offset 16 */
} pmem_header;

/* One size class. */
typedef struct pmem_pool {
    uint32_t size;       /* largest request (rounded up to 16) served here */
    uint32_t max_num;    /* bound given to auto_plex_init: always 0 */
    char name[64];       /* "pmem_pool_<size>" */
    auto_plex pool_plex; /* pools 0..25: slots of size + 16; pool 26: all zero */
} pmem_pool;

typedef struct pool_statis {
    const char *name;     /* the pool's name; null before pmem_init */
    uint64_t alloc_count; /* allocations served */
    uint64_t free_count;  /* allocations given back */
    uint64_t fail_count;  /* allocations refused for lack of memory */
} pool_statis;

/* Byte totals count each allocation with its usable size (pmem_ptr2size). */
typedef struct module_statis {
    const char *name; /* pmem_module_names[mid]; null before pmem_init */
    uint64_t alloc_size;
    uint64_t free_size;
    uint64_t alloc_count[PMEM_POOL_ID_N];
    uint64_t free_count[PMEM_POOL_ID_N];
    uint64_t fail_count[PMEM_POOL_ID_N];
} module_statis;

AP_API extern const uint32_t pmem_pool_sizes[PMEM_POOL_ID_N];
AP_API extern pmem_pool pmem_pools[PMEM_POOL_ID_N];
/* Entry o: the lowest pool whose size is at least 2^o (o = 0..30). */
AP_API extern uint16_t order_to_pool[31];
AP_API extern pool_statis pmem_pool_stats[PMEM_POOL_ID_N];
AP_API extern module_statis pmem_module_stats[PMEM_MID_N];
AP_API extern const char *const pmem_module_names[PMEM_MID_N];
AP_API extern int pmem_inited; /* 1 once pmem_init has finished */

/* Effects: builds the pools (each plex registered, in pool order) and the
 * order table, names the counter records, sets pmem_inited; returns 0.
 * Requires: not called before in this process (a second call aborts). */
AP_API int pmem_init(void);

/* Returns an area of at least `size` bytes, 16-byte aligned, charged to
 * `mid`; null when size > 1 GiB (nothing counted) or memory runs out
 * (counted as a failure).  Requires: mid < PMEM_MID_N (after pmem_init). */
AP_API void *pmem_malloc(uint16_t mid, size_t size);
/* As pmem_malloc for count * size bytes, zero-filled; null when the product
 * overflows. */
AP_API void *pmem_calloc(uint16_t mid, size_t count, size_t size);
/* Resizes `ptr` (null: allocates; size 0: releases and returns a zero-size
 * allocation).  Stays in place while the size keeps the same plex-backed pool
 * and `mid` is unchanged; otherwise moves and charges the new area to `mid`.
 * On null `ptr` is untouched.  Requires: ptr null or live from pmem. */
AP_API void *pmem_realloc(uint16_t mid, void *ptr, size_t size);
/* Releases `ptr` (null: nothing).  Aborts when its header is not that of a
 * live pmem allocation, which catches most double releases. */
AP_API void pmem_free(void *ptr);
/* Copies of `s` (null for a null `s`); pmem_strndup reads at most n bytes
 * and always terminates the copy. */
AP_API char *pmem_strdup(uint16_t mid, const char *s);
AP_API char *pmem_strndup(uint16_t mid, const char *s, size_t n);
/* Bytes the caller may use in `ptr`; 0 for null.  Undefined for a pointer
 * that pmem did not hand out after pmem_init: the header is trusted. */
AP_API size_t pmem_ptr2size(const void *ptr);

/* Sets module `mid`'s ceiling to `limit` usable bytes (0 removes it) without
 * looking at what the module holds now; refusal counts are kept.  Returns 0.
 * Callable before pmem_init: the ceiling applies from the first allocation.
 * A request of `size` bytes charged to a module with a ceiling is refused
 * (null) when the module's live bytes, plus the bytes of its requests other
 * threads are being served, plus `size` would pass the ceiling: two threads
 * at the boundary never both pass.  The test is on the requested size; a
 * granted request grows the account by its usable size, as always.  A
 * refusal counts in pmem_module_stats[mid].fail_count of the pool that
 * serves `size` and in the module's over_limit_failed (ap_stats.h), not in
 * the pool's fail_count: the pool did not run short.  pmem_realloc that
 * moves is tested as a new allocation while the old area is still held; one
 * that stays in place is not tested.  Requires: mid < PMEM_MID_N. */
AP_API int pmem_set_module_mem_limit(size_t limit, uint16_t mid);

/* Poisoned releases, off by default (non-zero `on` switches them on).  While
 * on, a slot released to a plex pool (pools 0..25) has its caller's area
 * (the pool's size in bytes after the header) filled with the byte 0xa5, and
 * such a slot is checked when handed out again.  A slot found damaged stops
 * the process (abort) after one line on stderr:
 *     pmem: use after release: <pool> slot <address> released by module
 *     <module> damaged at offset <n>
 * (one line) where <address> is the area the caller had and <n> the first
 * damaged byte from its start.  Switching on fills the slots already free
 * first, so none is checked that was not filled; switching off stops both.
 * Pool 26 is not poisoned: its areas go back to the system allocator, which
 * writes into them and hands them out again itself.  Costs a fill per
 * release and a read per reuse while on.  Callable before pmem_init (takes
 * effect there).  Returns 0. */
AP_API int pmem_set_poison(int on);

/* One live allocation, as pmem_walk_live reports it. */
typedef struct pmem_live_area {
    void *ptr;          /* what pmem_malloc returned */
    size_t usable_size; /* pmem_ptr2size(ptr) */
    uint16_t pool_id;
    uint16_t mid;
} pmem_live_area;

/* Called once per live allocation; a non-zero return ends the walk. */
typedef int (*pmem_live_fn)(const pmem_live_area *area, void *ctx);

/* Visits every live allocation pmem has handed out, or only those charged to
 * module `mid` when mid >= 0: the plex pools block by block in address
 * order, then pool 26.  Exact: slots never handed out and released slots
 * are never visited, whatever their memory holds.  Returns the number of
 * calls made, or -12 when memory for the walk's own bookkeeping runs out
 * (nothing visited then); 0 before pmem_init.  `fn` must not allocate or
 * release through pmem: it runs with the lock of the pool being walked held,
 * and other threads using that pool wait for it.  Requires: fn,
 * mid < PMEM_MID_N. */
AP_API long pmem_walk_live(int mid, pmem_live_fn fn, void *ctx);

/* Appends a report of every pool's and module's counters to the file
 * `path` (nothing for a null path or an unopenable file). */
AP_API void pmem_statis_debug(const char *path);
/* Sends the system allocator's statistics and the same counters through
 * `app_log_rt`, one call per line (nothing for null). */
AP_API void pmem_statis_debug_rt(app_log_rt_fn app_log_rt);

AP_END_DECLS

#endif
