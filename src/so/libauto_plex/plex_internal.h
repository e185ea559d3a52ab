/* One block of equal-sized slots with its own free list: the layer under
 * auto_plex.
 *
 * Block memory is one system allocation: a 32-byte plex_block_head, then the
 * slots.  Slot k lies at head + 32 + k * item_size.  A free slot keeps the
 * address of the next free slot of the same block in its first 8 bytes, which
 * is why the slot size is at least 8.  Because the slot area starts 32 bytes
 * into a system allocation, slots keep the system allocator's 16-byte
 * alignment whenever item_size is a multiple of 16.
 *
 * The records are public so that C hosts can read an auto_plex's blocks; the
 * block-level operations are internal to the library. */
#ifndef LIBAUTO_PLEX_PLEX_INTERNAL_H
#define LIBAUTO_PLEX_PLEX_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "ap_api.h"

AP_BEGIN_DECLS

/* Block-level control, embedded in each block record of an auto_plex. */
typedef struct plex {
    void *head;         /* block memory; null while the record owns none */
    void *free_list;    /* most recently freed slot of this block, or null */
    uint64_t item_size; /* slot size in bytes: the requested size, at least 8 */
} plex;

/* The first 32 bytes of block memory. */
typedef struct plex_block_head {
    char *fresh_slot;   /* first slot never handed out yet */
    uint32_t alloc_num; /* slots in this block */
    uint64_t using_num; /* slots of this block handed out now */
    uint64_t reserved;  /* keeps the slot area at offset 32 */
} plex_block_head;

#define PLEX_BLOCK_HEAD_SIZE 32

/* Block memory comes and goes through these, with an opaque context (the
 * pool passes null). */
typedef void *(*plex_malloc_f)(void *ctx, size_t size);
typedef void (*plex_free_f)(void *ctx, void *ptr);

AP_END_DECLS

#endif
