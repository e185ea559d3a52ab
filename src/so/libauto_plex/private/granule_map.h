// The granule map (private header): for every 128 KiB granule of the address
// space that a block of an unbounded pool touches, which block that is, read
// from the pointer alone.
//
// A release otherwise learns its block only after a chain of dependent
// loads: pmem's header names the pool, the pool's directory names the block,
// and only then do the block's record and head load.  The map is one
// process-wide table, so its probe needs nothing but the pointer: it can run
// while the header is still on its way, and the record and head it names are
// prefetched from it.
//
// Why per granule two sides, and no more: an unbounded pool's blocks are at
// least a granule long, so at most one of them covers a granule's first byte
// (side 0) and at most one starts inside it (side 1, from `split` on).
// Bounded pools may have shorter blocks; they keep to their directory's
// search and never appear here.
//
// Each side belongs to the pool owning its block and is written only under
// that pool's lock; two pools may share a granule, one side each.  A reader
// may therefore meet the other side in change, so every field is read and
// written as a relaxed atomic, and what it reads is a hint: the index must
// name a block of the caller's own directory that holds the pointer (checked
// under the caller's lock, plex_dir.h) before anything is believed.  A side
// is cleared before its block's memory goes back, so a new owner's writes
// follow the old owner's through the system allocator.
//
// The leaves are never released: a reader holding no lock may still be
// looking at one.  Each covers 8 GiB of address space and is taken through the
// platform seam when a pool's growth first lands in its range.
#ifndef LIBAUTO_PLEX_PRIVATE_GRANULE_MAP_H
#define LIBAUTO_PLEX_PRIVATE_GRANULE_MAP_H

#include <stddef.h>
#include <stdint.h>

struct auto_plex_block;
struct plex_block_head;

// The granule: an unbounded pool's blocks are at least this long
// (auto_plex.cpp ties it to the block size).
constexpr unsigned kPlexGranuleShift = 17;
constexpr uint32_t kPlexNoBlock = UINT32_MAX;

// One cache line per granule: a probe is one load of the root, then one line.
struct alignas(64) granule_slot {
    uintptr_t split_not;        // ~ the slot area start of side 1's block; 0: no side 1
    plex_block_head *head[2];   // the block's head: prefetched, never trusted
    auto_plex_block *block[2];  // the block's record: likewise
    uint32_t index[2];          // the block's place in its pool's directory
};

constexpr unsigned kGranuleAddressBits = 48;  // user space on x86-64 and AArch64
constexpr unsigned kGranuleLeafBits = 16;
constexpr unsigned kGranuleRootBits = kGranuleAddressBits - kPlexGranuleShift - kGranuleLeafBits;

extern granule_slot *g_granule_root[size_t{1} << kGranuleRootBits];

template <class T>
inline T granule_load(const T *field) {
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}

// The granule's slot, or null when no pool block ever lay in its leaf's
// range.  An address past the map's range wraps onto some slot: what the slot
// says is checked against the directory anyway.
inline const granule_slot *granule_slot_of(uintptr_t p) {
    constexpr uintptr_t kRootMask = (uintptr_t{1} << kGranuleRootBits) - 1;
    constexpr uintptr_t kLeafMask = (uintptr_t{1} << kGranuleLeafBits) - 1;
    const granule_slot *leaf = __atomic_load_n(
        &g_granule_root[p >> (kPlexGranuleShift + kGranuleLeafBits) & kRootMask], __ATOMIC_ACQUIRE);
    return leaf ? leaf + (p >> kPlexGranuleShift & kLeafMask) : nullptr;
}

inline unsigned granule_side(const granule_slot *s, uintptr_t p) {
    return p >= ~granule_load(&s->split_not);
}

// The directory index of the block that may hold `p` (kPlexNoBlock: none),
// with the loads of that block's record and head started, so that they
// overlap whatever the caller waits for next.  A hint until the caller's
// directory confirms it (plex_dir_holds).
inline uint32_t granule_map_hint(const void *ptr) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    const granule_slot *s = granule_slot_of(p);
    if (!s) return kPlexNoBlock;
    const unsigned side = granule_side(s, p);
    __builtin_prefetch(granule_load(&s->head[side]), 1);
    __builtin_prefetch(granule_load(&s->block[side]), 1);
    return granule_load(&s->index[side]);
}

// Leaves for every granule of [start, end), taken before the block is listed;
// false when memory runs out (what was taken stays, for the next growth) or
// the range lies past the map's address bits.
bool granule_map_reserve(uintptr_t start, uintptr_t end);
// Lists block `index` of a directory, whose leaves are reserved, in every
// granule its slot area [start, end) touches; the same call refreshes the
// index after the directory moved it.
void granule_map_set(uintptr_t start, uintptr_t end, auto_plex_block *block, uint32_t index);
// Unlists the block of [start, end); before its memory goes back.
void granule_map_clear(uintptr_t start, uintptr_t end);
// Leaves taken so far: system blocks the process keeps to its end.
size_t granule_map_leaves_internal();

#endif
