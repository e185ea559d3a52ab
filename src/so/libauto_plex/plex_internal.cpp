// Block-level plex: obtaining and returning one block's memory.  The per-slot
// operations are inline in private/plex_block.h: the pool calls them on every
// allocation and release.
#include "private/plex_block.h"

#include <type_traits>

static_assert(sizeof(plex_block_head) == PLEX_BLOCK_HEAD_SIZE);
static_assert(offsetof(plex_block_head, alloc_num) == 8);
static_assert(offsetof(plex_block_head, using_num) == 16);
static_assert(std::is_standard_layout_v<plex>);

void plex_init_internal(plex *me, uint64_t item_size) {
    LIBAP_CHECK(me && item_size);
    me->head = nullptr;
    me->free_list = nullptr;
    me->item_size = item_size < sizeof(void *) ? sizeof(void *) : item_size;
}

int plex_expand_internal(plex *me, uint64_t n, plex_malloc_f malloc_f) {
    LIBAP_CHECK(!me->head);
    uint32_t slots = static_cast<uint32_t>(n);
    void *mem =
        malloc_f(nullptr, PLEX_BLOCK_HEAD_SIZE + static_cast<size_t>(slots) * me->item_size);
    if (!mem) return -1;
    plex_block_head *h = static_cast<plex_block_head *>(mem);
    h->fresh_slot = static_cast<char *>(mem) + PLEX_BLOCK_HEAD_SIZE;
    h->alloc_num = slots;
    h->using_num = 0;
    me->head = mem;
#ifdef PLEX_VALGRIND
    VALGRIND_CREATE_MEMPOOL(mem, 0, 0);
#endif
    plex_slots_close(get_start_ptr(me), static_cast<size_t>(slots) * me->item_size);
    return 0;
}

void plex_clear_internal(plex *me, plex_free_f free_f) {
    LIBAP_CHECK(me && free_f);
#ifdef PLEX_VALGRIND
    // Slots still out when the block goes are released with it.
    if (me->head) VALGRIND_DESTROY_MEMPOOL(me->head);
#endif
    free_f(nullptr, me->head);
    me->head = nullptr;
    me->free_list = nullptr;
}
