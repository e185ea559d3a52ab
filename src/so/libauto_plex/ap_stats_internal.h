// High-water marks of the components, and where they live (private header).
//
// The public records cannot grow (C hosts embed them), so the peaks sit
// beside them:
//   - per plex: in a 16-byte prefix of the plex's own name allocation (below);
//   - per pmem pool and module: private tables in pmem.cpp;
//   - per accounted module: in the same allocation as the module table, past
//     its records (malloc_statis.cpp).
// The snapshot and JSON code (ap_stats.cpp) reads them through these calls.
#ifndef LIBAUTO_PLEX_AP_STATS_INTERNAL_H
#define LIBAUTO_PLEX_AP_STATS_INTERNAL_H

#include <stdint.h>
#include <string.h>

#include "ap_sys.h"
#include "auto_plex.h"
#include "malloc_statis.h"

// ---- plex name prefix --------------------------------------------------------
//
// auto_plex has no spare field for its peak using_num, so auto_plex_init
// allocates the name copy with a 16-byte prefix that holds it, and
// module_name points just past the prefix: hosts still read a plain string,
// the copy stays one allocation (what the fault-injecting seam counts), and
// the string keeps the allocator's 16-byte alignment.  auto_plex_clear frees
// from the prefix.  module_name is therefore the plex's own; a host must not
// replace it (clear would free the wrong pointer, as it always would have).

struct plex_name_prefix {
    uint64_t peak_using_num;
    uint64_t reserved;
};
static_assert(sizeof(plex_name_prefix) == 16);

inline char *plex_name_copy_internal(const char *name) {
    size_t len = strlen(name) + 1;
    char *block = static_cast<char *>(ap_sys_malloc(sizeof(plex_name_prefix) + len));
    if (!block) return nullptr;
    memset(block, 0, sizeof(plex_name_prefix));
    memcpy(block + sizeof(plex_name_prefix), name, len);
    return block + sizeof(plex_name_prefix);
}

inline void plex_name_free_internal(char *name) {
    if (name) ap_sys_free(name - sizeof(plex_name_prefix));
}

inline plex_name_prefix *plex_prefix_internal(const auto_plex *me) {
    return reinterpret_cast<plex_name_prefix *>(me->module_name - sizeof(plex_name_prefix));
}

// On the allocation path, after using_num has grown.
inline void plex_note_peak_internal(auto_plex *me) {
    plex_name_prefix *p = plex_prefix_internal(me);
    if (me->using_num > p->peak_using_num) p->peak_using_num = me->using_num;
}

// 0 for a plex without a name (never initialised, or cleared).
inline uint64_t plex_peak_internal(const auto_plex *me) {
    return me->module_name ? plex_prefix_internal(me)->peak_using_num : 0;
}

// ---- pmem (pmem.cpp) -----------------------------------------------------------

uint64_t pmem_pool_peak_internal(unsigned pool);
uint64_t pmem_module_peak_internal(unsigned mid);
// The pool's name, also before pmem_init (what the text reports print).
const char *pmem_pool_label_internal(unsigned pool);

// ---- module accounting (malloc_statis.cpp) -------------------------------------

struct mem_statis_view {
    const mem_statis_entry *array;  // indexed by id; both move with the table
    const int64_t *peak;
    int32_t registered;
};
mem_statis_view mem_statis_view_internal();

#endif
