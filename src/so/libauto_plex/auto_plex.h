/* auto_plex: a pool of equal-sized objects that grows by large blocks, hands
 * out the lowest-addressed free slot, and gives whole blocks back to the
 * system allocator when enough of the pool is idle.
 *
 * The control block belongs to the caller (a field of its own structure or a
 * static); the name copy, block records and block memory belong to the plex
 * until auto_plex_clear.  Every initialised plex is linked into the
 * process-wide plex_registry, newest first, which the reports walk.
 *
 * Every call is safe from any thread: each plex has its own lock (none is
 * taken while the process has one thread).  A plex must not be used while
 * another thread inits or clears it. */
#ifndef LIBAUTO_PLEX_AUTO_PLEX_H
#define LIBAUTO_PLEX_AUTO_PLEX_H

#include <stdint.h>

#include "ap_api.h"
#include "app_log.h"
#include "avl_tree.h"
#include "plex_internal.h"

AP_BEGIN_DECLS

/* Two-pointer intrusive list link; an empty list's head points to itself and
 * insertion is at the head. */
typedef struct auto_plex_link {
    struct auto_plex_link *next;
    struct auto_plex_link *prev;
} auto_plex_link;

/* One per block.  Exactly one of these holds: the record is in using_tree
 * (ctl.head owns memory, idle_link both null) or on idle_blocks (ctl.head
 * null).  Records are recycled, not released, when their memory goes back. */
typedef struct auto_plex_block {
    plex ctl;
    avl_node tree_node;
    auto_plex_link idle_link;
} auto_plex_block;

/* Control block.  Invariants between calls:
 *   alloc_num == sum of the block sizes in using_tree, using_num == sum of
 *   their live slots; first_free_block is null or the lowest-addressed block
 *   with a free slot; with max_num != 0, alloc_num <= max_num. */
typedef struct auto_plex {
    uint64_t item_size;                /* object size asked for at init, > 0 */
    uint64_t step_alloc_num;           /* most slots a new block gets; multiple of 256 */
    uint64_t max_num;                  /* most objects out at once; 0 = unbounded */
    uint64_t alloc_num;                /* slots in all blocks that own memory */
    uint64_t using_num;                /* slots handed out now */
    uint64_t block_num;                /* block records made at init (1 to 16) */
    char *module_name;                 /* heap copy of the init name */
    auto_plex_link plex_link;          /* place in plex_registry */
    auto_plex_block *first_free_block; /* where the next allocation comes from */
    auto_plex_link idle_blocks;        /* records that own no memory */
    avl_node *using_tree;              /* records with memory, by address */
    uint64_t count_expand;             /* blocks created so far */
    uint64_t count_clear;              /* blocks released so far */
    uint64_t expand_failed;            /* failed attempts to get block memory or a record */
    uint64_t alloc_failed;             /* auto_plex_alloc calls that returned null */
} auto_plex;

/* Every initialised plex, linked through plex_link, newest at next.  A host
 * that walks it itself must not race an init or clear on another thread;
 * the snapshots of ap_stats.h walk it under the library's lock. */
AP_API extern auto_plex_link plex_registry;

/* Initialises `me` (previous contents ignored) for objects of item_size bytes,
 * at most max_num of them at once (0: unbounded), named module_name (copied),
 * and registers it.  Returns 0, or -12 when memory runs out or the sizes are
 * more than a block can describe; `me` is then zero-filled and unregistered.
 * Requires: me, item_size > 0, module_name; `me` not currently initialised. */
AP_API int auto_plex_init(auto_plex *me, uint64_t item_size, uint64_t max_num,
                          const char *module_name);

/* Releases all memory and records of `me` and unregisters it; `me` ends
 * zero-filled with an empty idle_blocks.  Safe on a zero-filled or already
 * cleared control block. */
AP_API void auto_plex_clear(auto_plex *me);

/* A slot of at least item_size bytes (not cleared) from the lowest-addressed
 * block with room, or null when a bounded plex is full or memory runs out. */
AP_API void *auto_plex_alloc(auto_plex *me);

/* Gives back a slot obtained from auto_plex_alloc on the same plex.  A slot
 * freed twice is not detected. */
AP_API void auto_plex_free(auto_plex *me, void *ptr);

/* What a pool does with a block's memory when it gives the block back. */
#define AUTO_PLEX_RELEASE_PAGES 0
#define AUTO_PLEX_RELEASE_TRIM 1
#define AUTO_PLEX_RELEASE_DELAY 2 /* the default */
/* Bytes of released memory that may stay resident before a trim is worth
 * its walk over the heap (and, under AUTO_PLEX_RELEASE_PAGES, before blocks
 * hand their pages back at once). */
#define AUTO_PLEX_RELEASE_SLACK (1u << 20)
/* How long released memory stays idle before it goes back, in milliseconds,
 * unless set otherwise; and the longest delay that may be set. */
#define AUTO_PLEX_RELEASE_DELAY_DEFAULT_MS 1000u
#define AUTO_PLEX_RELEASE_DELAY_MAX_MS 3600000u

/* Chooses, process-wide, how released blocks (and pmem's areas above
 * 8 KiB) go back; returns 0, or -22 for an unknown policy (nothing changes).
 *   AUTO_PLEX_RELEASE_DELAY: a released block stays idle, pages and all, and
 *     a new block of the same size (or, for pmem's areas, up to an eighth
 *     larger) takes it back without a page fault.  What has stayed idle for
 *     the delay (auto_plex_set_release_delay) hands its whole pages to the
 *     kernel and goes to the system allocator.  The clock is read only when
 *     a block or area comes or goes, so a host that stops allocating calls
 *     auto_plex_release_idle to see its resident size fall.  The heap is
 *     trimmed (malloc_trim(0)) at most once per delay, when more than
 *     AUTO_PLEX_RELEASE_SLACK bytes lie free at its top.
 *   AUTO_PLEX_RELEASE_PAGES: the block goes to the system allocator at once;
 *     once AUTO_PLEX_RELEASE_SLACK bytes of released memory have not been
 *     taken up again by new blocks, each further block's whole pages are
 *     first handed to the kernel (madvise).  What else the system allocator
 *     keeps goes back with one malloc_trim(0) whenever more than an eighth of
 *     what the pools hold (and more than the slack) has been released and not
 *     taken up.
 *   AUTO_PLEX_RELEASE_TRIM: malloc_trim(0) after every released block; it
 *     walks the whole heap each time.
 * Choosing another policy than AUTO_PLEX_RELEASE_DELAY gives back every idle
 * block first.  Without a call, the settings text decides (ap_settings.h: key
 * release, or the older variable AUTO_PLEX_RELEASE: "trim", "pages" or
 * "delay"; anything else is named on stderr and the default stays).  The
 * slack is the default of the setting release_slack. */
AP_API int auto_plex_set_release_policy(int policy);

/* Sets the delay of AUTO_PLEX_RELEASE_DELAY in milliseconds (0: memory goes
 * back at the next block that comes or goes); returns 0, or -22 above
 * AUTO_PLEX_RELEASE_DELAY_MAX_MS.  Without a call, the settings text decides
 * (key release_delay_ms, or the older variable AUTO_PLEX_RELEASE_DELAY). */
AP_API int auto_plex_set_release_delay(uint32_t ms);

/* Gives back every idle block and area now, whatever its age, then trims the
 * heap if anything went to the system allocator since the last trim; returns
 * the bytes given back.  For a host that goes quiet. */
AP_API size_t auto_plex_release_idle(void);

/* Appends a table of every registered plex (newest first) with the memory
 * totals to the file at `path` (mode "a+").  Null path or an unopenable file:
 * nothing is written. */
AP_API void auto_plex_debug(const char *path);

/* Sends the same snapshot, plus every block of every plex in address order,
 * line by line through app_log_rt.  Null function: nothing is sent. */
AP_API void auto_plex_debug_rt(app_log_rt_fn app_log_rt);

AP_END_DECLS

#endif
