// What the tests share: capture of callback reports, files, and walkers that
// recompute the pools' invariants from scratch (slow on purpose: the
// randomized run calls them after every step).
#ifndef AUTO_PLEX_TESTS_TESTING_H
#define AUTO_PLEX_TESTS_TESTING_H

#include <gtest/gtest.h>
#include <malloc.h>
#include <stdarg.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fault.h"
#include "private/auto_plex_private.h"

namespace t {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// ---- reports ---------------------------------------------------------------

// A logging function that records every call without allocating, so that a
// mallinfo taken right after a report sees what the report saw.
struct Call {
    const char *routine;
    int line;
    const char *text;
};
inline Call g_calls[8192];
inline char g_text[1 << 20];
inline size_t g_call_count, g_text_used;

inline int capture(const char *routine, int line, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(g_text + g_text_used, sizeof g_text - g_text_used, format, ap);
    va_end(ap);
    g_calls[g_call_count++] = {routine, line, g_text + g_text_used};
    g_text_used += static_cast<size_t>(n) + 1;
    return 0;
}

// The calls recorded since the last time, one "routine:line:text" each.
inline std::string captured() {
    std::string all;
    for (size_t i = 0; i < g_call_count; i++)
        all += std::string(g_calls[i].routine) + ":" + std::to_string(g_calls[i].line) + ":" +
               g_calls[i].text;
    g_call_count = g_text_used = 0;
    return all;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string temp_path(const char *tag) {
    return ::testing::TempDir() + "ap_" + tag + "_" + std::to_string(getpid());
}

// This process's "ppid:%u pid:%u" becomes "ppid:P pid:P", and every
// "YYYY-MM-DD HH:MM:SS" line "<time>".
inline std::string masked(std::string text) {
    std::string pids = "ppid:" + std::to_string(getppid()) + " pid:" + std::to_string(getpid());
    for (size_t at; (at = text.find(pids)) != std::string::npos;)
        text.replace(at, pids.size(), "ppid:P pid:P");
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line)) {
        bool stamp = line.size() == 19 && line[4] == '-' && line[10] == ' ' && line[13] == ':';
        out += (stamp ? "<time>" : line) + "\n";
    }
    return text.empty() || text.back() == '\n' ? out : out.substr(0, out.size() - 1);
}

// Runs `body` in a freshly started copy of the test binary (the threadsafe
// death-test style re-executes it), for cases that need the process-wide
// state of a new process; the child exits 0 only if it saw no failure.
template <class Body>
void in_fresh_process(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- memory the pools keep closed to the memory checkers -------------------

// A free slot's link, read without leaving it open.
inline void *peek_link(const void *slot) {
    void *next = plex_read_link(slot);
    plex_slots_close(slot, sizeof next);
    return next;
}

// A copy of n bytes of never-used or released slots.
inline std::string peek(const void *p, size_t n) {
#ifdef PLEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef PLEX_VALGRIND
    VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
    std::string bytes(static_cast<const char *>(p), n);
    plex_slots_close(p, n);
    return bytes;
}

// ---- walkers ---------------------------------------------------------------

inline int balance(const avl_node *n) {
    return static_cast<int>(n->parent_and_balance & AVL_BALANCE_MASK) - 1;
}

using Less = std::function<bool(const avl_node *, const avl_node *)>;

// Height of the subtree at n, or -1 once `err` holds the first violation:
// parent links, balance bits, order between each node and its children.
inline int height(const avl_node *n, const avl_node *parent, const Less &less, size_t *count,
                  std::ostringstream &err) {
    if (!n) return 0;
    if (avl_node_parent(n) != parent) err << "node " << n << " names a wrong parent";
    if ((n->left && !less(n->left, n)) || (n->right && !less(n, n->right)))
        err << "children of " << n << " out of order";
    if (!err.str().empty()) return -1;
    ++*count;
    int hl = height(n->left, n, less, count, err),
        hr = hl < 0 ? -1 : height(n->right, n, less, count, err);
    if (hr < 0) return -1;
    if (hr - hl != balance(n)) {
        err << "node " << n << " stores balance " << balance(n) << ", heights differ by "
            << hr - hl;
        return -1;
    }
    return 1 + std::max(hl, hr);
}

// The whole tree, with global order checked by an in-order walk (child checks
// alone miss a grandchild on the wrong side).
inline AssertionResult avl_valid(avl_node *root, const Less &less, size_t expected) {
    std::ostringstream err;
    size_t count = 0, walked = 0;
    if (height(root, nullptr, less, &count, err) < 0) return AssertionFailure() << err.str();
    const avl_node *prev = nullptr;
    for (avl_node *n = avl_tree_first_in_order(root); n; prev = n, n = avl_tree_next_in_order(n)) {
        if (prev && !less(prev, n)) return AssertionFailure() << "in-order walk out of order";
        walked++;
    }
    if (count != expected || walked != expected)
        return AssertionFailure() << count << " nodes, " << walked << " walked, " << expected
                                  << " expected";
    return AssertionSuccess();
}

inline size_t tree_size(avl_node *root) {
    size_t n = 0;
    for (avl_node *it = avl_tree_first_in_order(root); it; it = avl_tree_next_in_order(it))
        n++;
    return n;
}

inline std::vector<auto_plex_block *> blocks_of(const auto_plex *me) {
    std::vector<auto_plex_block *> v;
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n))
        v.push_back(plex_block_of_node(n));
    return v;
}

inline size_t idle_count(const auto_plex *me) {
    size_t n = 0;
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next)
        n++;
    return n;
}

// Every invariant of an initialised plex.  The using tree and the room tree
// are valid AVL trees of disjoint blocks by address; each block's free list
// holds exactly its released slots; the counters are the sums over the
// blocks; first_free_block is the lowest block with room and the room tree
// holds exactly the blocks with room; idle records own nothing; a bounded
// plex stays within its bound and its records.
inline AssertionResult plex_valid(const auto_plex *me) {
    auto by_address = [](const avl_node *a, const avl_node *b) {
        return get_end_ptr(&plex_block_of_node(a)->ctl) <
               get_start_ptr(&plex_block_of_node(b)->ctl);
    };
    const size_t live = tree_size(me->using_tree);
    if (AssertionResult r = avl_valid(me->using_tree, by_address, live); !r) return r;
    if (live != me->count_expand - me->count_clear)
        return AssertionFailure() << live << " live blocks, counters say "
                                  << me->count_expand - me->count_clear;
    uint64_t alloc = 0, used = 0;
    std::vector<avl_node *> with_room;
    for (auto_plex_block *b : blocks_of(me)) {
        const plex_block_head *h = plex_head_of(&b->ctl);
        const char *start = get_start_ptr(&b->ctl);
        const uint64_t slot = b->ctl.item_size, ever = (h->fresh_slot - start) / slot;
        if (b->idle_link.next || b->idle_link.prev ||
            slot != std::max<uint64_t>(me->item_size, 8) || h->fresh_slot < start ||
            h->fresh_slot > get_end_ptr(&b->ctl) || (h->fresh_slot - start) % slot ||
            h->using_num > ever)
            return AssertionFailure() << "block " << b << " header or links inconsistent";
        uint64_t free_slots = 0;
        for (const char *s = static_cast<char *>(b->ctl.free_list); s;
             s = static_cast<char *>(peek_link(s))) {
            if (s < start || s >= h->fresh_slot || (s - start) % slot || ++free_slots > ever)
                return AssertionFailure() << "block " << b << " free list leaves its slots";
        }
        if (free_slots != ever - h->using_num)
            return AssertionFailure() << "block " << b << " lost or gained a free slot";
        alloc += h->alloc_num;
        used += h->using_num;
        if (h->using_num < h->alloc_num) with_room.push_back(&plex_record_of(b)->room_node);
    }
    if (alloc != me->alloc_num || used != me->using_num)
        return AssertionFailure() << "counters " << me->alloc_num << "/" << me->using_num
                                  << ", blocks hold " << alloc << "/" << used;
    const auto_plex_ext *ext = plex_ext_of(me);
    auto room_less = [](const avl_node *a, const avl_node *b) {
        return get_start_ptr(&plex_record_of_room(a)->pub.ctl) <
               get_start_ptr(&plex_record_of_room(b)->pub.ctl);
    };
    if (AssertionResult r = avl_valid(ext->room_root, room_less, with_room.size()); !r)
        return AssertionFailure() << "room tree: " << r.message();
    size_t i = 0;
    for (avl_node *n = avl_tree_first_in_order(ext->room_root); n; n = avl_tree_next_in_order(n))
        if (n != with_room[i++]) return AssertionFailure() << "room tree holds a full block";
    auto_plex_block *lowest = with_room.empty() ? nullptr : &plex_record_of_room(with_room[0])->pub;
    if (me->first_free_block != lowest)
        return AssertionFailure() << "first_free_block is not the lowest block with room";
    if (ext->peak_using_num < me->using_num) return AssertionFailure() << "peak below using_num";
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next)
        if (plex_block_of_idle(l)->ctl.head || l->next->prev != l)
            return AssertionFailure() << "idle list broken or idle record owns memory";
    if (me->max_num && (me->alloc_num > me->max_num || live + idle_count(me) > me->block_num))
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

// System blocks an initialised plex owns: its extension, its records, and the
// memory of its live blocks.
inline long plex_owned(const auto_plex *me) {
    return 1 + static_cast<long>(idle_count(me) + 2 * tree_size(me->using_tree));
}

}  // namespace t

#endif
