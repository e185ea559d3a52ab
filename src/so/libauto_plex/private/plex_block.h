// The block layer's operations (private header): one block of equal-sized
// slots with its own free list.  Inline because the pool calls them on every
// allocation and release; the records they work on are public
// (plex_internal.h).
#ifndef LIBAUTO_PLEX_PRIVATE_PLEX_BLOCK_H
#define LIBAUTO_PLEX_PRIVATE_PLEX_BLOCK_H

#include <string.h>

#include "platform/ap_check.h"
#include "plex_internal.h"

/* Memory-checker visibility of the slots.  To AddressSanitizer and to
 * valgrind's memcheck a block is one system allocation, so without help a
 * write into a freed slot, or past a slot into its free neighbour, lands in
 * memory they consider live and goes unreported.  So: in a sanitizer build the
 * slot area of a new block is poisoned, a slot is unpoisoned while handed out
 * and poisoned again when it comes back; in a valgrind build
 * (AUTO_PLEX_VALGRIND) each block is a memcheck pool anchored at its head and
 * each handed-out slot a chunk of it.  The library's own reads and writes of
 * the free-list link happen while the slot is open to it.  ASan works in
 * 8-byte granules, so with a slot size that is not a multiple of 8 the edges
 * shared by two slots are reported only approximately.  Live neighbours have
 * no red zone between them: an overflow is seen when it reaches a free or
 * never-used slot. */
#if defined(__SANITIZE_ADDRESS__)
#define PLEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLEX_ASAN 1
#endif
#endif
#ifdef PLEX_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if defined(AUTO_PLEX_VALGRIND) && __has_include(<valgrind/memcheck.h>)
#define PLEX_VALGRIND 1
#include <valgrind/memcheck.h>
#endif

inline void plex_slots_close(const void *p, size_t n) {
#ifdef PLEX_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MAKE_MEM_NOACCESS(p, n);
#endif
    (void)p, (void)n;
}

/* Opens memory that was kept closed while idle, as the system allocator
 * hands memory out: addressable, contents undefined. */
inline void plex_mem_open(const void *p, size_t n) {
#ifdef PLEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#endif
    (void)p, (void)n;
}

/* Reads the free-list link of a closed slot. */
inline void *plex_read_link(const void *slot) {
    void *next;
#ifdef PLEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(slot, sizeof next);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MAKE_MEM_DEFINED(slot, sizeof next);
#endif
    memcpy(&next, slot, sizeof next);  // slots need not be 8-aligned
    return next;
}

inline void plex_slot_open(const void *head, void *slot, size_t n) {
#ifdef PLEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(slot, n);
#endif
#ifdef PLEX_VALGRIND
    // Defined, not fresh: a slot keeps what it held, which pmem relies on
    // for the header bytes it does not own.
    VALGRIND_MEMPOOL_ALLOC(head, slot, n);
    VALGRIND_MAKE_MEM_DEFINED(slot, n);
#endif
    (void)head, (void)slot, (void)n;
}

inline void plex_slot_close(const void *head, void *slot, size_t n) {
#ifdef PLEX_ASAN
    ASAN_POISON_MEMORY_REGION(slot, n);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MEMPOOL_FREE(head, slot);
#endif
    (void)head, (void)slot, (void)n;
}

/* Resets `me` to own nothing, with slot size max(item_size, 8). */
void plex_init_internal(plex *me, uint64_t item_size);
/* Gives `me` block memory for n slots (n as unsigned 32-bit).  Returns 0, or
 * -1 when malloc_f returns null (`me` then still owns nothing). */
int plex_expand_internal(plex *me, uint64_t n, plex_malloc_f malloc_f);
/* Returns the block memory through free_f; `me` owns nothing afterwards. */
void plex_clear_internal(plex *me, plex_free_f free_f);

inline plex_block_head *plex_head_of(const plex *me) {
    return static_cast<plex_block_head *>(me->head);
}

/* The block's slot area runs from its first slot to one past its last. */
inline char *get_start_ptr(const plex *me) {
    return static_cast<char *>(me->head) + PLEX_BLOCK_HEAD_SIZE;
}

inline char *get_end_ptr(const plex *me) {
    return get_start_ptr(me) + static_cast<uint64_t>(plex_head_of(me)->alloc_num) * me->item_size;
}

inline uint64_t plex_using_num(const plex *me) {
    LIBAP_CHECK(me && me->head);
    return plex_head_of(me)->using_num;
}

inline bool plex_is_full(const plex *me) {
    LIBAP_CHECK(me && me->head);
    const plex_block_head *h = plex_head_of(me);
    return h->using_num >= h->alloc_num;
}

/* The most recently freed slot first, else the next never-used one; null
 * when the block has neither. */
inline void *plex_alloc_internal(plex *me) {
    LIBAP_CHECK(me && me->head);
    plex_block_head *h = plex_head_of(me);
    void *slot = me->free_list;
    if (slot) {
        me->free_list = plex_read_link(slot);
    } else {
        if (h->fresh_slot >= get_end_ptr(me)) return nullptr;
        slot = h->fresh_slot;
        h->fresh_slot += me->item_size;
    }
    h->using_num++;
    plex_slot_open(me->head, slot, me->item_size);
    return slot;
}

/* `h` is me's block head, passed so that the caller can reach it without
 * waiting for the record to load.  Returns the block's live slots after. */
inline uint64_t plex_free_internal(plex *me, plex_block_head *h, void *ptr) {
    LIBAP_CHECK(me && ptr);
    memcpy(ptr, &me->free_list, sizeof(void *));  // slots need not be 8-aligned
    plex_slot_close(h, ptr, me->item_size);
    me->free_list = ptr;
    return --h->using_num;
}

#endif
