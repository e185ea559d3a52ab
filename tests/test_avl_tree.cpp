// The intrusive AVL tree: textbook shapes, the walks, removal corner cases,
// and long random runs checked after every step by the walker.
#include <random>

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

// Records at stable addresses, key k at recs[k], inserted with the
// caller-side descent of the header.
struct Tree {
    avl_node *root = nullptr;
    std::vector<Rec> recs = std::vector<Rec>(20000);

    Tree(std::initializer_list<int> keys = {}) {
        for (int k : keys)
            insert(k);
    }
    void insert(int key) {
        avl_node **link = &root, *parent = nullptr;
        while (*link)
            link = key < rec(parent = *link)->key ? &parent->left : &parent->right;
        recs[key].key = key;
        avl_tree_link_node(&recs[key].node, parent, link);
        avl_tree_rebalance_after_insert(&root, &recs[key].node);
    }
    // "4(2(1,3),6(5,7))": key, then children; "-" for none.
    static std::string shape(const avl_node *n) {
        if (!n) return "-";
        std::string s =
            std::to_string(rec(n)->key) + (t::balance(n) ? t::balance(n) < 0 ? "<" : ">" : "");
        return n->left || n->right ? s + "(" + shape(n->left) + "," + shape(n->right) + ")" : s;
    }
    std::vector<int> walk() const {
        std::vector<int> keys;
        for (avl_node *n = avl_tree_first_in_order(root); n; n = avl_tree_next_in_order(n))
            keys.push_back(rec(n)->key);
        return keys;
    }
    t::AssertionResult valid(size_t n) const {
        return t::avl_valid(
            root, [](auto a, auto b) { return rec(a)->key < rec(b)->key; }, n);
    }
};

}  // namespace

// Rotations that link the wrong subtree or leave stale balances (">" marks a
// right-heavy node, "<" a left-heavy one), and walks that skip, repeat, or
// read through a node the caller has released.
TEST(AvlTree, ShapesAndWalks) {
    for (auto keys : {std::initializer_list<int>{1, 2, 3}, {3, 1, 2}, {1, 3, 2}, {3, 2, 1}})
        EXPECT_EQ(Tree::shape(Tree(keys).root), "2(1,3)");
    Tree t = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(Tree::shape(t.root), "4(2(1,3),6(5,7))");
    EXPECT_EQ(t.walk(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(avl_tree_first_in_order(nullptr), avl_tree_first_in_postorder(nullptr));
    Tree one = {5};
    EXPECT_TRUE(one.walk() == std::vector<int>{5} &&
                avl_tree_first_in_postorder(one.root) == one.root &&
                !avl_tree_next_in_postorder(one.root, nullptr));

    std::vector<int> seen;  // a teardown scribbles over each node once its parent has been read
    for (avl_node *n = avl_tree_first_in_postorder(t.root), *next; n; n = next) {
        next = avl_tree_next_in_postorder(n, avl_node_parent(n));
        seen.push_back(rec(n)->key);
        memset(n, 0xa5, sizeof *n);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 3, 2, 5, 7, 6, 4}));

    one.recs[7] = Rec{7, {&one.recs[1].node, &one.recs[2].node, 0}};  // garbage children
    one.root = nullptr, avl_tree_link_node(&one.recs[7].node, nullptr, &one.root);
    avl_tree_rebalance_after_insert(&one.root, &one.recs[7].node);
    EXPECT_TRUE(one.root == &one.recs[7].node && one.root->parent_and_balance == 1 && one.valid(1));
}

// Successor splicing that loses a subtree, a root removal that leaves a stale
// parent, and removal writing to the node it unlinks (callers reuse it).
TEST(AvlTree, RemovalCornerCases) {
    Tree t = {1, 2, 3, 4, 5, 6, 7};
    avl_tree_remove(&t.root, &t.recs[6].node);  // a right child with no left child moves up
    EXPECT_EQ(Tree::shape(t.root), "4(2(1,3),7<(5,-))");
    avl_tree_remove(&t.root, &t.recs[4].node);  // a successor deeper than the right child
    EXPECT_EQ(Tree::shape(t.root), "5<(2(1,3),7)");
    Tree two = {1, 2};
    avl_tree_remove(&two.root, &two.recs[1].node);
    EXPECT_TRUE(two.root == &two.recs[2].node && two.root->parent_and_balance == 1)
        << "null parent, bits kept";
    avl_tree_remove(&two.root, two.root);
    EXPECT_EQ(two.root, nullptr);
    for (int victim = 1; victim <= 7; victim++) {
        Tree u = {4, 2, 6, 1, 3, 5, 7};
        avl_node before = u.recs[victim].node;
        avl_tree_remove(&u.root, &u.recs[victim].node);
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
        for (int step = 0; step < 5000; step++) {
            int key = static_cast<int>(rng() % (seed == 42 ? 20000 : 600));
            if (!keys.count(key) && (keys.size() < 50 || rng() % 100 < (seed == 42 ? 80u : 55u))) {
                t.insert(key), keys.insert(key);
            } else if (!keys.empty()) {
                auto it =
                    keys.lower_bound(key) == keys.end() ? keys.begin() : keys.lower_bound(key);
                avl_tree_remove(&t.root, &t.recs[*it].node), keys.erase(it);
            }
            ASSERT_TRUE(t.valid(keys.size())) << "seed " << seed << " step " << step;
        }
        EXPECT_EQ(t.walk(), std::vector<int>(keys.begin(), keys.end()));
    }
}
