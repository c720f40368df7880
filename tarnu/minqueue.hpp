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
    void (*push_native)(Heap *self, Node *node);  // `_push`: never dispatches
    PyObject *(*pop)(Heap *self, int skip_dispatch);  // new reference, or null
    void (*notify_dec)(Heap *self, Node *node, int skip_dispatch);
    void (*notify_dec_native)(Heap *self, Node *node);  // `_notify_dec`: never dispatches
    PyObject *(*clear)(Heap *self, int skip_dispatch);  // new reference, or null
};

// MinPairingHeap record.
struct Heap {
    PyObject_HEAD
    const HeapVTable *vtab;
    Node *root;  // uncounted link; the heap owns one reference to every node it holds
};

inline constexpr const char *kModule = "tarnu.minqueue";

}  // namespace tarnu::minqueue
