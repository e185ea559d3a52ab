// The block directory of a pool (private header): its live blocks by
// address, for the two questions the hot paths ask.
//
// A release must find the block holding its pointer, and an allocation whose
// block fills up must find the next lowest block with room.  Both are answered
// here instead of from using_tree: a binary search (or a hash probe) over one
// compact array of start addresses instead of a descent through separately
// allocated records, and a scan of room bits instead of tree surgery each time
// a block flips between full and not full, which under churn is almost every
// step.  Neither touches the records or the memory of other blocks.
//
// Parallel arrays hold the slot areas' bounds and the records, with one bit
// per block for "has a free slot".  A directory whose blocks are all at least
// a granule long lists them in the process-wide granule map as well
// (private/granule_map.h), which finds a block from the pointer alone; the
// arrays then only confirm what the map says.
//
// The pool keeps the directory and using_tree in step (auto_plex.cpp adds and
// removes a block in both at once); nothing here knows about the tree.
#ifndef LIBAUTO_PLEX_PRIVATE_PLEX_DIR_H
#define LIBAUTO_PLEX_PRIVATE_PLEX_DIR_H

#include <stddef.h>
#include <stdint.h>

#include "private/granule_map.h"

struct auto_plex_block;

struct plex_directory {
    uint32_t count;           // live blocks
    uint32_t capacity;        // entries the arrays have room for (0: none allocated)
    uint32_t first;           // lowest block with room, or count when none has
    uint32_t mapped;          // 1: the blocks are in the granule map (0: search instead)
    uintptr_t *start;         // slot-area start of each block, ascending
    uintptr_t *end;           // one past its last slot
    auto_plex_block **block;  // the block at the same index
    uint64_t *room;           // bit i: block i has a free slot; none past count
};

inline uint32_t plex_dir_room_words(uint32_t n) {
    return (n + 63) / 64;
}

// Up to this many blocks the search costs fewer instructions than the map's
// probe, and the arrays it reads are the ones the check reads anyway.
constexpr uint32_t kPlexDirSearchMax = 4;

// Whether block i (any value) is listed and its slot area holds `p`.
inline bool plex_dir_holds(const plex_directory &d, uint32_t i, uintptr_t p) {
    return i < d.count && d.start[i] <= p && p < d.end[i];
}

// The index of the block whose slot area holds `p`, or kPlexNoBlock.  Blocks
// never overlap, so the only candidate is the one with the highest start at
// or below `p`, or the one the granule map names; its bounds decide.
inline uint32_t plex_dir_find(const plex_directory &d, uintptr_t p) {
    uint32_t i;
    if (d.mapped && d.count > kPlexDirSearchMax) {
        i = granule_map_hint(reinterpret_cast<const void *>(p));
    } else {
        if (d.count == 0) return kPlexNoBlock;
        const uintptr_t *base = d.start;
        for (uint32_t n = d.count; n > 1; n -= n / 2)
            base = base[n / 2] <= p ? base + n / 2 : base;
        i = static_cast<uint32_t>(base - d.start);
    }
    return plex_dir_holds(d, i, p) ? i : kPlexNoBlock;
}

// The lowest block with room at or above index i, or d.count.
inline uint32_t plex_dir_first_with_room(const plex_directory &d, uint32_t i) {
    const uint32_t words = plex_dir_room_words(d.count);
    for (uint32_t w = i / 64; w < words; w++) {
        uint64_t bits = d.room[w];
        if (w == i / 64) bits &= ~uint64_t{0} << (i % 64);
        if (bits) return w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits));
    }
    return d.count;
}

inline void plex_dir_set_full(plex_directory *d, uint32_t i) {
    d->room[i / 64] &= ~(uint64_t{1} << (i % 64));
}

inline void plex_dir_set_room(plex_directory *d, uint32_t i) {
    d->room[i / 64] |= uint64_t{1} << (i % 64);
}

// Live blocks, and how many of them have no free slot.
struct plex_block_counts {
    uint64_t blocks, full;
};
inline plex_block_counts plex_dir_block_counts(const plex_directory &d) {
    uint64_t with_room = 0;
    for (uint32_t w = 0; w < plex_dir_room_words(d.count); w++)
        with_room += static_cast<uint64_t>(__builtin_popcountll(d.room[w]));
    return {d.count, d.count - with_room};
}

// Room for one more block, taken before the block memory so that a failure
// leaves nothing to undo; false when memory runs out.  A mapped block's
// leaves are taken after its memory (granule_map_reserve).
bool plex_dir_reserve(plex_directory *d);
// Lists `block` (its memory set, every slot free) with room, after a
// successful plex_dir_reserve; returns its index.  Requires that no listed
// block has room: a pool grows only with every slot out.  `mapped`: the
// pool's blocks are all at least a granule long, and this one's leaves are
// reserved.
uint32_t plex_dir_insert(plex_directory *d, auto_plex_block *block, bool mapped);
// Unlists block i, which has room (so first <= i), before its memory goes.
void plex_dir_erase(plex_directory *d, uint32_t i);
// Unlists every block from the granule map and releases the arrays, before
// the blocks' memory goes; the directory is empty afterwards.
void plex_dir_release(plex_directory *d);

#endif
