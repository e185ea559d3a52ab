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
// per block for "has a free slot".  A directory asked to hash (the pool's
// blocks are all at least a granule long) adds a map from each granule the
// blocks touch to the last block starting at or before the granule's end.
// Hashed, not dense: the system allocator may place blocks both in the heap
// and in mappings far above it.
//
// The pool keeps the directory and using_tree in step (auto_plex.cpp adds and
// removes a block in both at once); nothing here knows about the tree.
#ifndef LIBAUTO_PLEX_PRIVATE_PLEX_DIR_H
#define LIBAUTO_PLEX_PRIVATE_PLEX_DIR_H

#include <stddef.h>
#include <stdint.h>

struct auto_plex_block;

// A hashing directory's blocks must be at least this long, so that at most
// one block starts within any granule-long window (auto_plex.cpp ties it to
// the block size).
constexpr unsigned kPlexGranuleShift = 17;
constexpr uint32_t kPlexNoBlock = UINT32_MAX;

struct plex_directory {
    uint32_t count;           // live blocks
    uint32_t capacity;        // entries the arrays have room for (0: none allocated)
    uint32_t first;           // lowest block with room, or count when none has
    uint32_t map_mask;        // map slots - 1 (0: no map; search instead)
    uintptr_t *start;         // slot-area start of each block, ascending
    uintptr_t *end;           // one past its last slot
    auto_plex_block **block;  // the block at the same index
    uint64_t *room;           // bit i: block i has a free slot; none past count
    uint32_t map_capacity;    // slots allocated for the map
    uintptr_t *map_key;       // granule number, 0 for an empty slot
    uint32_t *map_block;      // for map_key[s]: last block starting by its end
};

inline uint32_t plex_dir_room_words(uint32_t n) {
    return (n + 63) / 64;
}

inline uint32_t plex_dir_map_slot(uintptr_t granule, uint32_t mask) {
    return static_cast<uint32_t>((granule * 0x9e3779b97f4a7c15ull) >> 32) & mask;
}

// The index of the block whose slot area holds `p`, or kPlexNoBlock.  Blocks
// never overlap, so the only candidate is the one with the highest start at
// or below `p`; its end (one past the last slot, which belongs to no block)
// decides.
inline uint32_t plex_dir_find(const plex_directory &d, uintptr_t p) {
    uint32_t i;
    if (d.map_mask) {
        const uintptr_t g = p >> kPlexGranuleShift;
        uint32_t s = plex_dir_map_slot(g, d.map_mask);
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
// leaves nothing to undo; false when memory runs out.
bool plex_dir_reserve(plex_directory *d);
// Lists `block` (its memory set, every slot free) with room, after a
// successful plex_dir_reserve; returns its index.  Requires that no listed
// block has room: a pool grows only with every slot out.  `hashed`: the
// pool's blocks are all at least a granule long.
uint32_t plex_dir_insert(plex_directory *d, auto_plex_block *block, bool hashed);
// Unlists block i, which has room (so first <= i).
void plex_dir_erase(plex_directory *d, uint32_t i, bool hashed);
// Releases the arrays; the directory is empty afterwards.
void plex_dir_release(plex_directory *d);

#endif
