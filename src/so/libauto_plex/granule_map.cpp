// The granule map: its leaves and the writes of its sides
// (private/granule_map.h).  Blocks come and go rarely next to releases, so
// a write walks every granule of its block.
#include "private/granule_map.h"

#include "platform/ap_lock.h"
#include "platform/ap_sys.h"
#include "private/plex_block.h"

granule_slot *g_granule_root[size_t{1} << kGranuleRootBits];

namespace {

size_t s_leaves;

constexpr uintptr_t kLeafMask = (uintptr_t{1} << kGranuleLeafBits) - 1;

template <class T>
void granule_store(T *field, T value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

// Requires the granule's leaf (granule_map_reserve).
granule_slot *slot_at(uintptr_t g) {
    return __atomic_load_n(&g_granule_root[g >> kGranuleLeafBits], __ATOMIC_ACQUIRE) +
           (g & kLeafMask);
}

// Side 1 for the granule where a block starts past its first byte, side 0
// for every other granule the block touches.
template <class Fn>
void each_side(uintptr_t start, uintptr_t end, Fn fn) {
    const uintptr_t first = start >> kPlexGranuleShift;
    for (uintptr_t g = first; g <= (end - 1) >> kPlexGranuleShift; g++)
        fn(slot_at(g), g == first && start != first << kPlexGranuleShift);
}

void put_side(granule_slot *s, unsigned side, plex_block_head *head, auto_plex_block *block,
              uint32_t index) {
    granule_store(&s->head[side], head);
    granule_store(&s->block[side], block);
    granule_store(&s->index[side], index);
}

}  // namespace

// Two pools may grow into a new leaf's range at once, each under its own
// lock: the first to publish its leaf wins, and the other gives its copy back.
// A leaf starts on a cache line (one slot more is asked for), so that a probe
// reads one line.
bool granule_map_reserve(uintptr_t start, uintptr_t end) {
    const uintptr_t last = (end - 1) >> kPlexGranuleShift;
    if (last >> (kGranuleRootBits + kGranuleLeafBits)) return false;
    for (uintptr_t r = start >> kPlexGranuleShift >> kGranuleLeafBits;
         r <= last >> kGranuleLeafBits; r++) {
        if (__atomic_load_n(&g_granule_root[r], __ATOMIC_ACQUIRE)) continue;
        void *mem = ap_sys_calloc((size_t{1} << kGranuleLeafBits) + 1, sizeof(granule_slot));
        if (!mem) return false;
        auto *leaf = reinterpret_cast<granule_slot *>(
            (reinterpret_cast<uintptr_t>(mem) + alignof(granule_slot) - 1) &
            ~uintptr_t{alignof(granule_slot) - 1});
        granule_slot *none = nullptr;
        if (!ap_threaded()) {
            __atomic_store_n(&g_granule_root[r], leaf, __ATOMIC_RELEASE);
            s_leaves++;
        } else if (__atomic_compare_exchange_n(&g_granule_root[r], &none, leaf, false,
                                               __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            __atomic_fetch_add(&s_leaves, 1, __ATOMIC_RELAXED);
        } else {
            ap_sys_free(mem);
        }
    }
    return true;
}

size_t granule_map_leaves_internal() {
    return __atomic_load_n(&s_leaves, __ATOMIC_RELAXED);
}

void granule_map_set(uintptr_t start, uintptr_t end, auto_plex_block *block, uint32_t index) {
    auto *head = reinterpret_cast<plex_block_head *>(start - PLEX_BLOCK_HEAD_SIZE);
    each_side(start, end, [&](granule_slot *s, bool starts_inside) {
        put_side(s, starts_inside, head, block, index);
        if (starts_inside) granule_store(&s->split_not, ~start);
    });
}

void granule_map_clear(uintptr_t start, uintptr_t end) {
    each_side(start, end, [&](granule_slot *s, bool starts_inside) {
        put_side(s, starts_inside, nullptr, nullptr, kPlexNoBlock);
        if (starts_inside) granule_store(&s->split_not, uintptr_t{0});
    });
}
