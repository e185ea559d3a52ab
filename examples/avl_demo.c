/* avl_demo: the intrusive AVL tree with a host's own records.
 *
 * The tree knows no keys and allocates nothing: the node lives inside the
 * host's record, the host descends with its own comparison to insert and to
 * look up, and the tree only rebalances, removes and walks.  This host keeps
 * timers ordered by deadline: it inserts them, finds one, cancels some, runs
 * the due ones in order, and tears the rest down in post-order, releasing
 * each record as it goes.
 *
 *     ./build/examples/avl_demo */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "avl_tree.h"

struct timer {
    unsigned deadline; /* the key; unique in this host */
    const char *what;
    avl_node node; /* anywhere in the record: found back with offsetof */
};

static struct timer *timer_of(avl_node *node) {
    return (struct timer *)((char *)node - offsetof(struct timer, node));
}

/* Insertion is the caller's descent, then one call to rebalance. */
static void add(avl_node **root, struct timer *t) {
    avl_node **link = root, *parent = NULL;
    while (*link) {
        parent = *link;
        link = t->deadline < timer_of(parent)->deadline ? &parent->left : &parent->right;
    }
    avl_tree_link_node(&t->node, parent, link);
    avl_tree_rebalance_after_insert(root, &t->node);
}

/* Lookup is the same descent, stopping at a match. */
static struct timer *find(avl_node *root, unsigned deadline) {
    while (root && timer_of(root)->deadline != deadline)
        root = deadline < timer_of(root)->deadline ? root->left : root->right;
    return root ? timer_of(root) : NULL;
}

int main(void) {
    static const char *const jobs[] = {"flush logs",   "renew lease",  "rotate keys",  "probe peer",
                                       "expire cache", "report stats", "compact store"};
    avl_node *root = NULL;
    for (unsigned i = 0; i < 7; i++) {
        struct timer *t = malloc(sizeof *t);
        if (!t) return 1;
        t->deadline = (i * 37) % 11 + 10 * i; /* arrives out of order */
        t->what = jobs[i];
        add(&root, t);
    }

    struct timer *lease = find(root, 37 % 11 + 10);
    printf("found %u: %s\n", lease->deadline, lease->what);
    avl_tree_remove(&root, &lease->node); /* cancelled: the record is the host's again */
    free(lease);

    /* Due before 40: run them in deadline order, the earliest being the
     * first in order.  A walk must not see the links change, so each run
     * timer is removed before the next is looked up. */
    for (avl_node *n; (n = avl_tree_first_in_order(root)) && timer_of(n)->deadline < 40;) {
        printf("run %u: %s\n", timer_of(n)->deadline, timer_of(n)->what);
        avl_tree_remove(&root, n);
        free(timer_of(n));
    }
    for (avl_node *n = avl_tree_first_in_order(root); n; n = avl_tree_next_in_order(n))
        printf("pending %u: %s\n", timer_of(n)->deadline, timer_of(n)->what);

    /* Teardown: each node comes after both its subtrees, so a record can be
     * released once its parent has been read. */
    for (avl_node *n = avl_tree_first_in_postorder(root), *next; n; n = next) {
        next = avl_tree_next_in_postorder(n, avl_node_parent(n));
        printf("dropped %u: %s\n", timer_of(n)->deadline, timer_of(n)->what);
        free(timer_of(n));
    }
    return 0;
}
