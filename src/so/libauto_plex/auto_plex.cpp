// auto_plex: the pool of blocks.
//
// Owned state: plex_registry (every initialised control block) and its lock,
// the once-per-process answer to "does the pre-allocation marker exist".
// What a released block's memory becomes is plex_release.cpp's.  Each control block owns its
// extension (lock, peak, block directory, name; auto_plex_private.h), its block records (in
// using_tree or on idle_blocks) and the block memory of the records in the
// tree; the extension's lock guards all of it.
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
#include "platform/ap_inject.h"
#include "platform/ap_sys.h"
#include "private/auto_plex_private.h"
#include "private/settings.h"

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

ap_lock s_registry_lock;

// The marker is looked for once, by the first auto_plex_init of the process
// (under the registry lock).
bool s_marker_checked;
bool s_pre_allocate;

constexpr uint64_t kBlockBytesTarget = 128 * 1024;
constexpr unsigned kBlockBytesShift = 17;
// An unbounded plex's blocks are at least kBlockBytesTarget long, so one
// block starts within a granule at most: what the granule map relies on.
static_assert(kPlexGranuleShift == kBlockBytesShift &&
              (uint64_t{1} << kPlexGranuleShift) <= kBlockBytesTarget);
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

// ---- system allocator adapters for the block layer -----------------------

void *plain_malloc(void *, size_t size) {
    return plex_release_obtain_internal(size, size);
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

// A block that got memory joins using_tree and the directory together, and
// leaves both together; nothing else changes either.  The directory must
// have room reserved (plex_dir_reserve).
void add_block(auto_plex *me, auto_plex_block *block) {
    avl_node **link = &me->using_tree;
    avl_node *parent = nullptr;
    while (*link) {
        parent = *link;
        link = cmp_block_ctl_nodes(&block->tree_node, parent) < 0 ? &parent->left : &parent->right;
    }
    avl_tree_link_node(&block->tree_node, parent, link);
    avl_tree_rebalance_after_insert(&me->using_tree, &block->tree_node);
    plex_directory *dir = &plex_ext_of(me)->dir;
    plex_dir_insert(dir, block, me->max_num == 0);
    plex_set_first(me, dir, dir->first);
}

void remove_block(auto_plex *me, uint32_t i) {
    plex_directory *dir = &plex_ext_of(me)->dir;
    auto_plex_block *block = dir->block[i];
    plex_dir_erase(dir, i);
    plex_set_first(me, dir, dir->first);
    avl_tree_remove(&me->using_tree, &block->tree_node);
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
// is one failure point.  The extension starts a cache line, so that the
// plex's lock and directory share none with another plex's.
char *new_ext(const char *name) {
    const size_t len = strlen(name) + 1, align = alignof(auto_plex_ext);
    void *mem = ap_sys_malloc(sizeof(auto_plex_ext) + align - 1 + len);
    if (!mem) return nullptr;
    auto *ext = reinterpret_cast<auto_plex_ext *>((reinterpret_cast<uintptr_t>(mem) + align - 1) &
                                                  ~uintptr_t{align - 1});
    *ext = auto_plex_ext{};
    ext->allocation = mem;
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
    if (!plex_dir_reserve(&plex_ext_of(me)->dir) ||
        plex_expand_internal(&block->ctl, n, malloc_f) != 0) {
        me->expand_failed++;
        block->ctl.head = nullptr;
        block->ctl.free_list = nullptr;
        if (fresh_record) ap_sys_free(plex_record_of(block));
        me->alloc_failed++;
        return nullptr;
    }
    // The map's leaves only once the block's range is known.
    if (me->max_num == 0 &&
        !granule_map_reserve(reinterpret_cast<uintptr_t>(get_start_ptr(&block->ctl)),
                             reinterpret_cast<uintptr_t>(get_end_ptr(&block->ctl)))) {
        plex_clear_internal(&block->ctl, system_free);
        if (fresh_record) ap_sys_free(plex_record_of(block));
        me->expand_failed++;
        me->alloc_failed++;
        return nullptr;
    }
    if (!fresh_record) list_unlink(&block->idle_link);
    LIBAP_CHECK_MSG(me->first_free_block == nullptr, "me->first_free_block == ((void *)0)");
    add_block(me, block);  // the only block with room: first_free_block
    me->alloc_num += n;
    me->count_expand++;
    auto_plex_taken_up_internal(block_bytes(&block->ctl));
    return block;
}

// ---- release -------------------------------------------------------------

void release_memory(plex *ctl) {
    const size_t bytes = block_bytes(ctl);
    void *mem = ctl->head;
    plex_clear_internal(ctl, [](void *, void *) {});  // the memory is handed on whole
    plex_release_block_internal(mem, bytes);
}

// ---- fork ------------------------------------------------------------------

void take_registry() {
    ap_lock_take(&s_registry_lock, kRankPlexRegistry);
}
void give_registry() {
    ap_lock_give(&s_registry_lock, kRankPlexRegistry);
}
// The registry lock is held: the list stands still.
void take_plexes() {
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next)
        ap_lock_take(plex_lock_of(plex_of_registry_link(l)), kRankPlex, true);
}
void give_plexes() {
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next)
        ap_lock_give(plex_lock_of(plex_of_registry_link(l)), kRankPlex);
}

// Checked first: a cleared plex has no directory to search.
inline void plex_free_checked(auto_plex *me, void *ptr) {
    if (!me->using_tree || !plex_pool_free(me, ptr)) [[unlikely]]
        auto_plex_free_refused_internal(me);
}

[[gnu::noinline]] void *plex_alloc_locked(auto_plex *me) {
    plex_guard g(me, true);
    return plex_pool_alloc(me);
}

// auto_plex_alloc while fault injection is armed, out of line so that the
// unarmed call keeps its tail calls.  An injected failure is counted as any
// failed allocation and apart; nothing else changes.  A cleared plex has no
// name, so it never fails here.
[[gnu::noinline, gnu::cold]] void *plex_alloc_armed(auto_plex *me) {
    if (ap_inject_fail({kInjectPlex, -1, -1, me->module_name, me->item_size})) {
        plex_guard g(me);
        me->alloc_failed++;
        plex_ext_of(me)->alloc_injected++;
        return nullptr;
    }
    return ap_threaded() ? plex_alloc_locked(me) : plex_pool_alloc(me);
}

[[gnu::noinline]] void plex_free_locked(auto_plex *me, void *ptr) {
    plex_guard g(me, true);
    plex_free_checked(me, ptr);
}

}  // namespace

auto_plex_block *auto_plex_grow_internal(auto_plex *me) {
    return auto_plex_expand(me, plain_malloc);
}

void auto_plex_emptied_internal(auto_plex *me, plex_directory *dir, uint32_t i) {
    auto_plex_block *block = dir->block[i];
    LIBAP_CHECK(me && block);
    if (me->alloc_num - me->using_num <= me->step_alloc_num * 3 / 2) return;

    remove_block(me, i);
    list_push_front(&me->idle_blocks, &block->idle_link);
    me->alloc_num -= plex_head_of(&block->ctl)->alloc_num;
    me->count_clear++;
    release_memory(&block->ctl);
}

auto_plex_block *auto_plex_find_block_internal(const auto_plex *me, const void *ptr) {
    if (!me->using_tree) return nullptr;  // also: a cleared plex has no directory
    const plex_directory &dir = plex_ext_of(me)->dir;
    const uint32_t i = plex_dir_find(dir, reinterpret_cast<uintptr_t>(ptr));
    return i == kPlexNoBlock ? nullptr : dir.block[i];
}

ap_lock *plex_registry_lock_internal() {
    return &s_registry_lock;
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
    // Outside the registry lock: fork() runs the handlers with glibc's own
    // lock held, which pthread_atfork takes too.
    ap_fork_register(kRankPlexRegistry, {take_registry, give_registry});
    ap_fork_register(kRankPlex, {take_plexes, give_plexes});
    plex_release_setup_internal();
    ap_settings_load_once();
    {
        ap_guard g(&s_registry_lock, kRankPlexRegistry);
        if (!s_marker_checked) {
            s_marker_checked = true;
            s_pre_allocate = ap_sys_marker_exists();
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

    ap_guard g(&s_registry_lock, kRankPlexRegistry);
    list_push_front(&plex_registry, &me->plex_link);
    return 0;
}

// The plex leaves the registry first: from then on no report or fork handler
// reaches it, and the host may not use it from any other thread.
AP_API void auto_plex_clear(auto_plex *me) {
    LIBAP_CHECK(me);
    {
        // Under the lock even to look: a neighbour's init or clear rewrites
        // this plex's links.
        ap_guard g(&s_registry_lock, kRankPlexRegistry);
        if (me->plex_link.next && me->plex_link.prev) list_unlink(&me->plex_link);
    }
    size_t held = 0;

    // The granule map forgets the blocks before their memory can be another
    // pool's.
    if (me->module_name) plex_dir_release(&plex_ext_of(me)->dir);
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        held += block_bytes(&plex_block_of_node(n)->ctl);
        plex_clear_internal(&plex_block_of_node(n)->ctl, system_free);
    }
    if (held) plex_release_cleared_internal(held);

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

    if (me->module_name) ap_sys_free(plex_ext_of(me)->allocation);
    memset(me, 0, sizeof *me);
    list_init(&me->idle_blocks);
}

// The thread count is asked once; a single-threaded process runs the pool's
// code with no lock at all, and the locked copy is out of line so that it
// costs the single-threaded path no registers.
AP_API void *auto_plex_alloc(auto_plex *me) {
    LIBAP_CHECK(me);
    if (ap_inject_armed()) [[unlikely]]
        return plex_alloc_armed(me);
    if (ap_threaded()) [[unlikely]]
        return plex_alloc_locked(me);
    return plex_pool_alloc(me);
}

AP_API void auto_plex_free(auto_plex *me, void *ptr) {
    LIBAP_CHECK(me);
    LIBAP_CHECK(ptr);
    if (ap_threaded()) [[unlikely]]
        return plex_free_locked(me, ptr);
    plex_free_checked(me, ptr);
}

}  // extern "C"
