// tarnu.process: the Process base class, its registration with an
// environment, activation, and the stepping of its generator.
#include "process.hpp"

#include <algorithm>

#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/compat.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/generator.hpp"
#include "runtime/hot_time.hpp"
#include "runtime/module.hpp"
#include "runtime/typecheck.hpp"
#include "runtime/pickle.hpp"
#include "sim.hpp"
#include "timeconv.hpp"

namespace tarnu::process {
namespace {

using namespace runtime;
using event::Event;
using minqueue::Heap;
using minqueue::Node;
using sim::Environment;

// --- bound at import -----------------------------------------------------------

PyTypeObject *g_node_type, *g_heap_type, *g_event_type, *g_env_type;
const minqueue::NodeVTable *g_node_vtab;
const minqueue::HeapVTable *g_heap_vtab;
const event::EventVTable *g_event_vtab;
const sim::EnvironmentVTable *g_env_vtab;
double *g_TIME_FOREVER;
int *g_TIME_PASSED, *g_TIME_REACHED, *g_LOCK_RELEASED;
timeconv::D2L *g_d2l;
timeconv::L2D *g_l2d;
uint64_t *g_schedule_seq;  // tarnu.event's schedule counter, from Event's method table

PyObject *g_globals;  // the module's dict (uncounted: the module lives for ever)
PyObject *g_str_isgenerator, *g_str_send, *g_str_call, *g_str_call_qualname;
PyObject *g_not_implemented;  // the builtin NotImplementedError, looked up once

extern PyTypeObject g_process_type;
extern const ProcessVTable g_process_vtable;

inline PyObject *obj(void *p) noexcept { return static_cast<PyObject *>(p); }
inline bool is_none(const void *p) noexcept { return p == Py_None; }
inline Process *proc(PyObject *o) noexcept { return reinterpret_cast<Process *>(o); }

SubtypeCheck g_is_env, g_is_heap;
bool is_environment(PyObject *o) noexcept { return g_is_env(o, g_env_type); }

// --- the activation pair rule ----------------------------------------------------

[[noreturn]] void raise_too_few(Py_ssize_t got) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

// Turns a yielded value into the activation tick and reason: None sleeps
// until activated; otherwise exactly two items, time then reason; a time in
// the past means the current tick.
[[gnu::always_inline]] inline void activation_pair(Process *self, PyObject *value, int64_t &ticks, int32_t &reason) {
    double time;
    // The time first, so that a bad time is reported before a bad reason.
    auto convert = [&](PyObject *t, PyObject *r) {
        time = to_double(t);
        long small;
        reason = compat::small_int_value(r, small) ? static_cast<int32_t>(small) : to_int32(r);
    };
    if (value == Py_None) {
        time = *g_TIME_FOREVER;
        reason = *g_TIME_PASSED;
    } else if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        // A tuple cannot change while its items convert, and the caller holds it.
        convert(PyTuple_GET_ITEM(value, 0), PyTuple_GET_ITEM(value, 1));
    } else {
        Ref first, second;
        if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
            Py_ssize_t n = Py_SIZE(value);
            if (n > 2) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
            if (n < 2) raise_too_few(n);
            PyObject **items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0) : &PyList_GET_ITEM(value, 0);
            first = borrow(items[0]);
            second = borrow(items[1]);
        } else {
            // PyIter_Next: an iterator whose __next__ raises StopIteration (or a
            // generator that returns) has simply run out of items; any other
            // exception propagates unchanged.
            Ref it = check(PyObject_GetIter(value));
            first = steal(PyIter_Next(it.get()));
            if (!first) {
                if (error_pending()) raise();
                raise_too_few(0);
            }
            second = steal(PyIter_Next(it.get()));
            if (!second) {
                if (error_pending()) raise();
                raise_too_few(1);
            }
            Ref extra = steal(PyIter_Next(it.get()));
            if (extra) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
            if (error_pending()) raise();
        }
        convert(first.get(), second.get());
    }
    // Read the clock after the conversions, which may run Python code.
    if (is_none(self->env) || !is_environment(obj(self->env))) {
        raise(PyExc_RuntimeError, "the process has no environment");
    }
    ticks = std::max(self->env->time_i64, d2l_hot(g_d2l, time));
}

// The heap to push into, owned by the caller while it is used.
inline Ref heap_of(Process *self) {
    if (is_none(self->ev_heap) || !g_is_heap(obj(self->ev_heap), g_heap_type)) {
        raise(PyExc_RuntimeError, "the process has no event heap (its environment was not set up)");
    }
    return borrow(self->ev_heap);
}

// The reasons sent into generators, made once: stepping allocates nothing
// and makes no call for them.
constexpr int kCachedReasons = 256;
PyObject *g_reasons[kCachedReasons];

// The reason as a Python int: borrowed from the table, or made into `made`.
inline PyObject *reason_object(int32_t reason, Ref &made) {
    if (reason >= 0 && reason < kCachedReasons) return g_reasons[reason];
    made = py_int(reason);
    return made.get();
}

// Resumes the process's generator: exact generators without a method call.
[[gnu::always_inline]] inline PyObject *send_to(PyObject *gen, PyObject *value) noexcept {
    if (PyGen_CheckExact(gen)) return compat::gen_send(gen, value);
    if (Py_TYPE(gen) == generator_type()) return runtime::send(gen, value);
    return PyObject_CallMethodOneArg(gen, g_str_send, value);
}

// --- native entries ----------------------------------------------------------------

PyObject *py_setup_env(PyObject *self, PyObject *arg) noexcept;
PyObject *py_wait(PyObject *self, PyObject *) noexcept;
PyObject *py_process(PyObject *self, PyObject *) noexcept;
PyObject *py_activate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;
PyObject *py_start(PyObject *self, PyObject *) noexcept;
PyObject *py_finish(PyObject *self, PyObject *) noexcept;

Overridable ov_setup_env{"setup_env", reinterpret_cast<const void *>(py_setup_env)};
Overridable ov_wait{"_wait", reinterpret_cast<const void *>(py_wait)};
Overridable ov_process{"_process", reinterpret_cast<const void *>(py_process)};
Overridable ov_activate{"activate", TARNU_TUPLE_ENTRY(py_activate)};
Overridable ov_start{"start", reinterpret_cast<const void *>(py_start)};
Overridable ov_finish{"finish", reinterpret_cast<const void *>(py_finish)};

PyObject *wait(Process *self, int skip_dispatch) {
    return guard("tarnu.process.Process._wait", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_wait.find(obj(self))) {
                Ref result = check(PyObject_CallNoArgs(override.get()));
                check_exact(result.get(), &PyTuple_Type, "tuple", true);
                return result.release();
            }
        }
        Ref time = py_float(*g_TIME_FOREVER);
        Ref reason = py_int(*g_TIME_PASSED);
        return check(PyTuple_Pack(2, time.get(), reason.get())).release();
    });
}

PyObject *process_(Process *self, int skip_dispatch) {
    return guard("tarnu.process.Process._process", [&]() -> PyObject * {
        if (!skip_dispatch) {
            if (Ref override = ov_process.find(obj(self))) return check(PyObject_CallNoArgs(override.get())).release();
        }
        PyErr_SetNone(g_not_implemented);
        raise();
    });
}

void activate(Process *self, double time, int32_t reason, int skip_dispatch) {
    guard_report("tarnu.process.Process.activate", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_activate.find(obj(self))) {
                Ref t = py_float(time);
                Ref r = py_int(reason);
                check(PyObject_CallFunctionObjArgs(override.get(), t.get(), r.get(), nullptr));
                return;
            }
        }
        if (is_none(self->event)) raise(PyExc_RuntimeError, "activate() on a process that has not been started");
        if (is_none(self->env)) raise(PyExc_RuntimeError, "the process has no environment");
        Ref heap = heap_of(self);
        int64_t ticks = std::max(g_d2l(time, 0), self->env->time_i64);
        Event *ev = self->event;
        // Only a wake-up that is still pending in the heap can move: an event
        // out of the heap (its step is running, or its generator ended) is
        // left alone even when the clock went back with a new __init__.
        Heap *h = heap.as<Heap>();
        bool in_heap = ev->base.prev != nullptr || h->root == &ev->base;
        if (ticks < ev->time_i64 && in_heap) {
            // Scheduled anew: behind the events already pending at that tick.
            event::schedule(ev, g_schedule_seq, ticks, reason);
            h->vtab->notify_dec_native(h, &ev->base);
            if (error_pending()) raise();
        }
    });
}

// The generator's first step, turned into the process's one event.
void start_body(Process *self) {
    if (!is_none(self->event)) raise(PyExc_RuntimeError, "the process has already been started");
    Ref keep = borrow(self);
    Ref gen = check(PyObject_CallNoArgs(obj(self)));
    assign_field(self->process, gen.get());
    Ref value = check(send_to(gen.get(), Py_None));
    int64_t ticks;
    int32_t reason;
    activation_pair(self, value.get(), ticks, reason);
    Ref t = py_int(ticks);
    Ref made;
    PyObject *args[] = {t.get(), obj(self), reason_object(reason, made)};
    Ref ev = check(PyObject_Vectorcall(obj(g_event_type), args, 3, nullptr));
    check_convertible(ev.get(), g_event_type);
    if (!is_none(self->event)) raise(PyExc_RuntimeError, "the process has already been started");
    Ref heap = heap_of(self);
    assign_field(self->event, ev.get());
    Heap *h = heap.as<Heap>();
    h->vtab->push_native(h, &ev.as<Event>()->base);
    if (error_pending()) raise();
}

void start(Process *self, int skip_dispatch) {
    try {
        if (!skip_dispatch) {
            if (Ref override = ov_start.find(obj(self))) {
                check(PyObject_CallNoArgs(override.get()));
                return;
            }
        }
        start_body(self);
    } catch (const Error &) {
        add_traceback("tarnu.process.Process.start");
    } catch (...) {
        set_from_cpp_exception();
        add_traceback("tarnu.process.Process.start");
    }
}

void finish(Process *self, int skip_dispatch) {
    guard_report("tarnu.process.Process.finish", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_finish.find(obj(self))) check(PyObject_CallNoArgs(override.get()));
        }
    });
}

void setup_env(Process *self, Environment *env, int skip_dispatch) {
    guard_report("tarnu.process.Process.setup_env", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_setup_env.find(obj(self))) {
                check(PyObject_CallOneArg(override.get(), obj(env)));
                return;
            }
        }
        // Registration needs a real environment: None is refused too.
        if (is_none(env) || !is_environment(obj(env))) {
            raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj(env))->tp_name,
                         g_env_type->tp_name);
        }
        // A started process's event lives in its heap; moving the process to
        // another heap would leave that event linked into the old one.
        if (!is_none(self->event) && obj(env->ev_heap) != obj(self->ev_heap)) {
            raise(PyExc_RuntimeError, "a started process cannot move to another environment's heap");
        }
        Ref keep = borrow(env);
        assign_field(self->env, obj(env));
        assign_field(self->ev_heap, obj(env->ev_heap));
        env->vtab->add(env, self, 0);
    });
}

// Whether the event is linked in a heap: an inner node has a prev link, a
// root carries the heap's root mark in its next link.
inline bool linked(const Event *e) noexcept { return e->base.prev || e->base.next; }

[[noreturn]] void refuse_linked_event() {
    raise(PyExc_RuntimeError, "run_step() on a process whose event is waiting in a heap");
}

// Resumes the generator with the reason of the event just popped and puts
// the same event back with the next activation. Everything used across the
// resumption is held, since process code may drop the last other reference
// (the process itself is held by the caller, as for any native entry).
//
// A process has one event, and a step may re-key it only while it is out of
// every heap: rewriting the time of a linked event would change the order
// of its heap behind the heap's back. So a step is refused when the event
// is still waiting (a stray event of this process was popped instead), and
// again when process code linked it somewhere during the step.
void run_step(Process *self) noexcept {
    try {
        if (is_none(self->event) || is_none(self->process)) {
            raise(PyExc_RuntimeError, "run_step() on a process that has not been started");
        }
        Ref ev = borrow(self->event);
        Event *e = ev.as<Event>();
        if (linked(e)) refuse_linked_event();
        Ref gen = borrow(self->process);
        Ref made;
        Ref value = check(send_to(gen.get(), reason_object(e->reason, made)));
        int64_t ticks;
        int32_t reason;
        activation_pair(self, value.get(), ticks, reason);
        Ref heap = heap_of(self);
        if (linked(e)) refuse_linked_event();
        event::schedule(e, g_schedule_seq, ticks, reason);
        Heap *h = heap.as<Heap>();
        // A refused push leaves its exception set: the step fails with it,
        // for the caller, who tests the error indicator, to handle.
        h->vtab->push_native(h, &e->base);
    } catch (const Error &) {
        add_traceback("tarnu.process.Process.run_step");
    } catch (...) {
        set_from_cpp_exception();
        add_traceback("tarnu.process.Process.run_step");
    }
}

const ProcessVTable g_process_vtable = {
    wait, process_, activate, start, finish, setup_env, run_step,
};

// --- the default generator ----------------------------------------------------------

// Resumption points of the default generator.
enum Point : int32_t { kWait = 0, kWaiting = 1 };

// `isgenerator` as the module sees it: its globals, then builtins.
Ref module_isgenerator() {
    PyObject *f = PyDict_GetItemWithError(g_globals, g_str_isgenerator);
    if (!f && !error_pending()) f = PyDict_GetItemWithError(PyEval_GetBuiltins(), g_str_isgenerator);
    if (!f) {
        if (!error_pending()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_str_isgenerator);
        raise();
    }
    return borrow(f);
}

// The loop: wait at `_wait`'s pair, then run `_process`, delegating to it
// when it is a generator; the value sent in at the wait is ignored.
PyObject *call_body_step(Generator *gen, PyObject *sent) {
    Process *self = reinterpret_cast<Process *>(gen->state);
    if (!sent) raise();  // a thrown exception ends the loop
    for (;;) {
        if (gen->point == kWaiting) {
            self->is_waiting = 0;
            Ref p = check(self->vtab->process(self, 0));
            Ref isgen = module_isgenerator();
            Ref answer = check(PyObject_CallOneArg(isgen.get(), p.get()));
            gen->point = kWait;
            if (check(PyObject_IsTrue(answer.get()))) {
                if (Ref first = yield_from(gen, p.get())) return first.release();
            }
        }
        self->is_waiting = 1;
        Ref w = check(self->vtab->wait(self, 0));
        gen->point = kWaiting;
        return w.release();
    }
}

PyObject *call_body(Generator *gen, PyObject *sent) {
    try {
        return call_body_step(gen, sent);
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    add_traceback("__call__");
    return nullptr;
}

const GeneratorBody kCallBody{call_body, "tarnu.process"};

PyObject *process_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guard("tarnu.process.Process.__call__", [&] {
        parse_no_args("__call__", args, kwargs);
        return new_generator(&kCallBody, borrow(self), g_str_call, g_str_call_qualname).release();
    });
}

// --- Python entries ---------------------------------------------------------------------

PyObject *py_setup_env(PyObject *self, PyObject *arg) noexcept {
    setup_env(proc(self), reinterpret_cast<Environment *>(arg), 1);
    Py_RETURN_NONE;
}

PyObject *py_wait(PyObject *self, PyObject *) noexcept { return wait(proc(self), 1); }
PyObject *py_process(PyObject *self, PyObject *) noexcept { return process_(proc(self), 1); }

PyObject *py_activate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.process.Process.activate", [&] {
        static const Params params("activate", {"time", "reason"}, 2);
        PyObject *v[2];
        params.parse(args, nargs, kwnames, v);
        double time = to_double(v[0]);
        int32_t reason = to_int32(v[1]);
        activate(proc(self), time, reason, 1);
        return none().release();
    });
}

PyObject *py_start(PyObject *self, PyObject *) noexcept {
    start(proc(self), 1);
    if (error_pending()) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_finish(PyObject *self, PyObject *) noexcept {
    finish(proc(self), 1);
    Py_RETURN_NONE;
}

PyObject *pending_time(PyObject *self, const char *qualname) noexcept {
    return guard(qualname, [&] {
        Process *p = proc(self);
        if (is_none(p->event)) raise(PyExc_RuntimeError, "the process has not been started: it has no pending event");
        return py_float(g_l2d(p->event->time_i64, 0)).release();
    });
}
PyObject *py_next_event_time(PyObject *self, PyObject *) noexcept {
    return pending_time(self, "tarnu.process.Process.next_event_time");
}
PyObject *py_next_activation_time(PyObject *self, PyObject *) noexcept {
    return pending_time(self, "tarnu.process.Process.next_activation_time");
}

// --- pickling ---------------------------------------------------------------------------

void process_set_state(PyObject *self, PyObject *state);

const PickleLayout kProcessPickle = {
    "__pyx_unpickle_Process", &g_process_type, 0x955b494,
    "0x955b494 = (_is_waiting, env, ev_heap, event, id, process)", 6, process_set_state,
};

// Fields in name order: _is_waiting, env, ev_heap, event, id, process.
PyObject *py_reduce(PyObject *self, PyObject *) noexcept {
    return guard("tarnu.process.Process.__reduce_cython__", [&] {
        Process *p = proc(self);
        Ref waiting = py_bool(p->is_waiting);
        Ref fields = check(PyTuple_Pack(6, waiting.get(), obj(p->env), obj(p->ev_heap), obj(p->event), p->id,
                                        p->process));
        bool any_object = !is_none(p->env) || !is_none(p->ev_heap) || !is_none(p->event) || !is_none(p->id) ||
                          !is_none(p->process);
        return reduce_instance(kProcessPickle, self, g_globals, std::move(fields), any_object);
    });
}

// The topmost node above `n`: the root of the heap that holds it, or `n`
// itself when it is detached or a root.
const Node *top_node(const Node *n) noexcept {
    while (n->prev) n = n->prev;
    return n;
}

// An event linked below a heap's root is only ever moved in the heap its
// process names (activate re-keys it there), so a restored process must not
// name another heap for it, nor may a waiting process change its event or
// heap under the heap that holds it.
void check_restorable(Process *self) {
    if (is_none(self->event)) return;
    const Node *n = &self->event->base;
    if (n->prev || (!is_none(self->ev_heap) && self->ev_heap->root == n)) {
        raise(PyExc_RuntimeError, "cannot restore the state of a process whose event is waiting in a heap");
    }
}

void check_event_heap(PyObject *event, Heap *heap) {
    if (event == Py_None) return;
    const Node *n = &reinterpret_cast<Event *>(event)->base;
    if (!n->prev) return;
    if (is_none(heap) || heap->root != top_node(n)) {
        raise(PyExc_RuntimeError, "the restored event waits in a heap other than the restored ev_heap");
    }
}

// Each field is assigned before the next item is converted, so a failure
// leaves the earlier ones restored.
void process_set_state(PyObject *self, PyObject *state) {
    try {
        check_state(kProcessPickle, state);
        Process *p = proc(self);
        check_restorable(p);
        p->is_waiting = check(PyObject_IsTrue(PyTuple_GET_ITEM(state, 0)));
        PyObject *env = PyTuple_GET_ITEM(state, 1);
        check_convertible(env, g_env_type);
        assign_field(p->env, env);
        PyObject *heap = PyTuple_GET_ITEM(state, 2);
        check_convertible(heap, g_heap_type);
        assign_field(p->ev_heap, heap);
        PyObject *event = PyTuple_GET_ITEM(state, 3);
        check_convertible(event, g_event_type);
        check_event_heap(event, p->ev_heap);
        assign_field(p->event, event);
        assign_field(p->id, PyTuple_GET_ITEM(state, 4));
        assign_field(p->process, PyTuple_GET_ITEM(state, 5));
        merge_state_dict(kProcessPickle, self, state);
    } catch (const Error &) {
        add_traceback("tarnu.process.__pyx_unpickle_Process__set_state");
        throw;
    }
}

PyObject *py_setstate(PyObject *self, PyObject *state) noexcept {
    return guard("tarnu.process.Process.__setstate_cython__",
                 [&] { return set_state_entry(kProcessPickle, self, state); });
}

PyObject *py_unpickle(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.process.__pyx_unpickle_Process",
                 [&] { return unpickle(kProcessPickle, args, nargs, kwnames); });
}

// --- the type -------------------------------------------------------------------------

PyObject *process_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Process *self = proc(o);
    self->vtab = &g_process_vtable;
    self->env = reinterpret_cast<Environment *>(borrow(Py_None).release());
    self->process = borrow(Py_None).release();
    self->id = borrow(Py_None).release();
    self->is_waiting = 0;
    self->event = reinterpret_cast<Event *>(borrow(Py_None).release());
    self->ev_heap = reinterpret_cast<Heap *>(borrow(Py_None).release());
    return o;
}

int process_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int("tarnu.process.Process.__init__", [&] {
        static const Params params("__init__", {"env"}, 1);
        PyObject *v[1];
        params.parse(args, kwargs, v);
        // None is refused with the same message: a process needs an
        // environment to register with.
        check_arg_type(v[0], g_env_type, "env", false);
        Ref env = borrow(v[0]);
        Process *self = proc(o);
        // A started process owns an event, which may be waiting in a heap;
        // setting it up afresh would give it a second one.
        if (!is_none(self->event)) {
            raise(PyExc_RuntimeError, "the process has already been started: it cannot be initialised again");
        }
        assign_field(self->process, Py_None);
        assign_field(self->ev_heap, Py_None);
        assign_field(self->event, Py_None);
        self->is_waiting = 0;
        self->vtab->setup_env(self, env.as<Environment>(), 0);
        if (env.as<Environment>()->started) {
            self->vtab->start(self, 0);
            if (error_pending()) raise();
        }
        return 0;
    });
}

int process_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Process *self = proc(o);
    Py_VISIT(obj(self->env));
    Py_VISIT(self->process);
    Py_VISIT(self->id);
    Py_VISIT(obj(self->event));
    Py_VISIT(obj(self->ev_heap));
    return 0;
}

int process_clear(PyObject *o) noexcept {
    Process *self = proc(o);
    assign_field(self->env, Py_None);
    assign_field(self->process, Py_None);
    assign_field(self->id, Py_None);
    assign_field(self->event, Py_None);
    assign_field(self->ev_heap, Py_None);
    return 0;
}

void process_dealloc(PyObject *o) noexcept {
    // A subclass's finaliser runs first, once.
    if (Py_TYPE(o)->tp_finalize && PyObject_CallFinalizerFromDealloc(o) < 0) return;
    PyObject_GC_UnTrack(o);
    Process *self = proc(o);
    Py_CLEAR(self->env);
    Py_CLEAR(self->process);
    Py_CLEAR(self->id);
    Py_CLEAR(self->event);
    Py_CLEAR(self->ev_heap);
    Py_TYPE(o)->tp_free(o);
}

PyObject *get_env(PyObject *o, void *) noexcept { return borrow(proc(o)->env).release(); }
PyObject *get_time(PyObject *o, void *) noexcept { return PyObject_GetAttrString(obj(proc(o)->env), "time"); }
PyObject *get_is_waiting(PyObject *o, void *) noexcept { return PyBool_FromLong(proc(o)->is_waiting); }

#define TARNU_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
PyMethodDef process_methods[] = {
    {"setup_env", py_setup_env, METH_O, TARNU_SIGNATURE("setup_env($self, env, /)")},
    {"_wait", py_wait, METH_NOARGS,
     TARNU_SIGNATURE("_wait($self, /)")
     "_wait()\n\n        Return (not yield) the next activation time (`float`) and reason (`int`).\n"
     "        Note that this method is not a generator.\n\n        :meta public:\n        "},
    {"_process", py_process, METH_NOARGS,
     TARNU_SIGNATURE("_process($self, /)")
     "_process()\n\n        Perform one task. It may be a generator with `yield` statements, or a normal\n"
     "        method. A generator yields time (`float`) and reason (`int`); returns will be ignored.\n\n"
     "        :meta public:\n        "},
    {"activate", TARNU_TUPLE_ENTRY(py_activate), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("activate($self, /, time, reason)")
     "activate(double time, int reason)\n\n        Activate a process at the `time` with a `reason`.\n"
     "        A time earlier than the current simulation time activates the process immediately.\n        "},
    {"start", py_start, METH_NOARGS, TARNU_SIGNATURE("start($self, /)")},
    {"finish", py_finish, METH_NOARGS, TARNU_SIGNATURE("finish($self, /)")},
    {"next_event_time", py_next_event_time, METH_NOARGS, TARNU_SIGNATURE("next_event_time($self, /)")},
    {"next_activation_time", py_next_activation_time, METH_NOARGS,
     TARNU_SIGNATURE("next_activation_time($self, /)")
     "next_activation_time():\n\n        The process's following activation time. This method can only be called "
     "when the process is paused.\n\n        Returns:\n            the time as a `float`.\n        "},
    {"__reduce_cython__", py_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", py_setstate, METH_O, TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef process_getset[] = {
    {"env", get_env, nullptr,
     "The environment the process belongs to. After creation, the process will be added to the environment "
     "automatically.",
     nullptr},
    {"time", get_time, nullptr, "just a alias of the corresponding environment's `time` attribute", nullptr},
    {"_is_waiting", get_is_waiting, nullptr,
     "Whether the default `__call__` is waiting at the activation that `_wait` returned.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char *kProcessDoc =
    TARNU_SIGNATURE("Process(env)")
    "Process(env)\n"
    "    Base class of all process.\n\n"
    "    A process is made with :meth:`Environment.process` or by inheriting this class. Either\n"
    "    override `__call__` (it runs once: loop inside it for repeated work; `_wait` and\n"
    "    `_process` are then ignored), or override `_wait` (returns the next activation time and\n"
    "    reason) and `_process` (does the work, and may be a generator). The default `__call__`::\n\n"
    "        def __call__(self):\n"
    "            while True:\n"
    "                yield self._wait()\n"
    "                p = self._process()\n"
    "                if isgenerator(p):\n"
    "                    yield from p\n\n"
    "    Four ways to define a ticking process (a function given to `env.process` gets the\n"
    "    process as its first argument)::\n\n"
    "        def tick(self):\n"
    "            while True:\n"
    "                yield self.time + 1, TIME_PASSED\n"
    "        env.process(tick)\n\n"
    "        def tick_once(self):\n"
    "            yield self.time + 1, TIME_PASSED\n"
    "        env.process(tick_once, loop_forever=True)\n\n"
    "        class Tick(Process):\n"
    "            def __call__(self):\n"
    "                while True:\n"
    "                    yield self.time + 1, TIME_PASSED\n\n"
    "        class Tick(Process):\n"
    "            def _wait(self):\n"
    "                return self.time + 1, TIME_PASSED\n"
    "            def _process(self):\n"
    "                pass\n\n"
    "    Attributes:\n"
    "        env: The environment the process belongs to. After creation, the process will be\n"
    "            added to the environment automatically.\n"
    "        time: just a alias of the corresponding environment's `time` attribute.\n    ";

const char *kCallDoc =
    TARNU_SIGNATURE("__call__($self, /)")
    "__call__()\n\n        Override this for the main logic of the process.\n\n"
    "        Yields:\n            time (`float`) and reason (`int`) of the next activation.\n\n"
    "        :meta public:\n        ";

PyTypeObject make_type() noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.process.Process";
    t.tp_basicsize = sizeof(Process);
    t.tp_dealloc = process_dealloc;
    t.tp_call = process_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kProcessDoc;
    t.tp_traverse = process_traverse;
    t.tp_clear = process_clear;
    t.tp_methods = process_methods;
    t.tp_getset = process_getset;
    t.tp_init = process_init;
    t.tp_new = process_new;
    return t;
}

PyTypeObject g_process_type = make_type();

// Gives the type's `__call__` slot wrapper its docstring.
void document_call() {
    Ref wrapper = check(PyObject_GetAttrString(obj(&g_process_type), "__call__"));
    if (Py_TYPE(wrapper.get()) != &PyWrapperDescr_Type) return;
    static wrapperbase base;
    auto *descr = reinterpret_cast<PyWrapperDescrObject *>(wrapper.get());
    base = *descr->d_base;
    base.doc = kCallDoc;
    descr->d_base = &base;
}

Ref intern(const char *text) { return check(PyUnicode_InternFromString(text)); }

// --- module ----------------------------------------------------------------------------------

void exec_module(PyObject *module) {
    g_globals = PyModule_GetDict(module);
    g_str_isgenerator = intern("isgenerator").release();
    g_str_send = intern("send").release();
    g_str_call = intern("__call__").release();
    g_str_call_qualname = intern("Process.__call__").release();
    Ref name = intern("NotImplementedError");
    g_not_implemented = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.get());
    if (!g_not_implemented) {
        if (!error_pending()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        raise();
    }
    Py_INCREF(g_not_implemented);
    for (int i = 0; i < kCachedReasons; ++i) g_reasons[i] = py_int(i).release();

    // Published before any package import: tarnu.sim, imported below, binds
    // back to this partly initialised module.
    init_generator_type();
    check(PyType_Ready(&g_process_type));
    publish_vtable(&g_process_type, &g_process_vtable);
    setup_reduce(&g_process_type);
    set_attr(module, "Process", obj(&g_process_type));
    document_call();

    // The imports, in order: the built-in types first, then the package.
    check_builtin_types();
    g_node_type = import_type(minqueue::kModule, "MinPairingHeapNode", sizeof(Node), g_node_vtab);
    g_heap_type = import_type(minqueue::kModule, "MinPairingHeap", sizeof(Heap), g_heap_vtab);
    g_event_type = import_type(event::kModule, "Event", sizeof(Event), g_event_vtab);
    g_env_type = import_type(sim::kModule, "Environment", sizeof(Environment), g_env_vtab);
    import_variable(g_TIME_FOREVER, "tarnu.define", "_TIME_FOREVER", "double");
    import_variable(g_TIME_PASSED, "tarnu.define", "_TIME_PASSED", "int");
    import_variable(g_TIME_REACHED, "tarnu.define", "_TIME_REACHED", "int");
    import_variable(g_LOCK_RELEASED, "tarnu.define", "_LOCK_RELEASED", "int");
    import_function(g_d2l, timeconv::kModule, "d2l", timeconv::kD2LSignature);
    import_function(g_l2d, timeconv::kModule, "l2d", timeconv::kL2DSignature);
    g_schedule_seq = g_event_vtab->schedule_seq;

    register_generator_abc();

    // from inspect import isgenerator (after wrapping it for our generators)
    patch_inspect_isgenerator();
    Ref inspect = import_module("inspect");
    Ref isgenerator = check(PyObject_GetAttr(inspect.get(), g_str_isgenerator));
    set_attr(module, "isgenerator", isgenerator.get());
}

PyMethodDef module_methods[] = {
    {"__pyx_unpickle_Process", TARNU_TUPLE_ENTRY(py_unpickle), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Process(__pyx_type, __pyx_checksum, __pyx_state)")},
    {nullptr, nullptr, 0, nullptr},
};

ModuleDef module_def("process", kModule, module_methods, exec_module);

}  // namespace
}  // namespace tarnu::process

PyMODINIT_FUNC PyInit_process(void) { return tarnu::process::module_def.init(); }
