// Interface of tarnu.minqueue: the heap node and min pairing heap records in
// field order, and their native method tables in slot order. Other modules
// build against these layouts (their instance sizes are checked at import).
#pragma once
#include <Python.h>

#include <cstdint>

namespace tarnu::minqueue {

struct Node;
struct Heap;

// Optional-argument record of print_tree: the count of optional arguments
// given, then their values.
struct PrintTreeOptional {
    int32_t n;
    int32_t indent;
};

// Native method table of MinPairingHeapNode. A subclass's table begins with
// these seven slots in this order.
struct NodeVTable {
    int (*key_lt)(Node *self, Node *other, int skip_dispatch);
    void (*add_child)(Node *self, Node *child);
    int (*cut)(Node *self);
    Node *(*meld)(Node *self, Node *other);  // the new root, uncounted
    Node *(*merge_pairs)(Node *self);        // the new root of the children, uncounted
    void (*print_tree)(Node *self, int skip_dispatch, const PrintTreeOptional *optional);
    PyObject *(*clear_subtree)(Node *self);  // new reference to None, or null
};

// MinPairingHeapNode record.
struct Node {
    PyObject_HEAD
    const NodeVTable *vtab;
    Node *child;  // uncounted link: first node of the child list
    Node *prev;   // uncounted link: parent (first child) or previous sibling
    Node *next;   // uncounted link: next sibling
};

// Native method table of MinPairingHeap.
struct HeapVTable {
    PyObject *(*first)(Heap *self, int skip_dispatch);  // new reference, or null
    void (*push)(Heap *self, Node *node, int skip_dispatch);
    // `_push` and `_notify_dec` never dispatch. A refused call (the node is
    // linked already, the heap is being restructured) leaves its exception
    // set for the caller, who tests the error indicator; `push` and
    // `notify_dec` report theirs as unraisable.
    void (*push_native)(Heap *self, Node *node);
    PyObject *(*pop)(Heap *self, int skip_dispatch);  // new reference, or null
    void (*notify_dec)(Heap *self, Node *node, int skip_dispatch);
    void (*notify_dec_native)(Heap *self, Node *node);
    PyObject *(*clear)(Heap *self, int skip_dispatch);  // new reference, or null
};

// MinPairingHeap record.
struct Heap {
    PyObject_HEAD
    const HeapVTable *vtab;
    Node *root;  // uncounted link; the heap owns one reference to every node it holds
};

// The linking algorithms of the node's table (slots add_child, meld and
// merge_pairs), generic in the comparison `less(a, b)`, which must answer
// what a->vtab->key_lt(a, b, 0) answers. A node class with a native
// ordering builds its own meld and merge_pairs from them, so that the
// comparisons of its own nodes are inlined.

// c (with its subtree) becomes the first child of p.
inline void link_child(Node *p, Node *c) noexcept {
    if (p->child) {
        p->child->prev = c;
        c->next = p->child;
    } else {
        c->next = nullptr;
    }
    c->prev = p;
    p->child = c;
}

// On equal keys the second operand becomes the parent.
template <class Less>
inline Node *meld_with(Node *a, Node *b, Less less) noexcept {
    if (less(a, b)) {
        link_child(a, b);
        return a;
    }
    link_child(b, a);
    return b;
}

// Two-pass pairing of n's children; the stack of finished pairs is threaded
// through the prev links of their roots, so nothing is allocated.
//
// The tree it builds is the one of the step-by-step definition (the same
// melds, with the same operands, in the same order); the first pass only
// leaves out stores that a later step overwrites: a loser's prev and next
// are set when it is linked under the winner, a pair's prev and next when
// it is stacked. Its prev links point to nodes handled before, so no walk
// up a half-built tree meets a cycle. With many nodes each step waits for
// memory: the node after the current pair is fetched while the pair melds.
template <class Less>
inline Node *merge_pairs_with(Node *n, Less less) noexcept {
    Node *a = n->child;
    if (!a) return nullptr;
    n->child = nullptr;
    Node *stack = nullptr;
    Node *last;
    for (;;) {
        Node *b = a->next;
        if (!b) {
            a->prev = stack;  // a->next is empty: a was the last child
            last = a;
            break;
        }
        Node *rest = b->next;
        if (rest) __builtin_prefetch(rest, 1);
        Node *m = meld_with(a, b, less);
        m->next = nullptr;
        m->prev = stack;
        stack = m;
        if (!rest) {
            last = m;
            break;
        }
        a = rest;
    }
    // Here the operands' prev links are emptied first, as defined: a Python
    // ordering hook that walks up from a node must never meet a cycle.
    Node *result = last;
    Node *q = result->prev;
    result->prev = nullptr;
    while (q) {
        Node *following = q->prev;
        if (following) __builtin_prefetch(following, 1);
        q->prev = nullptr;
        result = meld_with(result, q, less);
        q = following;
    }
    return result;
}

inline constexpr const char *kModule = "tarnu.minqueue";

}  // namespace tarnu::minqueue
