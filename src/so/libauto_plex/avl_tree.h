/* Intrusive AVL tree: the node lives inside the caller's record, the tree is
 * one root pointer, and the caller owns ordering.
 *
 * The tree knows no keys.  A caller inserts by descending with its own
 * comparison, linking the node at the empty place and then rebalancing:
 *
 *     avl_node **link = &root, *parent = NULL;
 *     while (*link) {
 *         parent = *link;
 *         int c = my_cmp(new_record, container_of(parent));
 *         if (c == 0) return;                    // already present
 *         link = c < 0 ? &parent->left : &parent->right;
 *     }
 *     avl_tree_link_node(&rec->node, parent, link);
 *     avl_tree_rebalance_after_insert(&root, &rec->node);
 *
 * Lookup is the same descent, stopping where the comparison matches.  No
 * operation allocates, recurses or checks its arguments; each moves along the
 * parent words, so it needs a fixed amount of stack. */
#ifndef LIBAUTO_PLEX_AVL_TREE_H
#define LIBAUTO_PLEX_AVL_TREE_H

#include <stdint.h>

#include "ap_api.h"

AP_BEGIN_DECLS

/* Three words.  parent_and_balance packs the parent's address with the
 * node's balance (height of right subtree minus height of left) stored as
 * balance + 1 in the two low bits:
 *
 *     0  left-heavy (-1)     1  balanced (0)     2  right-heavy (+1)
 *
 * 3 never occurs.  The packing needs every node at an address that is a
 * multiple of 4; the root's parent part is null. */
typedef struct avl_node {
    struct avl_node *left;
    struct avl_node *right;
    uintptr_t parent_and_balance;
} avl_node;

#define AVL_BALANCE_MASK ((uintptr_t)3)
#define AVL_BALANCED ((uintptr_t)1)

/* The parent of a node in the tree (null for the root). */
static inline avl_node *avl_node_parent(const avl_node *node) {
    return (avl_node *)(node->parent_and_balance & ~AVL_BALANCE_MASK);
}

/* Step 3 of insertion: store `node` in the empty `link` reached by the
 * descent, below `parent` (null for an empty tree), marked balanced. */
static inline void avl_tree_link_node(avl_node *node, avl_node *parent, avl_node **link) {
    node->parent_and_balance = (uintptr_t)parent | AVL_BALANCED;
    *link = node;
}

/* Leftmost node of the tree rooted at `root`; null for an empty tree. */
AP_API avl_node *avl_tree_first_in_order(avl_node *root);

/* The node after `node` in order, null after the last.  Requires: `node` is
 * in a tree whose links do not change during the walk. */
AP_API avl_node *avl_tree_next_in_order(avl_node *node);

/* First node of a post-order walk (a node with no children); null for an
 * empty tree. */
AP_API avl_node *avl_tree_first_in_postorder(avl_node *root);

/* The node after `prev` in post-order.  `prev_parent` is the parent `prev`
 * had, read by the caller before it disposed of `prev`: `prev` is compared by
 * address and never read, so a teardown may release each node as it goes.
 * Returns null when `prev_parent` is null (prev was the root). */
AP_API avl_node *avl_tree_next_in_postorder(avl_node *prev, avl_node *prev_parent);

/* Restores balance after `node` was linked with avl_tree_link_node (or the
 * equivalent); sets node's children to null.  At most one rotation. */
AP_API void avl_tree_rebalance_after_insert(avl_node **root, avl_node *node);

/* Unlinks `node`, which must be in the tree.  The node's own three words are
 * left exactly as they were. */
AP_API void avl_tree_remove(avl_node **root, avl_node *node);

AP_END_DECLS

#endif
