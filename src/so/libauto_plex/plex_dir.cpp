// The block directory: growth of its arrays, and its blocks' entries in the
// granule map (private/plex_dir.h).  Blocks come and go rarely next to allocations and
// releases, so everything here may be linear in the number of blocks.
#include "private/plex_dir.h"

#include <string.h>

#include "auto_plex.h"
#include "platform/ap_sys.h"
#include "private/plex_block.h"

namespace {

// The map holds each block's index, so every block from i up is listed
// again after the arrays moved.
void map_from(const plex_directory *d, uint32_t i) {
    for (; d->mapped && i < d->count; i++)
        granule_map_set(d->start[i], d->end[i], d->block[i], i);
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

uint32_t plex_dir_insert(plex_directory *d, auto_plex_block *block, bool mapped) {
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
    d->mapped = mapped;
    map_from(d, i);
    return i;
}

void plex_dir_erase(plex_directory *d, uint32_t i) {
    if (d->mapped) granule_map_clear(d->start[i], d->end[i]);
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
    map_from(d, i);
}

void plex_dir_release(plex_directory *d) {
    for (uint32_t i = 0; d->mapped && i < d->count; i++)
        granule_map_clear(d->start[i], d->end[i]);
    ap_sys_free(d->start);
    *d = plex_directory{};
}
