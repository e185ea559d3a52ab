// auto_plex: the pool of blocks.
//
// Owned state: plex_registry (every initialised control block), the
// once-per-process answer to "does the pre-allocation marker exist", the
// release policy and the bytes of released blocks not yet taken up again.
// Each control block owns its extension (peak, block directory, name;
// auto_plex_private.h), its block records (in using_tree or on idle_blocks)
// and the block memory of the records in the tree.
//
// Policy: allocate from the lowest-addressed block with room, so live objects
// gather low and high blocks drain; give an empty block back only when the
// pool keeps more than 1.5 blocks' worth of free slots, so a pool that hovers
// around a block boundary does not call the system allocator on every step.
#include "auto_plex.h"

#include <string.h>

#include <algorithm>
#include <type_traits>

#include "platform/ap_check.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"

static_assert(std::is_standard_layout_v<auto_plex>);
static_assert(std::is_standard_layout_v<auto_plex_block>);
static_assert(std::is_standard_layout_v<plex_block_record>);
static_assert(offsetof(plex_block_record, pub) == 0, "records are reached from the public part");
static_assert(sizeof(auto_plex) == 17 * 8, "C hosts embed this layout");
static_assert(offsetof(auto_plex, using_tree) == 12 * 8);

extern "C" {
AP_API auto_plex_link plex_registry = {&plex_registry, &plex_registry};
}

namespace {

// The marker is looked for once, by the first auto_plex_init of the process.
bool s_marker_checked;
bool s_pre_allocate;

// How released block memory goes back (auto_plex_set_release_policy): unset
// until a call or the first init's look at the environment.
constexpr int kReleaseUnset = -1;
int s_release_policy = kReleaseUnset;
// What the pools (and pmem's large areas) hold from the system allocator,
// and what they gave back that may still be resident there: released since
// the last trim, without its pages returned, and not taken up again.
size_t s_held;
size_t s_dirty;

constexpr uint64_t kBlockBytesTarget = 128 * 1024;
constexpr unsigned kBlockBytesShift = 17;
constexpr uint64_t kMaxBlockRecords = 16;
constexpr uint64_t kStepGranule = 256;

// ---- intrusive list ------------------------------------------------------

void list_init(auto_plex_link *head) {
    head->next = head->prev = head;
}

void list_push_front(auto_plex_link *head, auto_plex_link *link) {
    link->next = head->next;
    link->prev = head;
    head->next->prev = link;
    head->next = link;
}

void list_unlink(auto_plex_link *link) {
    link->prev->next = link->next;
    link->next->prev = link->prev;
    link->next = link->prev = nullptr;
}

bool list_empty(const auto_plex_link *head) {
    return head->next == head;
}

// ---- the block directory ----------------------------------------------------
//
// A release must find the block holding its pointer, and an allocation whose
// block fills up must find the next lowest block with room.  Both are answered
// from the directory (auto_plex_private.h): a binary search over one compact
// array of start addresses instead of a descent through separately allocated
// records, and a scan of the room bits instead of tree surgery each time a
// block flips between full and not full, which under churn is almost every
// step.  Hand-out order is unchanged: still the lowest block with room.

// Room for one more block, allocated before the block memory so that a
// failure leaves nothing to undo.  The arrays share one allocation; each
// growth doubles it.
bool dir_reserve(plex_directory *d) {
    if (d->count < d->capacity) return true;
    if (d->capacity > UINT32_MAX / 2) return false;
    const uint32_t capacity = d->capacity ? 2 * d->capacity : 8;
    const size_t entry = 2 * sizeof(uintptr_t) + sizeof(void *);
    auto *mem = static_cast<char *>(
        ap_sys_calloc(1, size_t(capacity) * entry + plex_room_words(capacity) * sizeof(uint64_t)));
    if (!mem) return false;
    auto *start = reinterpret_cast<uintptr_t *>(mem);
    auto *end = start + capacity;
    auto **block = reinterpret_cast<auto_plex_block **>(end + capacity);
    auto *room = reinterpret_cast<uint64_t *>(block + capacity);
    if (d->count) {
        memcpy(start, d->start, d->count * sizeof *start);
        memcpy(end, d->end, d->count * sizeof *end);
        memcpy(block, d->block, d->count * sizeof *block);
        memcpy(room, d->room, plex_room_words(d->count) * sizeof *room);
    }
    ap_sys_free(d->start);
    d->start = start, d->end = end, d->block = block, d->room = room, d->capacity = capacity;
    return true;
}

// Rebuilt whenever a block comes or goes.  Only for blocks at least a granule
// long, so that at most one block starts within any granule-long window and
// the map's answer is off by at most one.  Without memory for it the release
// searches, so a failure here is no failure of the pool.
void map_rebuild(const auto_plex *me, plex_directory *d) {
    d->map_mask = 0;
    if (me->max_num != 0 || d->count < 4) return;
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
            uint32_t s = plex_map_slot(g, mask);
            while (d->map_key[s] != 0 && d->map_key[s] != g)
                s = (s + 1) & mask;
            d->map_key[s] = g;
            d->map_block[s] = last;
        }
    }
    d->map_mask = mask;
}

// A new block, with room, where no block had any (growth happens only with
// every slot out, so no room bit moves).
void dir_add(auto_plex *me, plex_directory *d, auto_plex_block *block) {
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
    d->room[i / 64] |= uint64_t{1} << (i % 64);
    plex_set_first(me, d, i);
    map_rebuild(me, d);
}

// Block i is going; it is empty, so it has room and first <= i.
void dir_remove(auto_plex *me, plex_directory *d, uint32_t i) {
    const size_t above = d->count - i - 1;
    memmove(d->start + i, d->start + i + 1, above * sizeof *d->start);
    memmove(d->end + i, d->end + i + 1, above * sizeof *d->end);
    memmove(d->block + i, d->block + i + 1, above * sizeof *d->block);
    // The room bits above i move down by one.
    const uint32_t words = plex_room_words(d->count);
    uint64_t *w = d->room + i / 64;
    const uint64_t low = (uint64_t{1} << (i % 64)) - 1;
    *w = (*w & low) | ((*w >> 1) & ~low);
    for (uint32_t k = i / 64 + 1; k < words; k++) {
        d->room[k - 1] |= d->room[k] << 63;
        d->room[k] >>= 1;
    }
    d->count--;
    plex_set_first(me, d, d->first == i ? plex_room_from(*d, i) : d->first);
    map_rebuild(me, d);
}

// ---- system allocator adapters for the block layer -----------------------

void *plain_malloc(void *, size_t size) {
    return ap_sys_malloc(size);
}
void *zeroed_malloc(void *, size_t size) {
    return ap_sys_calloc(1, size);
}
void system_free(void *, void *ptr) {
    ap_sys_free(ptr);
}

size_t block_bytes(const plex *ctl) {
    return PLEX_BLOCK_HEAD_SIZE + size_t{plex_head_of(ctl)->alloc_num} * ctl->item_size;
}

// Blocks are large, and the system allocator may keep a freed one's pages
// resident, so the host's resident size would not fall as its pools drain.
// Handing every block's pages to the kernel is no answer either: a pool that
// shrinks and regrows on every round would fault them all in again.  So up to
// AUTO_PLEX_RELEASE_SLACK bytes of released memory may stay resident until new
// blocks take it up; past that each block's own pages go back, at a cost that
// grows with the block, not with the heap.  What else the system allocator
// keeps (pmem's large areas, the edges of released blocks) goes back with one
// heap-wide trim each time more than an eighth of what the pools hold has
// been released and not taken up: the trim's cost is spread over bytes in
// proportion to the pools' size.
void taken_up(size_t bytes) {
    s_held += bytes;
    s_dirty -= std::min(s_dirty, bytes);
}

void note_dirty(size_t bytes) {
    s_dirty += bytes;
    if (s_dirty > std::max<size_t>(AUTO_PLEX_RELEASE_SLACK, s_held / 8)) {
        ap_sys_trim();
        s_dirty = 0;
    }
}

auto_plex_block *new_record() {
    auto *record = static_cast<plex_block_record *>(ap_sys_calloc(1, sizeof(plex_block_record)));
    return record ? &record->pub : nullptr;
}

// ---- block ordering ------------------------------------------------------

// Orders two live blocks by address.  Block memory comes from distinct
// system allocations, so ranges never touch; if they do, two records share
// memory and the tree is already lying.
int cmp_block_ctl_nodes(avl_node *node1, avl_node *node2) {
    LIBAP_CHECK(node1 && node2);
    auto_plex_block *b1 = plex_block_of_node(node1);
    auto_plex_block *b2 = plex_block_of_node(node2);
    LIBAP_CHECK_MSG(get_end_ptr(&b1->ctl) < get_start_ptr(&b2->ctl) ||
                        get_end_ptr(&b2->ctl) < get_start_ptr(&b1->ctl),
                    "((unsigned long)(get_end_ptr((&((b1)->ctl))))) < ((unsigned "
                    "long)get_start_ptr((&((b2)->ctl)))) || ((unsigned "
                    "long)(get_end_ptr((&((b2)->ctl))))) < ((unsigned "
                    "long)get_start_ptr((&((b1)->ctl))))");
    return get_end_ptr(&b1->ctl) < get_start_ptr(&b2->ctl) ? -1 : 1;
}

void tree_insert(auto_plex *me, auto_plex_block *block) {
    avl_node **link = &me->using_tree;
    avl_node *parent = nullptr;
    while (*link) {
        parent = *link;
        link = cmp_block_ctl_nodes(&block->tree_node, parent) < 0 ? &parent->left : &parent->right;
    }
    avl_tree_link_node(&block->tree_node, parent, link);
    avl_tree_rebalance_after_insert(&me->using_tree, &block->tree_node);
}

// ---- sizing --------------------------------------------------------------

// Fills block_num and step_alloc_num.  Returns false when the request cannot
// be described: a product that wraps 64 bits, or a block whose slot count
// does not fit its 32-bit field or whose byte size wraps.
bool size_blocks(auto_plex *me) {
    const uint64_t item = me->item_size, max = me->max_num;
    uint64_t total;
    if (__builtin_mul_overflow(item, max, &total)) return false;

    if (s_pre_allocate) {
        me->block_num = 1;
    } else {
        uint64_t t = total >> kBlockBytesShift;
        me->block_num = t < 1 ? 1 : (t > kMaxBlockRecords ? kMaxBlockRecords : t);
    }

    uint64_t step;
    if (max != 0) {
        step = max / me->block_num + (max % me->block_num != 0);
    } else {
        if (item > UINT64_MAX - (kBlockBytesTarget - 1)) return false;
        step = (item + kBlockBytesTarget - 1) / item;
    }
    // Rounded up to the granule, the count must still fit the block's 32-bit
    // field (and the rounding must not wrap).
    if (step > UINT32_MAX - (kStepGranule - 1)) return false;
    step = (step + kStepGranule - 1) / kStepGranule * kStepGranule;

    uint64_t slot = item < sizeof(void *) ? sizeof(void *) : item;
    uint64_t bytes;
    if (__builtin_mul_overflow(step, slot, &bytes) || bytes > SIZE_MAX - PLEX_BLOCK_HEAD_SIZE)
        return false;
    me->step_alloc_num = step;
    return true;
}

// The extension with the name as its tail: one allocation, so a failed copy
// is one failure point and the name keeps the allocator's alignment.
char *new_ext(const char *name) {
    size_t len = strlen(name) + 1;
    auto *ext = static_cast<auto_plex_ext *>(ap_sys_malloc(sizeof(auto_plex_ext) + len));
    if (!ext) return nullptr;
    *ext = auto_plex_ext{};
    return static_cast<char *>(memcpy(plex_ext_name(ext), name, len));
}

// ---- growth --------------------------------------------------------------

// Adds one block and makes it first_free_block; null when the plex may not or
// cannot grow (the failure is counted).  Only called with every slot out.
[[gnu::noinline]] auto_plex_block *auto_plex_expand(auto_plex *me, plex_malloc_f malloc_f) {
    LIBAP_CHECK(me->using_num == me->alloc_num);

    uint64_t n = me->step_alloc_num;
    // A bounded plex never has more blocks than the records made at init.
    if (me->max_num != 0) {
        if (me->using_num >= me->max_num || list_empty(&me->idle_blocks)) {
            me->alloc_failed++;
            return nullptr;
        }
        n = std::min(me->max_num - me->using_num, n);
    }
    const bool fresh_record = list_empty(&me->idle_blocks);
    auto_plex_block *block = fresh_record ? new_record() : plex_block_of_idle(me->idle_blocks.next);
    if (!block) {
        me->expand_failed++;
        me->alloc_failed++;
        return nullptr;
    }
    // Checked before the extension is touched: a cleared plex has none.
    plex_init_internal(&block->ctl, me->item_size);
    plex_directory *dir = &plex_ext_of(me)->dir;
    if (!dir_reserve(dir) || plex_expand_internal(&block->ctl, n, malloc_f) != 0) {
        me->expand_failed++;
        block->ctl.head = nullptr;
        block->ctl.free_list = nullptr;
        if (fresh_record) ap_sys_free(plex_record_of(block));
        me->alloc_failed++;
        return nullptr;
    }
    if (!fresh_record) list_unlink(&block->idle_link);
    tree_insert(me, block);

    LIBAP_CHECK_MSG(me->first_free_block == nullptr, "me->first_free_block == ((void *)0)");
    me->alloc_num += n;
    me->count_expand++;
    taken_up(block_bytes(&block->ctl));
    dir_add(me, dir, block);  // the only block with room: first_free_block
    return block;
}

// ---- release -------------------------------------------------------------

void release_memory(plex *ctl) {
    const size_t bytes = block_bytes(ctl);
    s_held -= std::min(s_held, bytes);
    if (s_release_policy == AUTO_PLEX_RELEASE_TRIM) {
        plex_clear_internal(ctl, system_free);
        ap_sys_trim();
        return;
    }
    const bool stays =
        bytes <= AUTO_PLEX_RELEASE_SLACK - std::min<size_t>(s_dirty, AUTO_PLEX_RELEASE_SLACK);
    if (!stays) ap_sys_return_pages(ctl->head, bytes);
    plex_clear_internal(ctl, system_free);
    if (stays) note_dirty(bytes);
}

}  // namespace

auto_plex_block *auto_plex_grow_internal(auto_plex *me) {
    return auto_plex_expand(me, plain_malloc);
}

void auto_plex_emptied_internal(auto_plex *me, plex_directory *dir, uint32_t i) {
    auto_plex_block *block = dir->block[i];
    LIBAP_CHECK(me && block);
    if (me->alloc_num - me->using_num <= me->step_alloc_num * 3 / 2) return;

    dir_remove(me, dir, i);
    avl_tree_remove(&me->using_tree, &block->tree_node);
    list_push_front(&me->idle_blocks, &block->idle_link);
    me->alloc_num -= plex_head_of(&block->ctl)->alloc_num;
    me->count_clear++;
    release_memory(&block->ctl);
}

auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr) {
    if (!me->using_tree) return nullptr;
    const plex_directory &dir = plex_ext_of(me)->dir;
    const uint32_t i = plex_dir_find(dir, reinterpret_cast<uintptr_t>(ptr));
    return i == kPlexNoBlock ? nullptr : dir.block[i];
}

void auto_plex_taken_up_internal(size_t bytes) {
    taken_up(bytes);
}

void auto_plex_released_internal(void *mem, size_t bytes) {
    s_held -= std::min(s_held, bytes);
    ap_sys_free(mem);
    if (s_release_policy != AUTO_PLEX_RELEASE_TRIM) note_dirty(bytes);
}

plex_release_state auto_plex_release_state_internal() {
    return {s_held, s_dirty};
}

// The texts and the function named are auto_plex_free's also when pmem
// releases: the check belongs to the pool, not to the interface used.
void auto_plex_free_refused_internal(const auto_plex *me) {
    ap_check_fail_internal(me->using_tree ? "avl_node" : "me->using_tree", __FILE__, __LINE__,
                           "auto_plex_free");
}

extern "C" {

AP_API int auto_plex_init(auto_plex *me, uint64_t item_size, uint64_t max_num,
                          const char *module_name) {
    if (!s_marker_checked) {
        s_marker_checked = true;
        s_pre_allocate = ap_sys_marker_exists();
        if (s_release_policy == kReleaseUnset) {
            const char *policy = ap_sys_setting("AUTO_PLEX_RELEASE");
            s_release_policy = policy && strcmp(policy, "trim") == 0 ? AUTO_PLEX_RELEASE_TRIM
                                                                     : AUTO_PLEX_RELEASE_PAGES;
        }
    }
    LIBAP_CHECK(me);
    LIBAP_CHECK(item_size > 0);
    LIBAP_CHECK(module_name);

    memset(me, 0, sizeof *me);
    list_init(&me->idle_blocks);
    me->item_size = item_size;
    me->max_num = max_num;
    if (!size_blocks(me) || !(me->module_name = new_ext(module_name))) {
        auto_plex_clear(me);
        return -12;
    }

    for (uint64_t i = 0; i < me->block_num; i++) {
        auto_plex_block *block = new_record();
        if (!block) {
            auto_plex_clear(me);
            return -12;
        }
        list_push_front(&me->idle_blocks, &block->idle_link);
    }

    if (s_pre_allocate && !auto_plex_expand(me, zeroed_malloc)) {
        auto_plex_clear(me);
        return -12;
    }

    list_push_front(&plex_registry, &me->plex_link);
    return 0;
}

AP_API void auto_plex_clear(auto_plex *me) {
    LIBAP_CHECK(me);
    if (me->plex_link.next && me->plex_link.prev) list_unlink(&me->plex_link);

    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        s_held -= std::min(s_held, block_bytes(&plex_block_of_node(n)->ctl));
        plex_clear_internal(&plex_block_of_node(n)->ctl, system_free);
    }

    // Post-order hands out each record after both its subtrees, so a record
    // can be released as soon as its parent has been read.
    avl_node *n = avl_tree_first_in_postorder(me->using_tree);
    while (n) {
        avl_node *parent = avl_node_parent(n);
        avl_node *next = avl_tree_next_in_postorder(n, parent);
        ap_sys_free(plex_record_of(plex_block_of_node(n)));
        n = next;
    }
    me->using_tree = nullptr;

    if (me->idle_blocks.next) {
        auto_plex_link *link = me->idle_blocks.next;
        while (link != &me->idle_blocks) {
            auto_plex_link *next = link->next;
            ap_sys_free(plex_record_of(plex_block_of_idle(link)));
            link = next;
        }
    }

    if (me->module_name) {
        ap_sys_free(plex_ext_of(me)->dir.map_key);
        ap_sys_free(plex_ext_of(me)->dir.start);
        ap_sys_free(plex_ext_of(me));
    }
    memset(me, 0, sizeof *me);
    list_init(&me->idle_blocks);
}

AP_API int auto_plex_set_release_policy(int policy) {
    if (policy != AUTO_PLEX_RELEASE_PAGES && policy != AUTO_PLEX_RELEASE_TRIM) return -22;
    s_release_policy = policy;
    return 0;
}

AP_API void *auto_plex_alloc(auto_plex *me) {
    LIBAP_CHECK(me);
    return plex_pool_alloc(me);
}

AP_API void auto_plex_free(auto_plex *me, void *ptr) {
    LIBAP_CHECK(me);
    LIBAP_CHECK(ptr);
    // Checked first: a cleared plex has no directory to search.
    if (!me->using_tree || !plex_pool_free(me, ptr)) [[unlikely]]
        auto_plex_free_refused_internal(me);
}

}  // extern "C"
