// auto_plex: the pool of blocks.
//
// Owned state: plex_registry (every initialised control block), the
// once-per-process answer to "does the pre-allocation marker exist", and the
// block-event subscriber.  Each control block owns its extension (peak, room
// tree, name; auto_plex_private.h), its block records (in using_tree or on
// idle_blocks) and the block memory of the records in the tree.
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
plex_block_hook s_block_hook;

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

void notify(const auto_plex *me, const auto_plex_block *block, plex_block_event event) {
    if (s_block_hook) s_block_hook(me, block, event);
}

// ---- blocks with room --------------------------------------------------------
//
// Every live block that has a free slot is also linked, by address, into a
// second AVL tree whose leftmost node is first_free_block.  Finding "the
// lowest block with room" after the current one fills up, or goes away, is
// then one in-order step instead of a walk over every full block in between
// (a steady churn over a large pool would otherwise walk on most
// allocations).  Hand-out order is unchanged: it is still the lowest block
// with room.

// `block` has just gained room (it is new, or was full).
void room_insert(auto_plex *me, auto_plex_block *block) {
    avl_node **root = &plex_ext_of(me)->room_root;
    avl_node **link = root, *parent = nullptr;
    const char *start = get_start_ptr(&block->ctl);
    while (*link) {
        parent = *link;
        link = start < get_start_ptr(&plex_record_of_room(parent)->pub.ctl) ? &parent->left
                                                                            : &parent->right;
    }
    avl_node *node = &plex_record_of(block)->room_node;
    avl_tree_link_node(node, parent, link);
    avl_tree_rebalance_after_insert(root, node);
    if (!me->first_free_block || start < get_start_ptr(&me->first_free_block->ctl))
        me->first_free_block = block;
}

// `block` has no room any more, or is being released.
void room_remove(auto_plex *me, auto_plex_block *block) {
    avl_node *node = &plex_record_of(block)->room_node;
    if (me->first_free_block == block) {
        avl_node *next = avl_tree_next_in_order(node);
        me->first_free_block = next ? &plex_record_of_room(next)->pub : nullptr;
    }
    avl_tree_remove(&plex_ext_of(me)->room_root, node);
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

    uint64_t n;
    auto_plex_block *block;
    bool fresh_record = false;
    if (me->max_num != 0) {
        // A bounded plex never has more blocks than the records made at init.
        if (me->using_num >= me->max_num || list_empty(&me->idle_blocks)) {
            me->alloc_failed++;
            return nullptr;
        }
        n = std::min(me->max_num - me->using_num, me->step_alloc_num);
        block = plex_block_of_idle(me->idle_blocks.next);
    } else {
        n = me->step_alloc_num;
        if (!list_empty(&me->idle_blocks)) {
            block = plex_block_of_idle(me->idle_blocks.next);
        } else {
            block = new_record();
            if (!block) {
                me->expand_failed++;
                me->alloc_failed++;
                return nullptr;
            }
            fresh_record = true;
        }
    }

    plex_init_internal(&block->ctl, me->item_size);
    if (plex_expand_internal(&block->ctl, n, malloc_f) != 0) {
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
    room_insert(me, block);  // the only block with room: first_free_block
    notify(me, block, PLEX_BLOCK_ADDED);
    return block;
}

// ---- release -------------------------------------------------------------

// Called when `block` has just become empty.
void auto_plex_free_block(auto_plex *me, auto_plex_block *block) {
    LIBAP_CHECK(me && block);
    if (me->alloc_num - me->using_num <= me->step_alloc_num * 3 / 2) return;

    notify(me, block, PLEX_BLOCK_RELEASED);
    room_remove(me, block);
    avl_tree_remove(&me->using_tree, &block->tree_node);
    list_push_front(&me->idle_blocks, &block->idle_link);
    me->alloc_num -= plex_head_of(&block->ctl)->alloc_num;
    me->count_clear++;
    plex_clear_internal(&block->ctl, system_free);
    // Blocks are large; without a trim glibc may keep the pages mapped and the
    // host's resident size would not fall when its pools drain.
    ap_sys_trim();
}

}  // namespace

// The block whose slot area holds `ptr`, or null.  Blocks never overlap, so
// the only candidate is the block with the highest start at or below `ptr`;
// the descent compares start addresses only, which live in the records, and
// reads one block header at the end, instead of one per level.  The end
// address itself is one past the last slot and belongs to no block.
auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr) {
    const char *p = static_cast<const char *>(ptr);
    avl_node *node = me->using_tree, *floor = nullptr;
    while (node) {
        if (p < get_start_ptr(&plex_block_of_node(node)->ctl)) {
            node = node->left;
        } else {
            floor = node;
            node = node->right;
        }
    }
    if (!floor) return nullptr;
    auto_plex_block *block = plex_block_of_node(floor);
    return p < get_end_ptr(&block->ctl) ? block : nullptr;
}

void auto_plex_set_block_hook_internal(plex_block_hook hook) {
    s_block_hook = hook;
}

extern "C" {

AP_API int auto_plex_init(auto_plex *me, uint64_t item_size, uint64_t max_num,
                          const char *module_name) {
    if (!s_marker_checked) {
        s_marker_checked = true;
        s_pre_allocate = ap_sys_marker_exists();
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
        notify(me, plex_block_of_node(n), PLEX_BLOCK_RELEASED);
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

    if (me->module_name) ap_sys_free(plex_ext_of(me));
    memset(me, 0, sizeof *me);
    list_init(&me->idle_blocks);
}

AP_API void *auto_plex_alloc(auto_plex *me) {
    LIBAP_CHECK(me);
    auto_plex_block *block = me->first_free_block;
    if (!block) [[unlikely]] {
        block = auto_plex_expand(me, plain_malloc);
        if (!block) return nullptr;
    }
    void *ret = plex_alloc_internal(&block->ctl);
    LIBAP_CHECK(ret);
    me->using_num++;
    auto_plex_ext *ext = plex_ext_of(me);
    if (me->using_num > ext->peak_using_num) ext->peak_using_num = me->using_num;
    if (plex_is_full(&block->ctl)) room_remove(me, block);
    return ret;
}

AP_API void auto_plex_free(auto_plex *me, void *ptr) {
    LIBAP_CHECK(me);
    LIBAP_CHECK(ptr);
    LIBAP_CHECK(me->using_tree);

    auto_plex_block *block = auto_plex_find_block_internal(me, ptr);
    LIBAP_CHECK_MSG(block, "avl_node");

    bool was_full = plex_is_full(&block->ctl);
    plex_free_internal(&block->ctl, ptr);
    // A block that already had room is already in the room tree, and not
    // below first_free_block; one that was full becomes the allocation block
    // if it lies lower.
    if (was_full) room_insert(me, block);
    me->using_num--;

    if (plex_using_num(&block->ctl) != 0) return;
    auto_plex_free_block(me, block);
}

}  // extern "C"
