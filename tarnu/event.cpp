// tarnu.event: Event, the heap node the kernel schedules: an activation time
// in ticks, the process to resume and the wake-up reason.
#include "event.hpp"

#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/compat.hpp"
#include "runtime/module.hpp"
#include "runtime/pickle.hpp"

namespace tarnu::event {
namespace {

using namespace runtime;
using minqueue::Node;
using minqueue::NodeVTable;

extern PyTypeObject EventType;
PyTypeObject *g_node_type = nullptr;           // owned for the life of the process
const NodeVTable *g_node_vtable = nullptr;
EventVTable g_event_vtable;

inline Event *as_event(PyObject *o) noexcept { return reinterpret_cast<Event *>(o); }
inline Event *as_event(Node *n) noexcept { return reinterpret_cast<Event *>(n); }

// The schedule counter of every event (see event.hpp), published to the
// modules that schedule events through Event's method table.
uint64_t g_schedule_seq = 0;

// Events order by time, then by schedule stamp, natively: the heap never
// calls into Python for them. Against any other kind of node the node's own
// ordering applies.
int key_lt(Node *self, Node *other, int skip_dispatch) noexcept {
    PyObject *o = reinterpret_cast<PyObject *>(other);
    if (Py_TYPE(o) == &EventType || PyObject_TypeCheck(o, &EventType)) {
        return earlier(as_event(self), as_event(other));
    }
    return g_node_vtable->key_lt(self, other, skip_dispatch);
}

// Two nodes that both carry Event's own table (exact Events and their
// Python subclasses) compare inline; every other pair goes through the
// first node's table, as the heap would.
inline bool event_less(Node *a, Node *b) noexcept {
    if (a->vtab == &g_event_vtable.base && b->vtab == &g_event_vtable.base) {
        return earlier(as_event(a), as_event(b));
    }
    return a->vtab->key_lt(a, b, 0);
}

Node *meld(Node *a, Node *b) noexcept { return minqueue::meld_with(a, b, event_less); }
Node *merge_pairs(Node *n) noexcept { return minqueue::merge_pairs_with(n, event_less); }

PyObject *event_new(PyTypeObject *tp, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *o = g_node_type->tp_new(tp, args, kwargs);
    if (!o) return nullptr;
    Event *e = as_event(o);
    e->base.vtab = &g_event_vtable.base;
    e->time_i64 = 0;
    e->process = borrow(Py_None).release();
    e->reason = 0;
    e->seq = g_schedule_seq++;
    return o;
}

const Params g_init_params("__init__", {"time_i64", "process", "reason"}, 3);

void init_fields(PyObject *self, PyObject *const *v) {
    int64_t time_i64 = to_int64(v[0]);
    long small;
    int32_t reason = compat::small_int_value(v[2], small) ? static_cast<int32_t>(small) : to_int32(v[2]);
    Event *e = as_event(self);
    schedule(e, &g_schedule_seq, time_i64, reason);
    assign_field(e->process, v[1]);
}

int event_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int(Where("tarnu.event.Event.__init__"), [&] {
        PyObject *v[3];
        g_init_params.parse(args, kwargs, v);
        init_fields(self, v);
        return 0;
    });
}

// Calling the type itself, without an argument tuple: the steps of a type
// call (new, then __init__ on what new made), with __init__'s parsing and
// messages. Subclasses do not inherit it and take the ordinary call.
PyObject *event_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    // Event's new (and the node's under it) takes no arguments.
    Ref made = steal(tp->tp_new(tp, nullptr, nullptr));
    if (!made) return nullptr;
    if (!PyObject_TypeCheck(made.get(), tp)) return made.release();
    int status = guard_int(Where("tarnu.event.Event.__init__"), [&] {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (nargs == 3 && !kwnames) {
            init_fields(made.get(), args);
            return 0;
        }
        PyObject *v[3];
        g_init_params.parse(args, nargs, kwnames, v);
        init_fields(made.get(), v);
        return 0;
    });
    return status < 0 ? nullptr : made.release();
}

int event_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(as_event(self)->process);
    return 0;
}

int event_clear(PyObject *self) noexcept {
    Py_CLEAR(as_event(self)->process);
    return 0;
}

void event_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    event_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject *event_repr(PyObject *self) noexcept {
    return guard(Where("tarnu.event.Event.__repr__"), [&] {
        Event *e = as_event(self);
        Ref seconds = check(PyFloat_FromDouble(static_cast<double>(e->time_i64) / 1000.0));
        return check(PyUnicode_FromFormat("<%s t=%Rs reason=%d process=%R>", Py_TYPE(self)->tp_name, seconds.get(),
                                          static_cast<int>(e->reason), e->process ? e->process : Py_None))
            .release();
    });
}

PyObject *get_time(PyObject *self, void *) noexcept {
    return guard(Where("tarnu.event.Event.time_i64.__get__"), [&] { return py_int(as_event(self)->time_i64).release(); });
}

int set_time(PyObject *self, PyObject *value, void *) noexcept {
    return guard_int(Where("tarnu.event.Event.time_i64.__set__"), [&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        // A new time is a new schedule: behind the events already at that tick.
        Event *e = as_event(self);
        e->time_i64 = to_int64(value);
        e->seq = g_schedule_seq++;
        return 0;
    });
}

PyObject *get_reason(PyObject *self, void *) noexcept {
    return guard(Where("tarnu.event.Event.reason.__get__"), [&] { return py_int(as_event(self)->reason).release(); });
}

int set_reason(PyObject *self, PyObject *value, void *) noexcept {
    return guard_int(Where("tarnu.event.Event.reason.__set__"), [&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        as_event(self)->reason = to_int32(value);
        return 0;
    });
}

PyObject *get_process(PyObject *self, void *) noexcept {
    PyObject *p = as_event(self)->process;
    return borrow(p ? p : Py_None).release();
}

PyObject *get_seq(PyObject *self, void *) noexcept {
    return PyLong_FromUnsignedLongLong(as_event(self)->seq);
}

PyGetSetDef event_getset[] = {
    {"time_i64", get_time, set_time, "activation time in ticks", nullptr},
    {"seq", get_seq, nullptr,
     "schedule stamp: events of one tick run in the order of their stamps, which is the order in which they "
     "were scheduled",
     nullptr},
    {"process", get_process, nullptr, "the process to resume", nullptr},
    {"reason", get_reason, set_reason, "wake-up reason", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A pickled event is detached: the heap links are not part of it.
PyObject *py_reduce(PyObject *self, PyObject *) noexcept {
    return guard(Where("tarnu.event.Event.__reduce_cython__"), [&] {
        Event *e = as_event(self);
        Ref time = py_int(e->time_i64);
        Ref reason = py_int(e->reason);
        Ref args = check(PyTuple_Pack(3, time.get(), e->process ? e->process : Py_None, reason.get()));
        return check(PyTuple_Pack(2, reinterpret_cast<PyObject *>(Py_TYPE(self)), args.get())).release();
    });
}

PyObject *py_setstate(PyObject *self, PyObject *state) noexcept {
    return guard(Where("tarnu.event.Event.__setstate_cython__"), [&] {
        check_exact(state, &PyTuple_Type, "tuple", true);
        if (state != Py_None) {
            if (PyTuple_GET_SIZE(state) != 3) raise(PyExc_ValueError, "an event state holds three items");
            int64_t time_i64 = to_int64(PyTuple_GET_ITEM(state, 0));
            int32_t reason = to_int32(PyTuple_GET_ITEM(state, 2));
            schedule(as_event(self), &g_schedule_seq, time_i64, reason);
            assign_field(as_event(self)->process, PyTuple_GET_ITEM(state, 1));
        }
        return none().release();
    });
}

PyMethodDef event_methods[] = {
    {"__reduce_cython__", py_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", py_setstate, METH_O, TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject EventType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "tarnu.event.Event";
    t.tp_basicsize = sizeof(Event);
    t.tp_dealloc = event_dealloc;
    t.tp_repr = event_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = TARNU_SIGNATURE("Event(time_i64, process, reason)")
        "Event(time_i64, process, reason)\n\nA scheduled wake-up of a process. Events order by time, then by "
        "schedule stamp (`seq`, taken whenever the event gets a new time): the events of one tick come out "
        "first-in first-out.";
    t.tp_traverse = event_traverse;
    t.tp_clear = event_clear;
    t.tp_methods = event_methods;
    t.tp_getset = event_getset;
    t.tp_init = event_init;
    t.tp_new = event_new;
    t.tp_vectorcall = event_vectorcall;
    return t;
}();

void exec_module(PyObject *module) {
    Ref doc = check(PyUnicode_FromString(
        "Event, the heap node the kernel schedules.\n\n"
        "Each process owns one Event, its pending wake-up: the time in ticks, the process to\n"
        "resume and the reason it will be woken with. The environment keeps the events in its\n"
        "heap and resumes the process of the earliest one."));
    set_attr(module, "__doc__", doc.get());
    check_builtin_types();
    NodeVTable *node_vtable = nullptr;
    g_node_type = import_type("tarnu.minqueue", "MinPairingHeapNode", sizeof(Node), node_vtable);
    g_node_vtable = node_vtable;
    g_event_vtable.base = *node_vtable;
    g_event_vtable.base.key_lt = key_lt;
    g_event_vtable.base.meld = meld;
    g_event_vtable.base.merge_pairs = merge_pairs;
    g_event_vtable.schedule_seq = &g_schedule_seq;
    EventType.tp_base = g_node_type;
    check(PyType_Ready(&EventType));
    publish_vtable(&EventType, &g_event_vtable);
    set_attr(module, "Event", reinterpret_cast<PyObject *>(&EventType));
    setup_reduce(&EventType);
}

ModuleDef module_def("event", "tarnu.event", nullptr, exec_module);

}  // namespace
}  // namespace tarnu::event

PyMODINIT_FUNC PyInit_event(void) { return tarnu::event::module_def.init(); }
