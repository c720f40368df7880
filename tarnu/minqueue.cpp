// tarnu.minqueue: the heap node and the min pairing heap (two-pass pairing).
#include "minqueue.hpp"

#include <cstring>
#include <vector>

#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"
#include "runtime/pickle.hpp"
#include "runtime/typecheck.hpp"

namespace tarnu::minqueue {
namespace {

using namespace runtime;

extern PyTypeObject NodeType;
extern PyTypeObject HeapType;
extern PyTypeObject ChildrenStateType;

PyObject *g_print = nullptr;       // builtins.print, looked up once at import
PyObject *g_type_error = nullptr;  // builtins.TypeError, likewise

inline PyObject *obj(Node *n) noexcept { return reinterpret_cast<PyObject *>(n); }
inline PyObject *obj(Heap *h) noexcept { return reinterpret_cast<PyObject *>(h); }
SubtypeCheck g_is_node;
inline bool is_node(PyObject *o) noexcept { return g_is_node(o, &NodeType); }

// None is not a node: refused like any other object.
void check_node_item(PyObject *o) {
    if (o == Py_None || !is_node(o)) {
        raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, NodeType.tp_name);
    }
}

// --- re-entrancy guards -------------------------------------------------------

// Python code can run in the middle of a heap operation: a key_lt or __lt__
// override during a meld, a _children override during clear. The heap whose
// links are being rewritten refuses to be modified from there, since that
// would corrupt its half-built tree; every other heap works normally, except
// that it will not take a node out of that half-built tree (see link_in and
// move_up).
//
// A rewrite only names its heap in `g_rewriting`, which costs a store. Every
// way into Python code during a rewrite (the ordering hook key_lt, the walk
// of clear) opens a Callback, which lists the heap as busy, together with
// the nodes being compared, and empties `g_rewriting` while Python runs. So
// the list holds exactly the heaps that Python code may see half built; it
// is threaded through the Callback objects on the C stack, allocates
// nothing, and is empty whenever no Python callback is running. It is
// global, not per thread: a heap being rewritten on one thread is refused
// to every thread (threads switch only while Python code runs, and then
// `g_rewriting` is empty).

// The heap whose links the running native code is rewriting, or null.
const Heap *g_rewriting = nullptr;

// The span of a rewrite of one heap.
class Rewriting {
public:
    explicit Rewriting(const Heap *heap) noexcept : outer_(g_rewriting) { g_rewriting = heap; }
    ~Rewriting() { g_rewriting = outer_; }
    Rewriting(const Rewriting &) = delete;
    Rewriting &operator=(const Rewriting &) = delete;

private:
    const Heap *outer_;
};

// Python code called in the middle of a rewrite, comparing `a` and `b`
// (none for clear's walk). During a meld its operands are loose: detached
// in looks, yet about to be linked. Outside a rewrite it does nothing.
class Callback {
public:
    explicit Callback(const Node *a = nullptr, const Node *b = nullptr) noexcept
        : heap_(g_rewriting), a_(a), b_(b) {
        if (!heap_) return;
        outer_ = s_head;
        s_head = this;
        g_rewriting = nullptr;
    }
    ~Callback() {
        if (!heap_) return;
        // Callbacks of different threads may end in any order.
        Callback **link = &s_head;
        while (*link != this) link = &(*link)->outer_;
        *link = outer_;
        g_rewriting = heap_;
    }
    Callback(const Callback &) = delete;
    Callback &operator=(const Callback &) = delete;

    static bool any() noexcept { return s_head != nullptr; }
    static bool heap_busy(const Heap *heap) noexcept {
        for (const Callback *c = s_head; c; c = c->outer_) {
            if (c->heap_ == heap) return true;
        }
        return false;
    }
    static bool node_loose(const Node *n) noexcept {
        for (const Callback *c = s_head; c; c = c->outer_) {
            if (c->a_ == n || c->b_ == n) return true;
        }
        return false;
    }

private:
    static inline Callback *s_head = nullptr;
    const Heap *heap_;
    const Node *a_, *b_;
    Callback *outer_ = nullptr;
};

// Whether Python code may see `heap` half built.
inline bool restructuring(const Heap *heap) noexcept { return Callback::any() && Callback::heap_busy(heap); }

void check_not_restructuring(const Heap *heap, const char *operation) {
    if (restructuring(heap)) {
        raise_format(PyExc_RuntimeError, "MinPairingHeap.%s() called while the heap is being restructured",
                     operation);
    }
}

// The root of a heap carries this mark in its `next` link, which a root does
// not otherwise use: a lone root would else look detached, and pushing it
// into a second heap would link one node into two trees. The mark is not a
// node and is never dereferenced: whatever follows `next` links stops at it.
Node g_root_mark_storage;
Node *const kRootMark = &g_root_mark_storage;

// --- free list ------------------------------------------------------------------

constexpr int kFreeListSize = 1024;
Node *g_free_list[kFreeListSize];
int g_free_count = 0;

inline bool recyclable(PyTypeObject *tp) noexcept {
    return tp->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Node)) &&
           !(tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT));
}

// --- the node's native operations ----------------------------------------------

PyObject *py_key_lt(PyObject *self, PyObject *other) noexcept;
PyObject *py_print_tree(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;

Overridable d_key_lt("key_lt", reinterpret_cast<const void *>(&py_key_lt));
Overridable d_print_tree("print_tree", TARNU_TUPLE_ENTRY(py_print_tree));

int key_lt(Node *self, Node *other, int skip_dispatch) noexcept {
    int answer = 0;
    Callback callback(self, other);
    guard_report(Where("tarnu.minqueue.MinPairingHeapNode.key_lt"), [&] {
        Ref result;
        if (!skip_dispatch) {
            if (Ref override_ = d_key_lt.find(obj(self))) {
                result = check(PyObject_CallOneArg(override_.get(), obj(other)));
            }
        }
        if (!result) result = check(PyObject_RichCompare(obj(self), obj(other), Py_LT));
        if (result.is(Py_True)) answer = 1;
        else if (result.is(Py_False)) answer = 0;
        else answer = check(PyObject_IsTrue(result.get()));
    });
    return answer;
}

void add_child(Node *p, Node *c) noexcept { link_child(p, c); }

// Unlinks n and its subtree from the child list it hangs in.
int cut(Node *n) noexcept {
    if (n->next) n->next->prev = n->prev;
    if (n->prev->child == n) n->prev->child = n->next;
    else n->prev->next = n->next;
    n->prev = nullptr;
    n->next = nullptr;
    return 0;
}

// Every order decision is the first operand's key_lt, dispatch on.
inline bool table_less(Node *a, Node *b) noexcept { return a->vtab->key_lt(a, b, 0); }

Node *meld(Node *a, Node *b) noexcept { return meld_with(a, b, table_less); }
Node *merge_pairs(Node *n) noexcept { return merge_pairs_with(n, table_less); }

// An iterator over node._children() (the attribute, so overrides count).
Ref children_iter(Node *node) {
    Ref gen = check(PyObject_CallMethod(obj(node), "_children", nullptr));
    return check(PyObject_GetIter(gen.get()));
}

void print_line(Node *node, int32_t indent, PyObject *children) {
    Ref blanks = check(PyUnicode_FromString(" "));
    blanks = check(PySequence_Repeat(blanks.get(), indent > 0 ? indent : 0));
    Ref text = check(PyObject_CallMethod(Ref(check(PyUnicode_FromString("{} => {}"))).get(), "format", "OO",
                                         obj(node), children));
    Ref line = check(PyUnicode_Concat(blanks.get(), text.get()));
    check(PyObject_CallOneArg(g_print, line.get()));
}

// One node's own print_tree steps. Returns the iterator over the children to
// print next (empty when there is nothing more to do for this node).
Ref print_node(Node *node, int skip_dispatch, int32_t indent) {
    Ref iter;
    guard_report(Where("tarnu.minqueue.MinPairingHeapNode.print_tree"), [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_print_tree.find(obj(node))) {
                Ref arg = py_int(indent);
                check(PyObject_CallOneArg(override_.get(), arg.get()));
                return;
            }
        }
        if (!node->child) {
            print_line(node, indent, Py_None);
            return;
        }
        Ref items = check(PySequence_List(children_iter(node).get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) check_node_item(PyList_GET_ITEM(items.get(), i));
        print_line(node, indent, items.get());
        iter = children_iter(node);
    });
    return iter;
}

// Depth first, iteratively: a chain as long as the heap must not exhaust the
// C stack. Each child is printed through its own native table with dispatch
// on, exactly as the recursive definition does.
void print_tree(Node *self, int skip_dispatch, const PrintTreeOptional *optional) noexcept {
    int32_t indent = optional && optional->n > 0 ? optional->indent : 0;
    struct Frame {
        Ref iter;
        int32_t indent;
    };
    try {
        std::vector<Frame> stack;
        if (Ref iter = print_node(self, skip_dispatch, indent)) stack.push_back({std::move(iter), indent});
        while (!stack.empty()) {
            int32_t child_indent = stack.back().indent + 2;
            bool failed = true;
            Ref item;
            guard_report(Where("tarnu.minqueue.MinPairingHeapNode.print_tree"), [&] {
                item = steal(PyIter_Next(stack.back().iter.get()));
                if (!item && error_pending()) raise();
                if (item) check_node_item(item.get());
                failed = false;
            });
            if (failed || !item) {
                stack.pop_back();
                continue;
            }
            Node *child = item.as<Node>();
            if (child->vtab->print_tree != &print_tree) {
                PrintTreeOptional opt{1, child_indent};
                child->vtab->print_tree(child, 0, &opt);
                continue;
            }
            if (Ref iter = print_node(child, 0, child_indent)) stack.push_back({std::move(iter), child_indent});
        }
    } catch (...) {
        // Only an allocation failure of the walk itself gets here.
        set_from_cpp_exception();
        report_unraisable("tarnu.minqueue.MinPairingHeapNode.print_tree");
    }
}

// Empties the child link of every node of the subtree, children before
// parents; iterative for the same reason as print_tree.
PyObject *clear_subtree(Node *self) noexcept {
    struct Frame {
        Ref node;
        Ref iter;
    };
    std::vector<Frame> stack;
    try {
        stack.push_back({borrow(self), children_iter(self)});
        while (!stack.empty()) {
            Ref item = steal(PyIter_Next(stack.back().iter.get()));
            if (!item) {
                if (error_pending()) raise();
                stack.back().node.as<Node>()->child = nullptr;
                stack.pop_back();
                continue;
            }
            check_node_item(item.get());
            Node *child = item.as<Node>();
            if (child->vtab->clear_subtree != &clear_subtree) {
                check(child->vtab->clear_subtree(child));
                continue;
            }
            Ref iter = children_iter(child);
            stack.push_back({std::move(item), std::move(iter)});
        }
        return none().release();
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    // One entry per level that was unwound, as the recursion would give.
    size_t levels = stack.empty() ? 1 : stack.size();
    for (size_t i = 0; i < levels; ++i) add_traceback(Where("tarnu.minqueue.MinPairingHeapNode.clear_subtree"));
    return nullptr;
}

const NodeVTable node_vtable = {key_lt, add_child, cut, meld, merge_pairs, print_tree, clear_subtree};

// --- _children generator -----------------------------------------------------

// State of a _children generator: the node, and the child last yielded. The
// cursor is counted so that the node it names stays valid between
// resumptions even if everything else lets go of it.
struct ChildrenState {
    PyObject_HEAD
    Node *node;
    Node *cursor;
};

int children_state_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    auto *s = reinterpret_cast<ChildrenState *>(o);
    Py_VISIT(s->node);
    Py_VISIT(s->cursor);
    return 0;
}

// No tp_clear: the state is cleared with its generator (see generator.hpp).
void children_state_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    auto *s = reinterpret_cast<ChildrenState *>(o);
    Py_CLEAR(s->node);
    Py_CLEAR(s->cursor);
    Py_TYPE(o)->tp_free(o);
}

PyObject *children_resume(Generator *gen, PyObject *sent) noexcept {
    if (!sent) return nullptr;  // a thrown exception ends the walk
    auto *s = reinterpret_cast<ChildrenState *>(gen->state);
    // The next link is read only now, so a caller may rewrite child links of
    // the nodes already yielded.
    Node *next = gen->point == 0 ? s->node->child : (s->cursor ? s->cursor->next : nullptr);
    // The node last yielded has become a root since (a heap operation ran
    // between two resumptions): it has no following sibling, the walk ends.
    if (next == kRootMark) next = nullptr;
    gen->point = 1;
    assign_field(s->cursor, obj(next));
    if (!next) return nullptr;
    return borrow(next).release();
}

const GeneratorBody children_body = {children_resume, "tarnu.minqueue"};
PyObject *g_children_name = nullptr;
PyObject *g_children_qualname = nullptr;

PyObject *py_children(PyObject *self, PyObject *) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeapNode._children"), [&] {
        Ref state = check(PyType_GenericAlloc(&ChildrenStateType, 0));
        auto *s = state.as<ChildrenState>();
        s->node = reinterpret_cast<Node *>(borrow(self).release());
        return new_generator(&children_body, std::move(state), g_children_name, g_children_qualname).release();
    });
}

// --- the node's Python entries -------------------------------------------------

PyObject *node_new(PyTypeObject *tp, PyObject *, PyObject *) noexcept {
    Node *n;
    if (g_free_count > 0 && recyclable(tp)) {
        n = g_free_list[--g_free_count];
        std::memset(static_cast<void *>(n), 0, sizeof(Node));
        (void)PyObject_INIT(obj(n), tp);
    } else {
        n = reinterpret_cast<Node *>(tp->tp_alloc(tp, 0));
        if (!n) return nullptr;
    }
    n->vtab = &node_vtable;
    n->child = n->prev = n->next = nullptr;
    return obj(n);
}

void node_dealloc(PyObject *o) noexcept {
    PyTypeObject *tp = Py_TYPE(o);
    if (g_free_count < kFreeListSize && recyclable(tp)) {
        g_free_list[g_free_count++] = reinterpret_cast<Node *>(o);
        return;
    }
    tp->tp_free(o);
}

PyObject *py_key_lt(PyObject *self, PyObject *other) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeapNode.key_lt"), [&] {
        check_arg_type(other, &NodeType, "other", true);
        Node *n = reinterpret_cast<Node *>(self);
        // Through the table, so a subclass's native ordering answers here too.
        return py_bool(n->vtab->key_lt(n, reinterpret_cast<Node *>(other), 1)).release();
    });
}

PyObject *py_print_tree(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeapNode.print_tree"), [&] {
        static const Params params("print_tree", {"indent"}, 0);
        PyObject *v[1];
        params.parse(args, nargs, kwnames, v);
        PrintTreeOptional opt{0, 0};
        if (v[0]) opt = {1, to_int32(v[0])};
        print_tree(reinterpret_cast<Node *>(self), 1, &opt);
        return none().release();
    });
}

PyObject *py_node_reduce(PyObject *, PyObject *) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeapNode.__reduce_cython__"), [] () -> PyObject * {
        raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    });
}

PyObject *py_node_setstate(PyObject *, PyObject *) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeapNode.__setstate_cython__"), [] () -> PyObject * {
        raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    });
}

#define TARNU_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
PyMethodDef node_methods[] = {
    {"key_lt", py_key_lt, METH_O, TARNU_SIGNATURE("key_lt($self, other, /)")},
    {"_children", py_children, METH_NOARGS, TARNU_SIGNATURE("_children($self, /)")},
    {"print_tree", TARNU_TUPLE_ENTRY(py_print_tree), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("print_tree($self, /, indent=0)")},
    {"__reduce_cython__", py_node_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", py_node_setstate, METH_O, TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

// --- heap: walks over the whole tree ------------------------------------------

// Calls `fn` on every node of the tree, parents first, without a stack: the
// way back up follows prev links to the first child of a list, whose prev
// is the parent. Stops early when `fn` returns nonzero.
template <class F>
int walk_tree(Node *root, F &&fn) {
    Node *n = root;
    while (n) {
        if (int r = fn(n)) return r;
        if (n->child) {
            n = n->child;
            continue;
        }
        for (;;) {
            if (n == root) return 0;
            if (n->next) {
                n = n->next;
                break;
            }
            while (n->prev->child != n) n = n->prev;
            n = n->prev;
        }
    }
    return 0;
}

// Detaches every node of the tree and then releases the heap's reference to
// each. The nodes waiting for release are chained through `next`, so a
// finaliser that runs meanwhile sees them as linked and cannot push them;
// the chain ends in the root mark, so that its last node looks linked too.
void release_tree(Node *root) noexcept {
    Node *todo = root;  // threaded through prev
    root->prev = nullptr;
    root->next = nullptr;
    Node *done = kRootMark;
    while (todo) {
        Node *n = todo;
        todo = n->prev;
        for (Node *c = n->child; c;) {
            Node *following = c->next;
            c->next = nullptr;
            c->prev = todo;
            todo = c;
            c = following;
        }
        n->child = nullptr;
        n->prev = nullptr;
        n->next = done;
        done = n;
    }
    SavedError saved;
    while (done != kRootMark) {
        Node *n = done;
        done = n->next;
        n->next = nullptr;
        Py_DECREF(obj(n));
    }
}

void release_all(Heap *self) noexcept {
    Node *root = self->root;
    self->root = nullptr;
    if (root) release_tree(root);
}

// --- heap operations ------------------------------------------------------------

inline void set_root(Heap *self, Node *root) noexcept {
    self->root = root;
    if (root) root->next = kRootMark;
}

PyObject *py_first(PyObject *self, PyObject *) noexcept;
PyObject *py_push(PyObject *self, PyObject *node) noexcept;
PyObject *py_pop(PyObject *self, PyObject *) noexcept;
PyObject *py_notify_dec(PyObject *self, PyObject *node) noexcept;
PyObject *py_clear(PyObject *self, PyObject *) noexcept;

Overridable d_first("first", reinterpret_cast<const void *>(&py_first));
Overridable d_push("push", reinterpret_cast<const void *>(&py_push));
Overridable d_pop("pop", reinterpret_cast<const void *>(&py_pop));
Overridable d_notify_dec("notify_dec", reinterpret_cast<const void *>(&py_notify_dec));
Overridable d_clear("clear", reinterpret_cast<const void *>(&py_clear));

// An override's result, which must be None or a node.
PyObject *node_result(Ref result) {
    check_convertible(result.get(), &NodeType);
    return result.release();
}

PyObject *first(Heap *self, int skip_dispatch) noexcept {
    static constexpr Where where("tarnu.minqueue.MinPairingHeap.first");
    return guard(where, [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_first.find(obj(self))) return node_result(check(PyObject_CallNoArgs(override_.get())));
        }
        return self->root ? borrow(self->root).release() : none().release();
    });
}

// Links a detached node in, taking one reference to it. A node that is an
// operand of a comparison in progress is being linked somewhere already.
[[gnu::always_inline]] inline void link_in(Heap *self, Node *node, const char *operation) {
    check_not_restructuring(self, operation);
    if (obj(node) == Py_None) check_node_item(obj(node));
    if (node->child || node->prev || node->next || self->root == node ||
        (Callback::any() && Callback::node_loose(node))) {
        raise(PyExc_ValueError, "the node is already in a heap");
    }
    Py_INCREF(obj(node));
    if (!self->root) {
        set_root(self, node);
        return;
    }
    Rewriting rewriting(self);
    set_root(self, self->root->vtab->meld(self->root, node));
}

void push(Heap *self, Node *node, int skip_dispatch) noexcept {
    guard_report(Where("tarnu.minqueue.MinPairingHeap.push"), [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_push.find(obj(self))) {
                check(PyObject_CallOneArg(override_.get(), obj(node)));
                return;
            }
        }
        link_in(self, node, "push");
    });
}

// The native-only entries leave a refusal set for their caller, who tests
// the error indicator: a push that did not take must fail the caller's
// operation, not vanish into a report.
void push_native(Heap *self, Node *node) noexcept {
    static constexpr Where where("tarnu.minqueue.MinPairingHeap._push");
    guard_int(where, [&] {
        link_in(self, node, "_push");
        return 0;
    });
}

PyObject *pop(Heap *self, int skip_dispatch) noexcept {
    static constexpr Where where("tarnu.minqueue.MinPairingHeap.pop");
    return guard(where, [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_pop.find(obj(self))) return node_result(check(PyObject_CallNoArgs(override_.get())));
        }
        check_not_restructuring(self, "pop");
        Node *n = self->root;
        if (!n) return none().release();
        {
            Rewriting rewriting(self);
            set_root(self, n->vtab->merge_pairs(n));
        }
        n->next = nullptr;
        return obj(n);  // the heap's reference goes to the caller
    });
}

// The topmost node above `n`, following prev links: the root of a whole
// tree, or a loose node of a tree being rebuilt.
const Node *top_node(const Node *n) noexcept {
    while (n->prev) n = n->prev;
    return n;
}

void move_up(Heap *self, Node *node, const char *operation) {
    check_not_restructuring(self, operation);
    if (obj(node) == Py_None) check_node_item(obj(node));
    if (!node->prev) return;
    // A linked node of an empty heap belongs to another heap; there is no
    // root here to meld it with. While some heap is being rebuilt, a node of
    // its half-built tree must not be cut out of it from here: the node has
    // to hang under this heap's root (a walk up the tree, paid only then).
    if (!self->root || (Callback::any() && top_node(node) != self->root)) {
        raise(PyExc_ValueError, "the node is not in this heap");
    }
    Rewriting rewriting(self);
    node->vtab->cut(node);
    set_root(self, self->root->vtab->meld(self->root, node));
}

void notify_dec(Heap *self, Node *node, int skip_dispatch) noexcept {
    guard_report(Where("tarnu.minqueue.MinPairingHeap.notify_dec"), [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_notify_dec.find(obj(self))) {
                check(PyObject_CallOneArg(override_.get(), obj(node)));
                return;
            }
        }
        move_up(self, node, "notify_dec");
    });
}

void notify_dec_native(Heap *self, Node *node) noexcept {
    static constexpr Where where("tarnu.minqueue.MinPairingHeap._notify_dec");
    guard_int(where, [&] {
        move_up(self, node, "_notify_dec");
        return 0;
    });
}

PyObject *clear(Heap *self, int skip_dispatch) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeap.clear"), [&] {
        if (!skip_dispatch) {
            if (Ref override_ = d_clear.find(obj(self))) return check(PyObject_CallNoArgs(override_.get())).release();
        }
        check_not_restructuring(self, "clear");
        Node *root = self->root;
        if (!root) return none().release();
        // clear_subtree empties the child links, so the nodes and their links
        // are noted first: a failed walk puts the tree back as it was and the
        // heap keeps its root and every node it owns.
        struct Links {
            Node *node, *child, *prev, *next;
        };
        std::vector<Links> nodes;
        walk_tree(root, [&](Node *n) {
            nodes.push_back({n, n->child, n->prev, n->next});
            return 0;
        });
        PyObject *result;
        {
            Rewriting rewriting(self);
            Callback callback;
            result = root->vtab->clear_subtree(root);
        }
        if (!result) {
            for (const Links &l : nodes) {
                l.node->child = l.child;
                l.node->prev = l.prev;
                l.node->next = l.next;
            }
            raise();
        }
        self->root = nullptr;
        for (const Links &l : nodes) l.node->child = l.node->prev = l.node->next = nullptr;
        for (const Links &l : nodes) Py_DECREF(obj(l.node));
        return result;
    });
}

const HeapVTable heap_vtable = {first, push, push_native, pop, notify_dec, notify_dec_native, clear};

// --- the heap's Python entries -------------------------------------------------

inline Heap *as_heap(PyObject *o) noexcept { return reinterpret_cast<Heap *>(o); }

PyObject *heap_new(PyTypeObject *tp, PyObject *, PyObject *) noexcept {
    PyObject *o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    as_heap(o)->vtab = &heap_vtable;
    as_heap(o)->root = nullptr;
    return o;
}

int heap_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int(Where("tarnu.minqueue.MinPairingHeap.__init__"), [&] {
        static const Params params("__init__", {"l"}, 0);
        PyObject *v[1];
        params.parse(args, kwargs, v);
        check_not_restructuring(as_heap(self), "__init__");
        Heap *heap = as_heap(self);
        release_all(heap);
        PyObject *l = v[0];
        if (!l) return 0;
        auto add = [&](PyObject *item) {
            check_node_item(item);
            heap->vtab->push(heap, reinterpret_cast<Node *>(item), 0);
        };
        if (PyList_CheckExact(l) || PyTuple_CheckExact(l)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(l); ++i) {
                Ref item = borrow(PySequence_Fast_GET_ITEM(l, i));
                add(item.get());
            }
        } else {
            Ref iter = check(PyObject_GetIter(l));
            while (Ref item = steal(PyIter_Next(iter.get()))) add(item.get());
            if (error_pending()) raise();
        }
        return 0;
    });
}

int heap_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Heap *heap = as_heap(self);
    // While links are being rewritten the tree may be half built; reporting
    // fewer references only makes the collector keep more alive.
    if (!heap->root || restructuring(heap)) return 0;
    return walk_tree(heap->root, [&](Node *n) { return visit(obj(n), arg); });
}

int heap_clear_refs(PyObject *self) noexcept {
    if (!restructuring(as_heap(self))) release_all(as_heap(self));
    return 0;
}

void heap_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    release_all(as_heap(self));
    Py_TYPE(self)->tp_free(self);
}

int heap_bool(PyObject *self) noexcept { return as_heap(self)->root != nullptr; }

PyObject *py_first(PyObject *self, PyObject *) noexcept { return first(as_heap(self), 1); }

PyObject *py_push(PyObject *self, PyObject *node) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeap.push"), [&] {
        if (!is_node(node)) check_arg_type(node, &NodeType, "node", false);
        push(as_heap(self), reinterpret_cast<Node *>(node), 1);
        return none().release();
    });
}

PyObject *py_pop(PyObject *self, PyObject *) noexcept { return pop(as_heap(self), 1); }

PyObject *py_notify_dec(PyObject *self, PyObject *node) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeap.notify_dec"), [&] {
        if (!is_node(node)) check_arg_type(node, &NodeType, "node", false);
        notify_dec(as_heap(self), reinterpret_cast<Node *>(node), 1);
        return none().release();
    });
}

PyObject *py_clear(PyObject *self, PyObject *) noexcept { return clear(as_heap(self), 1); }

PyObject *py_heap_reduce(PyObject *, PyObject *) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeap.__reduce_cython__"), [] () -> PyObject * {
        raise(PyExc_TypeError, "self.root cannot be converted to a Python object for pickling");
    });
}

PyObject *py_heap_setstate(PyObject *, PyObject *) noexcept {
    return guard(Where("tarnu.minqueue.MinPairingHeap.__setstate_cython__"), [] () -> PyObject * {
        raise(PyExc_TypeError, "self.root cannot be converted to a Python object for pickling");
    });
}

PyMethodDef heap_methods[] = {
    {"first", py_first, METH_NOARGS, TARNU_SIGNATURE("first($self, /)")},
    {"push", py_push, METH_O, TARNU_SIGNATURE("push($self, node, /)")},
    {"pop", py_pop, METH_NOARGS, TARNU_SIGNATURE("pop($self, /)")},
    {"notify_dec", py_notify_dec, METH_O, TARNU_SIGNATURE("notify_dec($self, node, /)")},
    {"clear", py_clear, METH_NOARGS, TARNU_SIGNATURE("clear($self, /)")},
    {"__reduce_cython__", py_heap_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", py_heap_setstate, METH_O, TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyNumberMethods heap_as_number = [] {
    PyNumberMethods m{};
    m.nb_bool = heap_bool;
    return m;
}();

// --- types ----------------------------------------------------------------------

PyTypeObject NodeType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "tarnu.minqueue.MinPairingHeapNode";
    t.tp_basicsize = sizeof(Node);
    t.tp_dealloc = node_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    // A signature and nothing else: the class has no docstring (`__doc__` stays None).
    t.tp_doc = TARNU_SIGNATURE("MinPairingHeapNode(*args, **kwargs)");
    t.tp_methods = node_methods;
    t.tp_new = node_new;
    return t;
}();

PyTypeObject HeapType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "tarnu.minqueue.MinPairingHeap";
    t.tp_basicsize = sizeof(Heap);
    t.tp_dealloc = heap_dealloc;
    t.tp_as_number = &heap_as_number;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = TARNU_SIGNATURE("MinPairingHeap(l=())");
    t.tp_traverse = heap_traverse;
    t.tp_clear = heap_clear_refs;
    t.tp_methods = heap_methods;
    t.tp_init = heap_init;
    t.tp_new = heap_new;
    return t;
}();

PyTypeObject ChildrenStateType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "tarnu.minqueue._children_state";
    t.tp_basicsize = sizeof(ChildrenState);
    t.tp_dealloc = children_state_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = children_state_traverse;
    return t;
}();

// --- module ---------------------------------------------------------------------

PyObject *lookup_builtin(const char *name) {
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *value = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (!value) {
        Ref n = check(PyUnicode_FromString(name));
        raise_format(PyExc_NameError, "name '%U' is not defined", n.get());
    }
    return borrow(value).release();
}

void ready_type(PyObject *module, PyTypeObject *type, const char *name, const void *vtable) {
    check(PyType_Ready(type));
    settle_signature_only_doc(type);
    publish_vtable(type, vtable);
    check(PyObject_SetAttrString(module, name, reinterpret_cast<PyObject *>(type)));
    setup_reduce(type);
}

void exec_module(PyObject *module) {
    g_children_name = check(PyUnicode_InternFromString("_children")).release();
    g_children_qualname = check(PyUnicode_InternFromString("MinPairingHeapNode._children")).release();
    g_print = lookup_builtin("print");
    g_type_error = lookup_builtin("TypeError");
    ready_type(module, &NodeType, "MinPairingHeapNode", &node_vtable);
    ready_type(module, &HeapType, "MinPairingHeap", &heap_vtable);
    check(PyType_Ready(&ChildrenStateType));
    // Its only imports: the built-in types.
    check_builtin_types();
    init_generator_type();
    register_generator_abc();
}

ModuleDef module_def("minqueue", "tarnu.minqueue", nullptr, exec_module);

}  // namespace
}  // namespace tarnu::minqueue

PyMODINIT_FUNC PyInit_minqueue(void) { return tarnu::minqueue::module_def.init(); }
