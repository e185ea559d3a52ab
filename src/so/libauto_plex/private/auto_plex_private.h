// What auto_plex keeps beyond its public records, and the one set of
// accessors to reach it (private header; the reports, the preload and the
// tests read the pool through it).
//
// The control block belongs to the caller and its layout is fixed, but the
// pool allocates two things itself, and each carries private fields past the
// public part:
//
//   - every block record is a plex_block_record: the public auto_plex_block
//     first (C hosts walk using_tree by offsetof(auto_plex_block, tree_node)),
//     then the node of the "blocks with room" tree;
//   - the name copy behind module_name is the tail of an auto_plex_ext, which
//     holds the plex's peak and the root of that tree.  module_name still
//     points at a plain string; it belongs to the plex, so a host must not
//     replace it.
#ifndef LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H
#define LIBAUTO_PLEX_PRIVATE_AUTO_PLEX_PRIVATE_H

#include <stddef.h>
#include <stdint.h>

#include "auto_plex.h"
#include "private/plex_block.h"

struct plex_block_record {
    auto_plex_block pub;
    // Linked, by address, while the block owns memory and has a free slot:
    // the leftmost such record is first_free_block.
    avl_node room_node;
};

struct auto_plex_ext {
    uint64_t peak_using_num;  // highest using_num since auto_plex_init
    avl_node *room_root;      // blocks with room, by address
    // the NUL-terminated name follows; 16 bytes keep it 16-byte aligned
};
static_assert(sizeof(auto_plex_ext) == 16);

inline char *plex_ext_name(auto_plex_ext *ext) {
    return reinterpret_cast<char *>(ext + 1);
}

// Requires an initialised plex (module_name set by auto_plex_init).
inline auto_plex_ext *plex_ext_of(const auto_plex *me) {
    return reinterpret_cast<auto_plex_ext *>(me->module_name) - 1;
}

// 0 for a plex that is not initialised.
inline uint64_t plex_peak_internal(const auto_plex *me) {
    return me->module_name ? plex_ext_of(me)->peak_using_num : 0;
}

inline auto_plex_block *plex_block_of_node(const avl_node *node) {
    return reinterpret_cast<auto_plex_block *>(
        reinterpret_cast<char *>(const_cast<avl_node *>(node)) -
        offsetof(auto_plex_block, tree_node));
}

inline auto_plex_block *plex_block_of_idle(const auto_plex_link *link) {
    return reinterpret_cast<auto_plex_block *>(
        reinterpret_cast<char *>(const_cast<auto_plex_link *>(link)) -
        offsetof(auto_plex_block, idle_link));
}

inline plex_block_record *plex_record_of(const auto_plex_block *block) {
    return reinterpret_cast<plex_block_record *>(const_cast<auto_plex_block *>(block));
}

inline plex_block_record *plex_record_of_room(const avl_node *node) {
    return reinterpret_cast<plex_block_record *>(
        reinterpret_cast<char *>(const_cast<avl_node *>(node)) -
        offsetof(plex_block_record, room_node));
}

inline auto_plex *plex_of_registry_link(const auto_plex_link *link) {
    return reinterpret_cast<auto_plex *>(
        reinterpret_cast<char *>(const_cast<auto_plex_link *>(link)) -
        offsetof(auto_plex, plex_link));
}

// The live block whose slot area holds `ptr`, or null: the pool's own lookup.
auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr);

// ---- block events --------------------------------------------------------
//
// One process-wide subscriber hears of every block that gains memory (after
// it is in using_tree) and every block about to give it back (while its
// memory is still there), in every plex.  It must not call into the pool.
// The preload library keeps its address index with it.

enum plex_block_event { PLEX_BLOCK_ADDED, PLEX_BLOCK_RELEASED };
typedef void (*plex_block_hook)(const auto_plex *me, const auto_plex_block *block,
                                plex_block_event event);
// Null unsubscribes.
void auto_plex_set_block_hook_internal(plex_block_hook hook);

#endif
