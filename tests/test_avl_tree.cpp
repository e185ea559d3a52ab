// The intrusive AVL tree: textbook shapes, the walks, removal corner cases,
// and long random runs checked after every step by the walker.
#include <string.h>

#include <random>
#include <set>

#include "avl_tree.h"
#include "testing.h"

namespace {

struct Rec {
    int key;
    avl_node node;
};

Rec *rec(const avl_node *n) {
    return reinterpret_cast<Rec *>(reinterpret_cast<char *>(const_cast<avl_node *>(n)) -
                                   offsetof(Rec, node));
}

// Records at stable addresses, inserted with the caller-side descent.
struct Tree {
    avl_node *root = nullptr;
    std::vector<Rec> recs = std::vector<Rec>(20000);

    void insert(int key) {
        avl_node **link = &root, *parent = nullptr;
        while (*link) {
            parent = *link;
            link = key < rec(parent)->key ? &parent->left : &parent->right;
        }
        recs[key].key = key;
        avl_tree_link_node(&recs[key].node, parent, link);
        avl_tree_rebalance_after_insert(&root, &recs[key].node);
    }
    void remove(int key) { avl_tree_remove(&root, &recs[key].node); }
    int bal(int key) const { return t::balance(&recs[key].node); }

    // "4(2(1,3),6(5,7))": key, then children; "-" for none.
    static std::string shape(const avl_node *n) {
        if (!n) return "-";
        std::string s = std::to_string(rec(n)->key);
        return n->left || n->right ? s + "(" + shape(n->left) + "," + shape(n->right) + ")" : s;
    }
    std::string shape() const { return shape(root); }
    std::vector<int> walk(bool post) const {
        std::vector<int> keys;
        for (avl_node *n = post ? avl_tree_first_in_postorder(root) : avl_tree_first_in_order(root);
             n; n = post ? avl_tree_next_in_postorder(n, avl_node_parent(n))
                         : avl_tree_next_in_order(n))
            keys.push_back(rec(n)->key);
        return keys;
    }
    t::AssertionResult valid(size_t n) const {
        return t::avl_valid(
            root, [](auto a, auto b) { return rec(a)->key < rec(b)->key; }, n);
    }
};

Tree build(std::initializer_list<int> keys) {
    Tree t;
    for (int k : keys)
        t.insert(k);
    return t;
}

}  // namespace

// Rotations that link the wrong subtree or leave stale balances.
TEST(AvlTree, InsertionRotationsGiveTheTextbookTrees) {
    for (auto keys : {std::initializer_list<int>{1, 2, 3}, {3, 1, 2}, {1, 3, 2}, {3, 2, 1}}) {
        Tree t = build(keys);
        EXPECT_EQ(t.shape(), "2(1,3)");
        EXPECT_TRUE(t.valid(3));
    }
    Tree perfect = build({1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(perfect.shape(), "4(2(1,3),6(5,7))");
    for (int k = 1; k <= 7; k++)
        EXPECT_EQ(perfect.bal(k), 0) << k;

    // A first node keeps no garbage children and stays a balanced root.
    Tree one;
    one.recs[7] = Rec{7, {&one.recs[1].node, &one.recs[2].node, 0}};
    avl_tree_link_node(&one.recs[7].node, nullptr, &one.root);
    avl_tree_rebalance_after_insert(&one.root, &one.recs[7].node);
    EXPECT_EQ(one.root, &one.recs[7].node);
    EXPECT_EQ(one.root->parent_and_balance, 1u);
    EXPECT_TRUE(one.valid(1));
}

// Walks that skip, repeat, or read through a node the caller released.
TEST(AvlTree, WalksVisitEveryNodeOnce) {
    EXPECT_EQ(avl_tree_first_in_order(nullptr), nullptr);
    EXPECT_EQ(avl_tree_first_in_postorder(nullptr), nullptr);
    Tree one = build({5});
    EXPECT_EQ(one.walk(false), std::vector<int>{5});
    EXPECT_EQ(one.walk(true), std::vector<int>{5});

    Tree t = build({1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(t.walk(false), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    // Teardown: each node is scribbled over once its parent has been read.
    std::vector<int> seen;
    for (avl_node *n = avl_tree_first_in_postorder(t.root), *next; n; n = next) {
        next = avl_tree_next_in_postorder(n, avl_node_parent(n));
        seen.push_back(rec(n)->key);
        memset(n, 0xa5, sizeof *n);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 3, 2, 5, 7, 6, 4}));
}

// Successor splicing that loses a subtree, a root removal that leaves a stale
// parent, and removal writing to the node it unlinks (callers reuse it).
TEST(AvlTree, RemovalCornerCases) {
    Tree t = build({1, 2, 3, 4, 5, 6, 7});
    t.remove(6);  // right child without a left child takes the place
    EXPECT_EQ(t.shape(), "4(2(1,3),7(5,-))");
    EXPECT_EQ(t.bal(7), -1);
    t.remove(4);  // successor deeper than the right child
    EXPECT_EQ(t.shape(), "5(2(1,3),7)");
    EXPECT_TRUE(t.valid(5));

    Tree two = build({1, 2});
    uintptr_t bits = two.root->right->parent_and_balance & AVL_BALANCE_MASK;
    two.remove(1);
    EXPECT_EQ(two.root, &two.recs[2].node);
    EXPECT_EQ(two.root->parent_and_balance, bits) << "null parent, balance bits kept";
    two.remove(2);
    EXPECT_EQ(two.root, nullptr);

    for (int victim = 1; victim <= 7; victim++) {
        Tree u = build({4, 2, 6, 1, 3, 5, 7});
        avl_node before = u.recs[victim].node;
        u.remove(victim);
        EXPECT_EQ(memcmp(&before, &u.recs[victim].node, sizeof before), 0) << victim;
    }
}

// Any rebalancing case the named shapes miss: random inserts and removals,
// every invariant recomputed after every operation, one run growing large.
TEST(AvlTree, InvariantsHoldAfterEveryRandomStep) {
    for (unsigned seed : {1u, 2u, 42u}) {
        std::mt19937 rng(seed);
        Tree t;
        std::set<int> keys;
        const int range = seed == 42 ? 20000 : 600;
        for (int step = 0; step < 5000; step++) {
            int key = static_cast<int>(rng() % range);
            if (!keys.count(key) && (keys.size() < 50 || rng() % 100 < (seed == 42 ? 80u : 55u))) {
                t.insert(key);
                keys.insert(key);
            } else if (!keys.empty()) {
                auto it = keys.lower_bound(key);
                if (it == keys.end()) it = keys.begin();
                t.remove(*it);
                keys.erase(it);
            }
            ASSERT_TRUE(t.valid(keys.size())) << "seed " << seed << " step " << step;
        }
        EXPECT_EQ(t.walk(false), std::vector<int>(keys.begin(), keys.end()));
    }
}
