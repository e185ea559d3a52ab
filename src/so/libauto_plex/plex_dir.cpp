// The block directory: growth of its arrays and the granule map
// (private/plex_dir.h).  Blocks come and go rarely next to allocations and
// releases, so everything here may be linear in the number of blocks.
#include "private/plex_dir.h"

#include <string.h>

#include "auto_plex.h"
#include "platform/ap_sys.h"
#include "private/plex_block.h"

namespace {

// Rebuilt whenever a block comes or goes.  Without memory for it the release
// searches, so a failure here is no failure of the pool.
void map_rebuild(plex_directory *d, bool hashed) {
    d->map_mask = 0;
    if (!hashed || d->count < 4) return;
    uintptr_t granules = 0;
    for (uint32_t i = 0; i < d->count; i++)
        granules += ((d->end[i] - 1) >> kPlexGranuleShift) - (d->start[i] >> kPlexGranuleShift) + 1;
    if (granules > UINT32_MAX / 4) return;
    uint32_t slots = 16;
    while (slots < 2 * granules)  // at most half full: short probes
        slots *= 2;
    if (slots > d->map_capacity) {
        void *mem = ap_sys_malloc(slots * (sizeof *d->map_key + sizeof *d->map_block));
        if (!mem) return;
        ap_sys_free(d->map_key);
        d->map_key = static_cast<uintptr_t *>(mem);
        d->map_block = reinterpret_cast<uint32_t *>(d->map_key + slots);
        d->map_capacity = slots;
    }
    memset(d->map_key, 0, slots * sizeof *d->map_key);
    const uint32_t mask = slots - 1;
    uint32_t last = 0;  // the last block starting by the current granule's end
    for (uint32_t i = 0; i < d->count; i++) {
        for (uintptr_t g = d->start[i] >> kPlexGranuleShift;
             g <= (d->end[i] - 1) >> kPlexGranuleShift; g++) {
            const uintptr_t granule_end = ((g + 1) << kPlexGranuleShift) - 1;
            while (last + 1 < d->count && d->start[last + 1] <= granule_end)
                last++;
            uint32_t s = plex_dir_map_slot(g, mask);
            while (d->map_key[s] != 0 && d->map_key[s] != g)
                s = (s + 1) & mask;
            d->map_key[s] = g;
            d->map_block[s] = last;
        }
    }
    d->map_mask = mask;
}

}  // namespace

// The arrays share one allocation; each growth doubles it.
bool plex_dir_reserve(plex_directory *d) {
    if (d->count < d->capacity) return true;
    if (d->capacity > UINT32_MAX / 2) return false;
    const uint32_t capacity = d->capacity ? 2 * d->capacity : 8;
    const size_t entry = 2 * sizeof(uintptr_t) + sizeof(void *);
    auto *mem = static_cast<char *>(ap_sys_calloc(
        1, size_t(capacity) * entry + plex_dir_room_words(capacity) * sizeof(uint64_t)));
    if (!mem) return false;
    auto *start = reinterpret_cast<uintptr_t *>(mem);
    auto *end = start + capacity;
    auto **block = reinterpret_cast<auto_plex_block **>(end + capacity);
    auto *room = reinterpret_cast<uint64_t *>(block + capacity);
    if (d->count) {
        memcpy(start, d->start, d->count * sizeof *start);
        memcpy(end, d->end, d->count * sizeof *end);
        memcpy(block, d->block, d->count * sizeof *block);
        memcpy(room, d->room, plex_dir_room_words(d->count) * sizeof *room);
    }
    ap_sys_free(d->start);
    d->start = start, d->end = end, d->block = block, d->room = room, d->capacity = capacity;
    return true;
}

uint32_t plex_dir_insert(plex_directory *d, auto_plex_block *block, bool hashed) {
    LIBAP_CHECK(d->first == d->count);  // no room bit moves
    const uintptr_t start = reinterpret_cast<uintptr_t>(get_start_ptr(&block->ctl));
    uint32_t i = 0;
    while (i < d->count && d->start[i] < start)  // rare: a linear pass is fine
        i++;
    const size_t above = d->count - i;
    memmove(d->start + i + 1, d->start + i, above * sizeof *d->start);
    memmove(d->end + i + 1, d->end + i, above * sizeof *d->end);
    memmove(d->block + i + 1, d->block + i, above * sizeof *d->block);
    d->start[i] = start;
    d->end[i] = reinterpret_cast<uintptr_t>(get_end_ptr(&block->ctl));
    d->block[i] = block;
    d->count++;
    plex_dir_set_room(d, i);
    d->first = i;
    map_rebuild(d, hashed);
    return i;
}

void plex_dir_erase(plex_directory *d, uint32_t i, bool hashed) {
    const size_t above = d->count - i - 1;
    memmove(d->start + i, d->start + i + 1, above * sizeof *d->start);
    memmove(d->end + i, d->end + i + 1, above * sizeof *d->end);
    memmove(d->block + i, d->block + i + 1, above * sizeof *d->block);
    // The room bits above i move down by one.
    const uint32_t words = plex_dir_room_words(d->count);
    uint64_t *w = d->room + i / 64;
    const uint64_t low = (uint64_t{1} << (i % 64)) - 1;
    *w = (*w & low) | ((*w >> 1) & ~low);
    for (uint32_t k = i / 64 + 1; k < words; k++) {
        d->room[k - 1] |= d->room[k] << 63;
        d->room[k] >>= 1;
    }
    d->count--;
    if (d->first == i)
        d->first = plex_dir_first_with_room(*d, i);
    else if (d->first > i)
        d->first--;
    map_rebuild(d, hashed);
}

void plex_dir_release(plex_directory *d) {
    ap_sys_free(d->map_key);
    ap_sys_free(d->start);
    *d = plex_directory{};
}
