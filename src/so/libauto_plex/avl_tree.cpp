// Intrusive AVL tree.
//
// Properties kept after every completed operation:
//   1. in-order position follows the caller's comparison at insertion time;
//   2. every node's balance (right height - left height) is -1, 0 or +1 and is
//      what its low two bits say;
//   3. every non-root node's parent part names the node that links to it; the
//      root's parent part is null.
//
// Sides are written as a sign: -1 is left, +1 is right, so one rotation routine
// serves both mirror images.  Nothing here allocates or recurses.
#include "avl_tree.h"

#include <cstddef>
#include <type_traits>

static_assert(sizeof(avl_node) == 3 * sizeof(void *), "a node is three words");
static_assert(alignof(avl_node) >= 4, "two low address bits carry the balance");
static_assert(std::is_standard_layout_v<avl_node>);

namespace {

inline avl_node *parent_of(const avl_node *n) {
    return avl_node_parent(n);
}

inline int balance_of(const avl_node *n) {
    return static_cast<int>(n->parent_and_balance & AVL_BALANCE_MASK) - 1;
}

inline void set_balance(avl_node *n, int balance) {
    n->parent_and_balance =
        (n->parent_and_balance & ~AVL_BALANCE_MASK) | static_cast<uintptr_t>(balance + 1);
}

// Replaces the address bits only; the node's balance stays as it was.
inline void set_parent(avl_node *n, avl_node *parent) {
    n->parent_and_balance =
        reinterpret_cast<uintptr_t>(parent) | (n->parent_and_balance & AVL_BALANCE_MASK);
}

inline avl_node *&child(avl_node *n, int side) {
    return side < 0 ? n->left : n->right;
}

inline int side_in_parent(const avl_node *n, const avl_node *parent) {
    return parent->left == n ? -1 : +1;
}

// Points whatever linked to `old_node` (its parent's child slot, or the root
// pointer) at `new_node`, and gives `new_node` old_node's parent.
inline void take_place(avl_node **root, avl_node *old_node, avl_node *new_node) {
    avl_node *parent = parent_of(old_node);
    set_parent(new_node, parent);
    if (!parent)
        *root = new_node;
    else
        child(parent, side_in_parent(old_node, parent)) = new_node;
}

/* A is heavy on side h; B = A's child on side h moves up.
 *
 *         A                 B
 *        / \     h=left    / \
 *       B   c    ----->   a   A
 *      / \                   / \
 *     a   b                 b   c
 *
 * Balances are the caller's to set. */
void rotate_single(avl_node **root, avl_node *a, int h) {
    avl_node *b = child(a, h);
    avl_node *inner = child(b, -h);
    take_place(root, a, b);
    child(a, h) = inner;
    if (inner) set_parent(inner, a);
    child(b, -h) = a;
    set_parent(a, b);
}

/* A is heavy on side h and its child B is heavy on the other side; B's inner
 * child E moves up two levels.  Returns E, the new subtree root.
 *
 *         A                     E
 *        / \                  /   \
 *       B   d   h=left      B       A
 *      / \      ----->     / \     / \
 *     a   E               a   b   c   d
 *        / \
 *       b   c
 */
avl_node *rotate_double(avl_node **root, avl_node *a, int h) {
    avl_node *b = child(a, h);
    avl_node *e = child(b, -h);
    int e_balance = balance_of(e);
    avl_node *e_inner_h = child(e, h);
    avl_node *e_inner_other = child(e, -h);

    take_place(root, a, e);
    child(b, -h) = e_inner_h;
    if (e_inner_h) set_parent(e_inner_h, b);
    child(a, h) = e_inner_other;
    if (e_inner_other) set_parent(e_inner_other, a);
    child(e, h) = b;
    set_parent(b, e);
    child(e, -h) = a;
    set_parent(a, e);

    // E's old lean decides which of A and B ends up one level short.
    set_balance(a, e_balance == h ? -h : 0);
    set_balance(b, e_balance == -h ? h : 0);
    set_balance(e, 0);
    return e;
}

// P's subtree on side `shorter` lost one level.  Walks up while whole
// subtrees keep getting shorter; may rotate at every level.
void rebalance_after_remove(avl_node **root, avl_node *p, int shorter) {
    for (;;) {
        int s = -shorter;  // the side that is now relatively taller
        int balance = balance_of(p);
        avl_node *top;  // root of the subtree that got one level shorter
        if (balance == 0) {
            set_balance(p, s);
            return;
        }
        if (balance == -s) {
            set_balance(p, 0);
            top = p;
        } else {
            avl_node *b = child(p, s);
            int b_balance = balance_of(b);
            if (b_balance == -s) {
                top = rotate_double(root, p, s);
            } else {
                rotate_single(root, p, s);
                if (b_balance == 0) {
                    // Height unchanged: B now leans back, P keeps its lean.
                    set_balance(b, -s);
                    return;
                }
                set_balance(b, 0);
                set_balance(p, 0);
                top = b;
            }
        }
        avl_node *parent = parent_of(top);
        if (!parent) return;
        shorter = side_in_parent(top, parent);
        p = parent;
    }
}

}  // namespace

extern "C" {

AP_API avl_node *avl_tree_first_in_order(avl_node *root) {
    if (!root) return nullptr;
    while (root->left)
        root = root->left;
    return root;
}

AP_API avl_node *avl_tree_next_in_order(avl_node *node) {
    if (node->right) return avl_tree_first_in_order(node->right);
    avl_node *parent = parent_of(node);
    while (parent && parent->right == node) {
        node = parent;
        parent = parent_of(node);
    }
    return parent;
}

AP_API avl_node *avl_tree_first_in_postorder(avl_node *root) {
    if (!root) return nullptr;
    for (;;) {
        if (root->left)
            root = root->left;
        else if (root->right)
            root = root->right;
        else
            return root;
    }
}

AP_API avl_node *avl_tree_next_in_postorder(avl_node *prev, avl_node *prev_parent) {
    if (!prev_parent) return nullptr;
    if (prev == prev_parent->left && prev_parent->right)
        return avl_tree_first_in_postorder(prev_parent->right);
    return prev_parent;
}

AP_API void avl_tree_rebalance_after_insert(avl_node **root, avl_node *node) {
    node->left = nullptr;
    node->right = nullptr;
    avl_node *parent = parent_of(node);
    if (!parent) return;

    // The new leaf hangs where its parent had no child, so the parent cannot
    // tip over here; it either evens out (height unchanged) or grows.
    set_balance(parent, balance_of(parent) + side_in_parent(node, parent));
    if (balance_of(parent) == 0) return;

    // Loop invariant: the subtree rooted at `cur` is one level taller than
    // before the insertion and `cur` leans to one side.
    avl_node *cur = parent;
    for (avl_node *up = parent_of(cur); up; cur = up, up = parent_of(cur)) {
        int s = side_in_parent(cur, up);
        int balance = balance_of(up);
        if (balance == 0) {
            set_balance(up, s);
            continue;
        }
        if (balance == -s) {
            set_balance(up, 0);
            return;
        }
        if (balance_of(cur) == s) {
            rotate_single(root, up, s);
            set_balance(up, 0);
            set_balance(cur, 0);
        } else {
            rotate_double(root, up, s);
        }
        return;  // the rotated subtree is back to its old height
    }
}

AP_API void avl_tree_remove(avl_node **root, avl_node *node) {
    avl_node *start;
    int shorter;

    if (node->left && node->right) {
        // Two children: the in-order successor Y takes node's place and its
        // parent word (same parent, same balance).
        avl_node *y = avl_tree_first_in_order(node->right);
        if (y == node->right) {
            start = y;
            shorter = +1;
        } else {
            avl_node *q = parent_of(y);
            q->left = y->right;
            if (y->right) set_parent(y->right, q);
            y->right = node->right;
            set_parent(node->right, y);
            start = q;
            shorter = -1;
        }
        y->left = node->left;
        set_parent(node->left, y);
        y->parent_and_balance = node->parent_and_balance;
        avl_node *parent = parent_of(node);
        if (!parent)
            *root = y;
        else
            child(parent, side_in_parent(node, parent)) = y;
    } else {
        avl_node *only = node->left ? node->left : node->right;
        avl_node *parent = parent_of(node);
        if (!parent) {
            if (only) set_parent(only, nullptr);
            *root = only;
            return;
        }
        shorter = side_in_parent(node, parent);
        child(parent, shorter) = only;
        if (only) set_parent(only, parent);
        start = parent;
    }
    rebalance_after_remove(root, start, shorter);
}

}  // extern "C"
