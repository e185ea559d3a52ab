// What auto_plex keeps beyond its public records, and the one set of
// accessors to reach it (private header; the reports, the preload and the
// tests read the pool through it).
//
// The control block belongs to the caller and its layout is fixed, but the
// pool allocates two things itself, and each carries private fields past the
// public part:
//
//   - every block record is a plex_block_record: the public auto_plex_block
//     first (C hosts walk using_tree by offsetof(auto_plex_block, tree_node));
//   - the name copy behind module_name is the tail of an auto_plex_ext, which
//     holds the plex's lock, its peak and its block directory
//     (private/plex_dir.h).  module_name still points at a plain string; it
//     belongs to the plex, so a host must not replace it.
//
// The plex's lock guards the control block, the extension and the blocks;
// whoever reads or changes them holds it (the hot paths below leave that to
// their callers).  using_tree holds the same blocks as the directory, for the
// hosts and the reports; the pool itself only touches it when a block comes
// or goes.
#ifndef LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H
#define LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H

#include <stddef.h>
#include <stdint.h>

#include "auto_plex.h"
#include "platform/ap_lock.h"
#include "private/plex_block.h"
#include "private/plex_dir.h"

struct plex_block_record {
    auto_plex_block pub;
};

struct alignas(64) auto_plex_ext {
    ap_lock lock;             // first, on the extension's own cache line
    uint64_t peak_using_num;  // highest using_num since auto_plex_init
    uint64_t alloc_injected;  // of alloc_failed, the failures made by fault injection
    plex_directory dir;
    void *allocation;  // what the system allocator returned: the extension is aligned inside it
    // the NUL-terminated name follows
};
static_assert(sizeof(auto_plex_ext) % 64 == 0);

inline char *plex_ext_name(auto_plex_ext *ext) {
    return reinterpret_cast<char *>(ext + 1);
}

// Requires an initialised plex (module_name set by auto_plex_init).
inline auto_plex_ext *plex_ext_of(const auto_plex *me) {
    return reinterpret_cast<auto_plex_ext *>(me->module_name) - 1;
}

// 0 for a plex that is not initialised.
inline uint64_t plex_peak_internal(const auto_plex *me) {
    return me->module_name ? plex_ext_of(me)->peak_using_num : 0;
}

// Requires an initialised plex.
inline ap_lock *plex_lock_of(const auto_plex *me) {
    return &plex_ext_of(me)->lock;
}

// Holds an initialised plex's lock for a scope; a plex that is not
// initialised (a cleared one) has none, and its calls fail their checks.
class plex_guard : public ap_guard {
  public:
    explicit plex_guard(const auto_plex *me, bool threaded = ap_threaded())
        : ap_guard(threaded && me->module_name ? plex_lock_of(me) : nullptr, kRankPlex, threaded) {}
};

// The blocks that own memory, and how many of them have no free slot, read
// from the directory without touching block memory (a report over many
// plexes would otherwise fault in one page per block); 0 and 0 for a plex
// that is not initialised.
inline plex_block_counts plex_block_counts_internal(const auto_plex *me) {
    if (!me->module_name) return {0, 0};
    return plex_dir_block_counts(plex_ext_of(me)->dir);
}

// Every initialised plex is on plex_registry, which this lock guards.
ap_lock *plex_registry_lock_internal();

inline auto_plex_block *plex_block_of_node(const avl_node *node) {
    return reinterpret_cast<auto_plex_block *>(
        reinterpret_cast<char *>(const_cast<avl_node *>(node)) -
        offsetof(auto_plex_block, tree_node));
}

inline auto_plex_block *plex_block_of_idle(const auto_plex_link *link) {
    return reinterpret_cast<auto_plex_block *>(
        reinterpret_cast<char *>(const_cast<auto_plex_link *>(link)) -
        offsetof(auto_plex_block, idle_link));
}

inline plex_block_record *plex_record_of(const auto_plex_block *block) {
    return reinterpret_cast<plex_block_record *>(const_cast<auto_plex_block *>(block));
}

inline auto_plex *plex_of_registry_link(const auto_plex_link *link) {
    return reinterpret_cast<auto_plex *>(
        reinterpret_cast<char *>(const_cast<auto_plex_link *>(link)) -
        offsetof(auto_plex, plex_link));
}

// ---- released memory (plex_release.cpp) --------------------------------------
//
// Blocks and pmem's large areas come from here and go back here, so that one
// policy decides what their release costs.  Each call takes the release lock
// itself: callers may hold a plex's lock or pmem's large-area lock, never a
// lock ranked after it.

// Registers the lock's fork handlers; every auto_plex_init calls it.
void plex_release_setup_internal();
// The policy, delay and slack in force (the settings text lists them); the
// slack is the bytes of released memory that may stay resident before a trim
// or, under AUTO_PLEX_RELEASE_PAGES, before blocks hand their pages back.
int plex_release_policy_internal();
uint32_t plex_release_delay_internal();
size_t plex_release_slack_internal();
void plex_release_set_slack_internal(size_t bytes);
// Memory for a block (`most` == `bytes`) or large area (`most` above it) of
// `bytes`: an idle area of exactly that size, else the smallest idle one up
// to `most` bytes, else the system allocator's; its first `bytes` zero-filled when `zeroed`.  The
// caller reports what it keeps (auto_plex_taken_up_internal).
void *plex_release_obtain_internal(size_t bytes, size_t most, bool zeroed = false);
void auto_plex_taken_up_internal(size_t bytes);
// A pool's block of `bytes` at `mem`, no longer the pool's.
void plex_release_block_internal(void *mem, size_t bytes);
// pmem's large area of `bytes` (its usable size with the header) at `mem`.
void auto_plex_released_internal(void *mem, size_t bytes);
// Blocks a cleared plex freed itself: no longer held.
void plex_release_cleared_internal(size_t bytes);
// Gives back what has been idle for the delay; cheap when nothing is idle.
void plex_release_tick_internal();

// Bytes the pools and pmem's large areas hold; bytes released to the system
// allocator that may still be resident (they count against the slack); and
// the idle areas kept for reuse, in bytes and in number; whether memory went
// to the system allocator since the heap was last looked at, and when that was.
struct plex_release_state {
    size_t held, dirty, idle, idle_count;
    bool trim_wanted;
    uint64_t last_trim_check;
};
plex_release_state auto_plex_release_state_internal();
// The i-th oldest idle area (i below idle_count).
struct plex_idle_view {
    void *mem;
    size_t bytes;
    uint64_t since;
};
plex_idle_view plex_release_idle_at_internal(uint32_t i);

// The live block whose slot area holds `ptr`, or null: the pool's own lookup.
// The caller holds the plex's lock.
auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr);

// Stops a release that no block of `me` holds with auto_plex_free's own
// assertion line, for pmem's releases too: a host greps for one line,
// whichever interface the pointer came back through.
[[noreturn, gnu::cold, gnu::noinline]] void auto_plex_free_refused_internal(const auto_plex *me);

// ---- the hot paths ---------------------------------------------------------
//
// The bodies of auto_plex_alloc and auto_plex_free, inline so that pmem's
// pools pay no more than a call of the pool's own.  They leave the checks
// of the caller's arguments, and the plex's lock, to their callers.

inline void plex_set_first(auto_plex *me, plex_directory *d, uint32_t i) {
    d->first = i;
    me->first_free_block = i < d->count ? d->block[i] : nullptr;
}

// Out of line: growth (null when the plex may not or cannot grow, counted),
// and the release policy once block i has become empty.
auto_plex_block *auto_plex_grow_internal(auto_plex *me);
void auto_plex_emptied_internal(auto_plex *me, plex_directory *dir, uint32_t i);

// Requires an initialised plex.
inline void *plex_pool_alloc(auto_plex *me) {
    auto_plex_block *block = me->first_free_block;
    if (!block) [[unlikely]] {
        block = auto_plex_grow_internal(me);
        if (!block) return nullptr;
    }
    void *ret = plex_alloc_internal(&block->ctl);
    if (!ret) [[unlikely]]  // a block listed with room that has none
        ap_check_fail_internal("ret", __FILE__, __LINE__, "auto_plex_alloc");
    auto_plex_ext *ext = plex_ext_of(me);
    const uint64_t using_num = ++me->using_num;
    if (using_num > ext->peak_using_num) ext->peak_using_num = using_num;
    if (plex_is_full(&block->ctl)) {
        plex_directory *d = &ext->dir;
        const uint32_t i = d->first;
        plex_dir_set_full(d, i);
        plex_set_first(me, d, plex_dir_first_with_room(*d, i));
    }
    return ret;
}

// Requires an initialised plex with a block and a non-null `ptr`; false when
// no block of the plex holds `ptr` (nothing changes then).  `hint`: a block
// index from granule_map_hint, taken before the lock, or kPlexNoBlock; the
// directory confirms it or the lookup runs again.
inline bool plex_pool_free(auto_plex *me, void *ptr, uint32_t hint = kPlexNoBlock) {
    plex_directory *d = &plex_ext_of(me)->dir;
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    uint32_t i = hint;
    if (!plex_dir_holds(*d, i, p)) [[unlikely]]
        i = plex_dir_find(*d, p);
    if (i == kPlexNoBlock) [[unlikely]]
        return false;
    // The head is found from the directory, so its load and the record's
    // overlap.
    auto *h = reinterpret_cast<plex_block_head *>(d->start[i] - PLEX_BLOCK_HEAD_SIZE);
    const bool was_full = h->using_num >= h->alloc_num;
    const uint64_t left = plex_free_internal(&d->block[i]->ctl, h, ptr);
    if (was_full) {
        plex_dir_set_room(d, i);
        if (i < d->first) plex_set_first(me, d, i);
    }
    me->using_num--;
    if (left == 0) auto_plex_emptied_internal(me, d, i);
    return true;
}

#endif
