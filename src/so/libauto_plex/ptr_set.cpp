// A set of pointers (private/ptr_set.h).
#include "private/ptr_set.h"

#include <string.h>

#include "platform/ap_sys.h"

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
    auto *slots = static_cast<uintptr_t *>(ap_sys_calloc(cap, sizeof(uintptr_t)));
    if (!slots) return false;
    ptr_set grown = {slots, 0, cap};
    for (size_t i = 0; i < s->cap; i++)
        if (s->slots[i]) ptr_set_insert(&grown, s->slots[i]);
    ap_sys_free(s->slots);
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
