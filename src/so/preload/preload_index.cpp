// Side index of the preload library: plex block ranges and live pool-26
// pointers.  See preload_index.h for the invariants.
#include "preload_index.h"

#include <string.h>

// ---- block ranges -----------------------------------------------------------

namespace {

// Index of the first range whose start is above addr.
size_t upper_bound(const block_index *ix, uintptr_t addr) {
    size_t lo = 0, hi = ix->n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (ix->v[mid].start <= addr)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace

bool block_index_reserve(block_index *ix, size_t extra) {
    if (ix->cap - ix->n >= extra) return true;
    size_t cap = ix->cap ? ix->cap : 64;
    while (cap - ix->n < extra)
        cap *= 2;
    auto *v = static_cast<block_range *>(preload_index_alloc(cap * sizeof(block_range)));
    if (!v) return false;
    if (ix->n) memcpy(v, ix->v, ix->n * sizeof(block_range));
    preload_index_free(ix->v);
    ix->v = v;
    ix->cap = cap;
    return true;
}

void block_index_insert(block_index *ix, block_range r) {
    size_t at = upper_bound(ix, r.start);
    memmove(&ix->v[at + 1], &ix->v[at], (ix->n - at) * sizeof(block_range));
    ix->v[at] = r;
    ix->n++;
}

const block_range *block_index_find(const block_index *ix, uintptr_t addr) {
    size_t at = upper_bound(ix, addr);
    if (at == 0) return nullptr;
    const block_range *r = &ix->v[at - 1];
    return addr < r->end ? r : nullptr;
}

bool block_index_erase(block_index *ix, uintptr_t addr) {
    const block_range *r = block_index_find(ix, addr);
    if (!r) return false;
    size_t at = static_cast<size_t>(r - ix->v);
    memmove(&ix->v[at], &ix->v[at + 1], (ix->n - at - 1) * sizeof(block_range));
    ix->n--;
    return true;
}

// ---- pool-26 pointers -----------------------------------------------------

namespace {

// Pointers are 16-byte aligned: drop the zero bits, then a multiplicative
// hash spreads neighbouring blocks over the table.
size_t home_slot(const ptr_set *s, uintptr_t key) {
    return static_cast<size_t>(((key >> 4) * 0x9e3779b97f4a7c15ULL) >> 20) & (s->cap - 1);
}

// The slot holding key, or the empty slot where it would go.
size_t probe(const ptr_set *s, uintptr_t key) {
    size_t i = home_slot(s, key);
    while (s->slots[i] != 0 && s->slots[i] != key)
        i = (i + 1) & (s->cap - 1);
    return i;
}

}  // namespace

bool ptr_set_reserve(ptr_set *s, size_t extra) {
    if ((s->n + extra) * 2 <= s->cap) return true;
    size_t cap = s->cap ? s->cap : 256;
    while ((s->n + extra) * 2 > cap)
        cap *= 2;
    auto *slots = static_cast<uintptr_t *>(preload_index_alloc(cap * sizeof(uintptr_t)));
    if (!slots) return false;
    ptr_set grown = {slots, 0, cap};
    for (size_t i = 0; i < s->cap; i++)
        if (s->slots[i]) ptr_set_insert(&grown, s->slots[i]);
    preload_index_free(s->slots);
    *s = grown;
    return true;
}

void ptr_set_insert(ptr_set *s, uintptr_t key) {
    size_t i = probe(s, key);
    if (s->slots[i] == key) return;
    s->slots[i] = key;
    s->n++;
}

bool ptr_set_contains(const ptr_set *s, uintptr_t key) {
    return s->cap && s->slots[probe(s, key)] == key;
}

bool ptr_set_erase(ptr_set *s, uintptr_t key) {
    if (!s->cap) return false;
    size_t hole = probe(s, key);
    if (s->slots[hole] != key) return false;
    // Backward-shift deletion: pull later members of the probe run into the
    // hole when their home slot does not lie cyclically in (hole, j], so no
    // lookup ever stops early at the emptied slot.
    size_t mask = s->cap - 1;
    for (size_t j = (hole + 1) & mask; s->slots[j] != 0; j = (j + 1) & mask) {
        size_t home = home_slot(s, s->slots[j]);
        bool stays = hole < j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        s->slots[hole] = s->slots[j];
        hole = j;
    }
    s->slots[hole] = 0;
    s->n--;
    return true;
}
