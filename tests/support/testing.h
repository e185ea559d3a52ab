// What the tests share: walkers that recompute the pools' invariants from
// their own state (slow on purpose: the randomized run calls them after every
// step), files and fresh processes.
#ifndef AUTO_PLEX_TESTS_TESTING_H
#define AUTO_PLEX_TESTS_TESTING_H

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fault.h"
#include "private/auto_plex_private.h"

namespace t {

using ::testing::AssertionFailure, ::testing::AssertionResult, ::testing::AssertionSuccess;

// ---- files and processes ---------------------------------------------------

inline std::string read_file(const std::string &path) {
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

// A fresh name: whatever a killed run with the same pid left there goes.
inline std::string temp_path(const char *tag) {
    std::string path = ::testing::TempDir() + "ap_" + tag + "_" + std::to_string(getpid());
    std::filesystem::remove_all(path);
    return path;
}

// Runs `body` in a freshly started copy of the test binary (the threadsafe
// death-test style re-executes it), for cases that need the process-wide
// state of a new process; the child exits 0 only if it saw no failure.
// AP_SAME_PROCESS=1 runs it in place, to see its failures when the test is
// run alone.
template <class Body>
void in_fresh_process(Body body) {
    if (getenv("AP_SAME_PROCESS")) return body();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((body(), exit(::testing::Test::HasFailure())), ::testing::ExitedWithCode(0), "");
}

// A text sink (ap_text_sink) that appends to the std::string at `to`.
inline int append_to(const char *text, size_t n, void *to) {
    return static_cast<std::string *>(to)->append(text, n), 0;
}

// Copies never-used or released slot memory, which the pools keep closed to
// the memory checkers, into `out`; closed again afterwards.
inline std::string &peek(std::string &out, const void *p, size_t n) {
#ifdef PLEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
    out.assign(static_cast<const char *>(p), n);
    plex_slots_close(p, n);
    return out;
}

// Runs `write` with [p, p + n) open to the memory checkers, then closes it.
template <class Write>
void with_open(void *p, size_t n, Write write) {
    plex_mem_open(p, n);
    write();
    plex_slots_close(p, n);
}

// ---- walkers ---------------------------------------------------------------

inline int balance(const avl_node *n) {
    return static_cast<int>(n->parent_and_balance & AVL_BALANCE_MASK) - 1;
}

using Less = std::function<bool(const avl_node *, const avl_node *)>;

// Height of the subtree at n, or -1 once `err` holds the first violation:
// parent links, balance bits, order between a node and its children.
inline int height(const avl_node *n, const avl_node *parent, const Less &less, size_t *count,
                  std::ostringstream &err) {
    if (!n) return 0;
    if (avl_node_parent(n) != parent || (n->left && !less(n->left, n)) ||
        (n->right && !less(n, n->right)))
        return err << "node " << n << " has a wrong parent or children out of order", -1;
    ++*count;
    int hl = height(n->left, n, less, count, err),
        hr = hl < 0 ? -1 : height(n->right, n, less, count, err);
    if (hr >= 0 && hr - hl != balance(n))
        return err << "node " << n << " stores balance " << balance(n) << ", heights differ by "
                   << hr - hl,
               -1;
    return hr < 0 ? -1 : 1 + std::max(hl, hr);
}

// The whole tree, with global order checked by an in-order walk (child checks
// alone miss a grandchild on the wrong side).
inline AssertionResult avl_valid(avl_node *root, const Less &less, size_t expected) {
    std::ostringstream err;
    size_t count = 0, walked = 0;
    if (height(root, nullptr, less, &count, err) < 0) return AssertionFailure() << err.str();
    for (avl_node *n = avl_tree_first_in_order(root), *prev = nullptr; n;
         prev = n, n = avl_tree_next_in_order(n))
        if (walked++, prev && !less(prev, n))
            return AssertionFailure() << "in-order walk out of order";
    if (count != expected || walked != expected)
        return AssertionFailure() << count << " nodes, " << walked << " walked, " << expected
                                  << " expected";
    return AssertionSuccess();
}

inline std::vector<auto_plex_block *> blocks_of(const auto_plex *me) {
    std::vector<auto_plex_block *> v;
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n))
        v.push_back(plex_block_of_node(n));
    return v;
}

inline size_t block_bytes(const auto_plex_block *b) {
    return PLEX_BLOCK_HEAD_SIZE + size_t{plex_head_of(&b->ctl)->alloc_num} * b->ctl.item_size;
}

inline size_t idle_count(const auto_plex *me) {
    size_t n = 0;
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next)
        n++;
    return n;
}

// Every invariant of an initialised plex.  The using tree is a valid AVL
// tree of disjoint blocks by address and the directory lists the same blocks
// in the same order; each block's free list holds exactly its released slots;
// the counters are the sums over the blocks; the room bits mark exactly the
// blocks with room and first_free_block is the lowest of them; idle records
// own nothing; a bounded plex stays within its bound and its records.
inline AssertionResult plex_valid(const auto_plex *me) {
    auto blocks = blocks_of(me);
    auto by_address = [](const avl_node *a, const avl_node *b) {
        return get_end_ptr(&plex_block_of_node(a)->ctl) <
               get_start_ptr(&plex_block_of_node(b)->ctl);
    };
    if (AssertionResult r = avl_valid(me->using_tree, by_address, blocks.size()); !r) return r;
    if (blocks.size() != me->count_expand - me->count_clear)
        return AssertionFailure() << blocks.size() << " live blocks, counters say otherwise";
    const plex_directory &dir = plex_ext_of(me)->dir;
    if (dir.count != blocks.size() || dir.capacity < dir.count)
        return AssertionFailure() << "the directory does not list every block";
    uint64_t alloc = 0, used = 0, room_bits = 0;
    auto_plex_block *lowest_with_room = nullptr;
    for (auto_plex_block *const &b : blocks) {
        const size_t k = &b - blocks.data();
        const bool room = dir.room[k / 64] >> (k % 64) & 1;
        const plex_block_head *h = plex_head_of(&b->ctl);
        const char *start = get_start_ptr(&b->ctl);
        const uint64_t slot = b->ctl.item_size, ever = (h->fresh_slot - start) / slot;
        uint64_t free_slots = 0;
        std::string link;  // reused: the walk allocates once per block
        for (const char *s = static_cast<char *>(b->ctl.free_list); s && free_slots <= ever;
             memcpy(&s, peek(link, s, sizeof s).data(), sizeof s))
            if (s < start || s >= h->fresh_slot || (s - start) % slot || ++free_slots > ever) {
                free_slots = UINT64_MAX;  // a link that leaves the block, or a cycle
                break;
            }
        if (b->idle_link.next || b->idle_link.prev ||
            slot != std::max<uint64_t>(me->item_size, 8) || h->fresh_slot < start ||
            h->fresh_slot > get_end_ptr(&b->ctl) || (h->fresh_slot - start) % slot ||
            h->using_num > ever || free_slots != ever - h->using_num)
            return AssertionFailure()
                   << "block " << b << ": header, links or free list inconsistent";
        alloc += h->alloc_num;
        used += h->using_num;
        if (dir.block[k] != b || dir.start[k] != reinterpret_cast<uintptr_t>(start) ||
            dir.end[k] != reinterpret_cast<uintptr_t>(get_end_ptr(&b->ctl)) ||
            room != (h->using_num < h->alloc_num))
            return AssertionFailure() << "directory entry " << k << " disagrees with its block";
        room_bits += room;
        if (room && !lowest_with_room) lowest_with_room = b;
    }
    for (uint32_t w = 0; w < (dir.capacity + 63) / 64; w++)
        room_bits -= __builtin_popcountll(dir.room[w]);
    if (room_bits) return AssertionFailure() << "room bits set past the last block";
    if (dir.count && dir.mapped != (me->max_num == 0))
        return AssertionFailure()
               << "the granule map lists a bounded plex, or misses an unbounded one";
    for (uint32_t k = 0; k < dir.count && dir.mapped; k++)  // each granule's first and last byte
        for (uintptr_t g = dir.start[k] >> kPlexGranuleShift;
             g <= (dir.end[k] - 1) >> kPlexGranuleShift; g++)
            if (granule_map_hint(reinterpret_cast<void *>(
                    std::max(dir.start[k], g << kPlexGranuleShift))) != k ||
                granule_map_hint(reinterpret_cast<void *>(
                    std::min(dir.end[k], (g + 1) << kPlexGranuleShift) - 1)) != k)
                return AssertionFailure() << "granule " << g << " maps to the wrong block";
    if (alloc != me->alloc_num || used != me->using_num)
        return AssertionFailure() << "counters " << me->alloc_num << "/" << me->using_num
                                  << ", blocks hold " << alloc << "/" << used;
    if (me->first_free_block != lowest_with_room ||
        dir.first != (lowest_with_room ? std::find(blocks.begin(), blocks.end(), lowest_with_room) -
                                             blocks.begin()
                                       : dir.count))
        return AssertionFailure() << "first_free_block is not the lowest block with room";
    if (plex_ext_of(me)->peak_using_num < me->using_num)
        return AssertionFailure() << "peak below using_num";
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next)
        if (plex_block_of_idle(l)->ctl.head || l->next->prev != l)
            return AssertionFailure() << "idle list broken or idle record owns memory";
    if (me->max_num &&
        (me->alloc_num > me->max_num || blocks.size() + idle_count(me) > me->block_num))
        return AssertionFailure() << "bounded plex past its bound or its records";
    return AssertionSuccess();
}

// The slot the next auto_plex_alloc must hand out: the lowest block with
// room's most recently freed slot, else its next never-used one; null when
// the plex has to grow first.
inline void *next_slot(const auto_plex *me) {
    for (auto_plex_block *b : blocks_of(me)) {
        const plex_block_head *h = plex_head_of(&b->ctl);
        if (h->using_num < h->alloc_num) return b->ctl.free_list ? b->ctl.free_list : h->fresh_slot;
    }
    return nullptr;
}

// System blocks an initialised plex owns: its extension, its directory once
// it exists, its records, and the memory of its live blocks.
inline long plex_owned(const auto_plex *me) {
    const plex_directory &dir = plex_ext_of(me)->dir;
    return 1 + (dir.capacity != 0) + static_cast<long>(idle_count(me) + 2 * blocks_of(me).size());
}

}  // namespace t

#endif
