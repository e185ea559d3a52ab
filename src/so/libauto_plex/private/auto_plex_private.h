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
//     holds the plex's peak and its block directory.  module_name still
//     points at a plain string; it belongs to the plex, so a host must not
//     replace it.
//
// The directory lists the live blocks by address in parallel arrays (the
// slot areas' bounds, which a release searches, and the records), with one
// bit per block for "has a free slot", and, for a plex whose blocks are all
// at least a granule long, a hash map from each granule the blocks touch to
// the last block starting at or before the granule's end.  Hashed, not
// dense: the system allocator may place blocks both in the heap and in
// mappings far above it.
// using_tree holds the same blocks for the hosts and the reports; the pool
// itself only touches it when a block comes or goes.
#ifndef LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H
#define LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H

#include <stddef.h>
#include <stdint.h>

#include "auto_plex.h"
#include "private/plex_block.h"

struct plex_block_record {
    auto_plex_block pub;
};

constexpr unsigned kPlexGranuleShift = 17;  // unbounded plexes' blocks are at least this long

struct plex_directory {
    uint32_t count;           // live blocks
    uint32_t capacity;        // entries the arrays have room for (0: none allocated)
    uint32_t first;           // index of first_free_block, or count when none has room
    uint32_t map_mask;        // map slots - 1 (0: no map; search instead)
    uintptr_t *start;         // slot-area start of each block, ascending
    uintptr_t *end;           // one past its last slot
    auto_plex_block **block;  // the block at the same index
    uint64_t *room;           // bit i: block i has a free slot; none past count
    uint32_t map_capacity;    // slots allocated for the map
    uintptr_t *map_key;       // granule number, 0 for an empty slot
    uint32_t *map_block;      // for map_key[s]: last block starting by its end
};
struct auto_plex_ext {
    uint64_t peak_using_num;  // highest using_num since auto_plex_init
    plex_directory dir;
    // the NUL-terminated name follows; the size keeps it 16-byte aligned
};
static_assert(sizeof(auto_plex_ext) % 16 == 0);

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

// The blocks that own memory, and how many of them have no free slot, read
// from the directory without touching block memory (a report over many
// plexes would otherwise fault in one page per block); 0 and 0 for a plex
// that is not initialised.
struct plex_block_counts {
    uint64_t blocks, full;
};
inline plex_block_counts plex_block_counts_internal(const auto_plex *me) {
    if (!me->module_name) return {0, 0};
    const plex_directory &d = plex_ext_of(me)->dir;
    uint64_t with_room = 0;
    for (uint32_t w = 0; w < (d.count + 63) / 64; w++)
        with_room += static_cast<uint64_t>(__builtin_popcountll(d.room[w]));
    return {d.count, d.count - with_room};
}

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

// pmem's large areas come from the system allocator directly, but count with
// the pools' blocks for the release policy: their allocation is taken up, and
// their release (which frees `mem`) may be what calls for a trim.
void auto_plex_taken_up_internal(size_t bytes);
void auto_plex_released_internal(void *mem, size_t bytes);

// Bytes the pools and pmem's large areas hold, and bytes released since the
// last trim that may still be resident (they count against the slack).
struct plex_release_state {
    size_t held, dirty;
};
plex_release_state auto_plex_release_state_internal();

// The live block whose slot area holds `ptr`, or null: the pool's own lookup.
auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr);

// Stops a release that no block of `me` holds with auto_plex_free's own
// assertion line, for pmem's releases too: a host greps for one line,
// whichever interface the pointer came back through.
[[noreturn, gnu::cold, gnu::noinline]] void auto_plex_free_refused_internal(const auto_plex *me);

// ---- the hot paths ---------------------------------------------------------
//
// The bodies of auto_plex_alloc and auto_plex_free, inline so that pmem's
// pools pay no more than a call of the pool's own.  They leave the checks
// of the caller's arguments to their callers.  A release must find the
// block holding its pointer, and an allocation whose block fills up must
// find the next lowest block with room: both are answered from the
// directory, a map or binary search over compact arrays and a scan of room
// bits, so that neither touches the records of other blocks.

constexpr uint32_t kPlexNoBlock = UINT32_MAX;

inline uint32_t plex_room_words(uint32_t n) {
    return (n + 63) / 64;
}

// The index of the block whose slot area holds `p`, or kPlexNoBlock.  Blocks
// never overlap, so the only candidate is the one with the highest start at
// or below `p`; its end (one past the last slot, which belongs to no block)
// decides.
inline uint32_t plex_map_slot(uintptr_t granule, uint32_t mask) {
    return static_cast<uint32_t>((granule * 0x9e3779b97f4a7c15ull) >> 32) & mask;
}

inline uint32_t plex_dir_find(const plex_directory &d, uintptr_t p) {
    uint32_t i;
    if (d.map_mask) {
        const uintptr_t g = p >> kPlexGranuleShift;
        uint32_t s = plex_map_slot(g, d.map_mask);
        while (d.map_key[s] != g) {
            if (d.map_key[s] == 0) return kPlexNoBlock;  // no block touches the granule
            s = (s + 1) & d.map_mask;
        }
        i = d.map_block[s];
        i -= d.start[i] > p && i > 0;  // branch-free: a release hits either side at random
    } else {
        if (d.count == 0) return kPlexNoBlock;
        const uintptr_t *base = d.start;
        for (uint32_t n = d.count; n > 1; n -= n / 2)
            base = base[n / 2] <= p ? base + n / 2 : base;
        i = static_cast<uint32_t>(base - d.start);
    }
    return d.start[i] <= p && p < d.end[i] ? i : kPlexNoBlock;
}

// The lowest block with room at or above index i, or d.count.
inline uint32_t plex_room_from(const plex_directory &d, uint32_t i) {
    const uint32_t words = plex_room_words(d.count);
    for (uint32_t w = i / 64; w < words; w++) {
        uint64_t bits = d.room[w];
        if (w == i / 64) bits &= ~uint64_t{0} << (i % 64);
        if (bits) return w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
    }
    return d.count;
}

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
        d->room[i / 64] &= ~(uint64_t{1} << (i % 64));
        plex_set_first(me, d, plex_room_from(*d, i));
    }
    return ret;
}

// Requires an initialised plex with a block and a non-null `ptr`; false when
// no block of the plex holds `ptr` (nothing changes then).
inline bool plex_pool_free(auto_plex *me, void *ptr) {
    plex_directory *d = &plex_ext_of(me)->dir;
    const uint32_t i = plex_dir_find(*d, reinterpret_cast<uintptr_t>(ptr));
    if (i == kPlexNoBlock) [[unlikely]]
        return false;
    // The head is found from the directory, so its load and the record's
    // overlap.
    auto *h = reinterpret_cast<plex_block_head *>(d->start[i] - PLEX_BLOCK_HEAD_SIZE);
    const bool was_full = h->using_num >= h->alloc_num;
    const uint64_t left = plex_free_internal(&d->block[i]->ctl, h, ptr);
    if (was_full) {
        d->room[i / 64] |= uint64_t{1} << (i % 64);
        if (i < d->first) plex_set_first(me, d, i);
    }
    me->using_num--;
    if (left == 0) auto_plex_emptied_internal(me, d, i);
    return true;
}

#endif
