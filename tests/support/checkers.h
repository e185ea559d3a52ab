// Test-only walkers that recompute every invariant from scratch.  They are
// slow on purpose: run them after each mutation in randomized sequences.
#ifndef AUTO_PLEX_TESTS_CHECKERS_H
#define AUTO_PLEX_TESTS_CHECKERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <sstream>

#include "auto_plex.h"

namespace checkers {

inline int stored_balance(const avl_node *n) {
    return static_cast<int>(n->parent_and_balance & AVL_BALANCE_MASK) - 1;
}

// Height of the subtree at `n`, or -1 after recording the first violation in
// `err`: parent links, balance bits equal to the height difference, and
// strict order by `less` between each node and its subtrees' extremes.
inline int subtree_height(const avl_node *n, const avl_node *parent,
                          const std::function<bool(const avl_node *, const avl_node *)> &less,
                          size_t *count, std::ostringstream &err) {
    if (!n) return 0;
    if (avl_node_parent(n) != parent) {
        err << "node " << n << " names parent " << avl_node_parent(n) << ", linked from " << parent;
        return -1;
    }
    if ((n->parent_and_balance & AVL_BALANCE_MASK) == 3) {
        err << "node " << n << " has balance bits 3";
        return -1;
    }
    if (n->left && !less(n->left, n)) {
        err << "left child of " << n << " does not order before it";
        return -1;
    }
    if (n->right && !less(n, n->right)) {
        err << "right child of " << n << " does not order after it";
        return -1;
    }
    ++*count;
    int hl = subtree_height(n->left, n, less, count, err);
    if (hl < 0) return -1;
    int hr = subtree_height(n->right, n, less, count, err);
    if (hr < 0) return -1;
    if (hr - hl != stored_balance(n)) {
        err << "node " << n << " stores balance " << stored_balance(n) << " but heights differ by "
            << hr - hl;
        return -1;
    }
    return 1 + (hl > hr ? hl : hr);
}

// Checks the whole tree, including global order through an in-order walk
// (child checks alone miss a grandchild on the wrong side).
inline ::testing::AssertionResult avl_valid(
    avl_node *root, const std::function<bool(const avl_node *, const avl_node *)> &less,
    size_t expected_count) {
    std::ostringstream err;
    size_t count = 0;
    if (subtree_height(root, nullptr, less, &count, err) < 0)
        return ::testing::AssertionFailure() << err.str();
    if (count != expected_count)
        return ::testing::AssertionFailure() << count << " nodes, expected " << expected_count;
    const avl_node *prev = nullptr;
    size_t walked = 0;
    for (avl_node *n = avl_tree_first_in_order(root); n; n = avl_tree_next_in_order(n), ++walked) {
        if (prev && !less(prev, n))
            return ::testing::AssertionFailure() << "in-order walk out of order";
        prev = n;
    }
    if (walked != expected_count)
        return ::testing::AssertionFailure() << "in-order walk saw " << walked << " nodes";
    return ::testing::AssertionSuccess();
}

inline const auto_plex_block *block_of(const avl_node *n) {
    return reinterpret_cast<const auto_plex_block *>(reinterpret_cast<const char *>(n) -
                                                     offsetof(auto_plex_block, tree_node));
}

inline const plex_block_head *head_of(const auto_plex_block *b) {
    return static_cast<const plex_block_head *>(b->ctl.head);
}

inline uintptr_t start_of(const auto_plex_block *b) {
    return reinterpret_cast<uintptr_t>(b->ctl.head) + PLEX_BLOCK_HEAD_SIZE;
}

inline uintptr_t end_of(const auto_plex_block *b) {
    return start_of(b) + uint64_t{head_of(b)->alloc_num} * b->ctl.item_size;
}

inline size_t tree_size(avl_node *root) {
    size_t n = 0;
    for (avl_node *it = avl_tree_first_in_order(root); it; it = avl_tree_next_in_order(it))
        n++;
    return n;
}

// Every invariant of an initialised plex: the tree is a valid AVL tree of
// non-overlapping blocks in address order, counters are the sums over its
// blocks, first_free_block is the lowest block with room, idle records own
// nothing, and a bounded plex stays within its bound.
inline ::testing::AssertionResult plex_valid(const auto_plex *me) {
    auto by_address = [](const avl_node *a, const avl_node *b) {
        return end_of(block_of(a)) < start_of(block_of(b));
    };
    auto tree = avl_valid(me->using_tree, by_address, tree_size(me->using_tree));
    if (!tree) return tree;

    uint64_t alloc = 0, using_ = 0;
    const auto_plex_block *lowest_with_room = nullptr;
    for (avl_node *n = avl_tree_first_in_order(me->using_tree); n; n = avl_tree_next_in_order(n)) {
        const auto_plex_block *b = block_of(n);
        if (!b->ctl.head) return ::testing::AssertionFailure() << "tree block without memory";
        if (b->idle_link.next || b->idle_link.prev)
            return ::testing::AssertionFailure() << "tree block still linked as idle";
        const plex_block_head *h = head_of(b);
        if (h->using_num > h->alloc_num)
            return ::testing::AssertionFailure() << "block uses more slots than it has";
        alloc += h->alloc_num;
        using_ += h->using_num;
        if (!lowest_with_room && h->using_num < h->alloc_num) lowest_with_room = b;
    }
    if (alloc != me->alloc_num)
        return ::testing::AssertionFailure()
               << "alloc_num " << me->alloc_num << ", blocks hold " << alloc;
    if (using_ != me->using_num)
        return ::testing::AssertionFailure()
               << "using_num " << me->using_num << ", blocks use " << using_;
    if (me->first_free_block != lowest_with_room)
        return ::testing::AssertionFailure()
               << "first_free_block is not the lowest block with room";
    if (me->max_num && me->alloc_num > me->max_num)
        return ::testing::AssertionFailure() << "bounded plex holds more than max_num slots";
    for (const auto_plex_link *l = me->idle_blocks.next; l != &me->idle_blocks; l = l->next) {
        const auto *b = reinterpret_cast<const auto_plex_block *>(
            reinterpret_cast<const char *>(l) - offsetof(auto_plex_block, idle_link));
        if (b->ctl.head) return ::testing::AssertionFailure() << "idle record owns memory";
        if (l->next->prev != l) return ::testing::AssertionFailure() << "idle list links broken";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace checkers

#endif
