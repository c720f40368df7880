// tarnu.sim: the Environment, its clock, its heap of pending events and the
// event loop that resumes processes in time order.
#include "sim.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "process.hpp"
#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/compat.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/function.hpp"
#include "runtime/generator.hpp"
#include "runtime/hot_time.hpp"
#include "runtime/module.hpp"
#include "runtime/typecheck.hpp"
#include "runtime/pickle.hpp"
#include "timeconv.hpp"

namespace tarnu::sim {
namespace {

using namespace runtime;
using event::Event;
using minqueue::Heap;
using minqueue::Node;
using process::Process;

// --- bound at import -----------------------------------------------------------

PyTypeObject *g_node_type, *g_heap_type, *g_event_type, *g_process_type;
const minqueue::NodeVTable *g_node_vtab;
const minqueue::HeapVTable *g_heap_vtab;
const event::EventVTable *g_event_vtab;
const process::ProcessVTable *g_process_vtab;
double *g_TIME_FOREVER;
int *g_TIME_PASSED, *g_TIME_REACHED, *g_LOCK_RELEASED;
timeconv::D2L *g_d2l;
timeconv::L2D *g_l2d;
uint64_t *g_schedule_seq;  // tarnu.event's schedule counter, from Event's method table

// The Python defaults, copied once at import.
double g_default_stop_time;
int32_t g_default_after_reason;

// The error policy's names, and the key it travels under in a pickle.
PyObject *g_str_report, *g_str_raise, *g_str_errors;

extern PyTypeObject g_env_type;
extern const EnvironmentVTable g_env_vtable;

inline PyObject *obj(void *p) noexcept { return static_cast<PyObject *>(p); }
inline bool is_none(const void *p) noexcept { return p == Py_None; }

ErrorPolicy error_policy(PyObject *value) {
    if (PyUnicode_Check(value)) {
        if (PyUnicode_Compare(value, g_str_report) == 0) return kReportErrors;
        if (PyUnicode_Compare(value, g_str_raise) == 0) return kRaiseErrors;
        if (error_pending()) raise();
        raise_format(PyExc_ValueError, "errors must be 'report' or 'raise', not %R", value);
    }
    raise_format(PyExc_TypeError, "errors must be 'report' or 'raise', not %.200s", Py_TYPE(value)->tp_name);
}

// What the heap hands out must be None or an Event.
void check_event(PyObject *o) {
    if (o == Py_None || Py_TYPE(o) == g_event_type) return;
    check_convertible(o, g_event_type);
}

// A process reached through a list or an event must be a real Process: the
// kernel calls its native table.
SubtypeCheck g_is_process;

[[noreturn]] void refuse_process(PyObject *o) {
    if (!o) raise(PyExc_TypeError, "an event without a process reached the event loop");
    raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, g_process_type->tp_name);
}

inline void check_process(PyObject *o) {
    if (!o || !g_is_process(o, g_process_type)) refuse_process(o);
}

// The environment's heap, owned by the caller for the duration of its use.
Ref heap_of(Environment *self) {
    if (is_none(self->ev_heap)) {
        raise(PyExc_RuntimeError, "the environment has no event heap (Environment.__init__ was not run)");
    }
    return borrow(self->ev_heap);
}

Ref first_event(Heap *heap) {
    Ref ev = check(heap->vtab->first(heap, 0));
    check_event(ev.get());
    return ev;
}

// --- native entries -------------------------------------------------------------

PyObject *py_add(PyObject *self, PyObject *arg) noexcept;
PyObject *py_start(PyObject *self, PyObject *) noexcept;
PyObject *py_finish(PyObject *self, PyObject *) noexcept;
PyObject *py_run_until(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;
PyObject *py_join(PyObject *self, PyObject *) noexcept;
PyObject *py_next_event_time(PyObject *self, PyObject *) noexcept;
PyObject *py_next_event(PyObject *self, PyObject *) noexcept;

Overridable ov_add{"add", reinterpret_cast<const void *>(py_add)};
Overridable ov_start{"start", reinterpret_cast<const void *>(py_start)};
Overridable ov_finish{"finish", reinterpret_cast<const void *>(py_finish)};
Overridable ov_run_until{"run_until", TARNU_TUPLE_ENTRY(py_run_until)};
Overridable ov_join{"join", reinterpret_cast<const void *>(py_join)};
Overridable ov_next_event_time{"next_event_time", reinterpret_cast<const void *>(py_next_event_time)};
Overridable ov_next_event{"next_event", reinterpret_cast<const void *>(py_next_event)};

void add(Environment *self, Process *process, int skip_dispatch) {
    guard_report("tarnu.sim.Environment.add", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_add.find(obj(self))) {
                check(PyObject_CallOneArg(override.get(), obj(process)));
                return;
            }
        }
        if (is_none(self->processes)) {
            raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "append");
        }
        // The list never holds None: the walks below call each entry natively.
        check_process(obj(process));
        check(PyList_Append(self->processes, obj(process)));
    });
}

void schedule(Environment *self, Event *event, double time, int32_t reason) {
    guard_report("tarnu.sim.Environment.schedule", [&] {
        Ref heap = heap_of(self);
        int64_t ticks = g_d2l(time, 0);
        event::schedule(event, g_schedule_seq, std::max(ticks, self->time_i64), reason);
        Heap *h = heap.as<Heap>();
        h->vtab->push(h, &event->base, 0);
        if (error_pending()) raise();
    });
}

// Walks the process list by index, reading its length again at each step so
// that processes appended during the walk are visited too.
template <class F>
void for_each_process(Environment *self, F &&visit) {
    if (is_none(self->processes)) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    Ref keep = borrow(self);
    Ref list = borrow(self->processes);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref item = borrow(PyList_GET_ITEM(list.get(), i));
        check_process(item.get());
        visit(item.as<Process>());
    }
}

void start(Environment *self, int skip_dispatch) {
    try {
        if (!skip_dispatch) {
            if (Ref override = ov_start.find(obj(self))) {
                check(PyObject_CallNoArgs(override.get()));
                return;
            }
        }
        for_each_process(self, [](Process *p) {
            p->vtab->start(p, 0);
            if (error_pending()) raise();
        });
        self->started = 1;
    } catch (const Error &) {
        add_traceback("tarnu.sim.Environment.start");
    } catch (...) {
        set_from_cpp_exception();
        add_traceback("tarnu.sim.Environment.start");
    }
}

void finish(Environment *self, int skip_dispatch) {
    guard_report("tarnu.sim.Environment.finish", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_finish.find(obj(self))) {
                check(PyObject_CallNoArgs(override.get()));
                return;
            }
        }
        // A process's finish reports its own failures.
        for_each_process(self, [](Process *p) { p->vtab->finish(p, 0); });
    });
}

// Cache hints only: nothing is dereferenced that the checks of the loop
// have not vouched for, or that is not an Event's own field.
inline void prefetch_process(Node *next) noexcept {
    if (next && Py_TYPE(obj(next)) == g_event_type) __builtin_prefetch(reinterpret_cast<Event *>(next)->process);
}
inline void prefetch_generator(PyObject *ev) noexcept {
    if (Py_TYPE(ev) != g_event_type) return;
    PyObject *p = reinterpret_cast<Event *>(ev)->process;
    if (p && (Py_TYPE(p) == g_process_type || Py_TYPE(p)->tp_base == g_process_type)) {
        __builtin_prefetch(reinterpret_cast<Process *>(p)->process);
    }
}

// The event loop. Everything it uses across a process step (the heap, the
// event, the process) is held by a counted reference, since the step may
// re-initialise the environment or drop the last other reference to them.
// The thread state is fetched once: a step runs on the loop's own thread.
double run_until_body(Environment *self, double ex_time, int32_t after_reason) {
    Ref keep = borrow(self);
    PyThreadState *ts = compat::thread_state();
    int64_t limit = g_d2l(ex_time, 0);
    Ref heap = heap_of(self);
    Ref ev = first_event(heap.as<Heap>());
    for (;;) {
        if (ev.is(Py_None)) break;
        Event *e = ev.as<Event>();
        if (e->time_i64 > limit || (e->time_i64 == limit && e->reason > after_reason)) break;
        Heap *h = heap.as<Heap>();
        ev = check(h->vtab->pop(h, 0));
        check_event(ev.get());
        if (ev.is(Py_None)) break;
        e = ev.as<Event>();
        self->time_i64 = std::max(self->time_i64, e->time_i64);
        check_process(e->process);
        Ref proc = borrow(e->process);
        Process *p = proc.as<Process>();
        // With many processes the next one is rarely in cache: start loading
        // it while this step runs.
        prefetch_process(h->root);
        p->vtab->run_step(p);
        if (compat::exception_set(ts)) raise();
        // The step may have replaced the heap (a new __init__).
        if (!heap.is(obj(self->ev_heap))) heap = heap_of(self);
        ev = first_event(heap.as<Heap>());
        prefetch_generator(ev.get());
    }
    self->time_i64 = std::max(self->time_i64, limit);
    return g_l2d(self->time_i64, 0);
}

// --- error policy of the loop operations ---------------------------------------

// Whether a failure that stopped run_until, join or next_event_time reaches
// the caller. Otherwise it is reported as unraisable and the operation
// returns 0.0. This is the one place that decides: an interrupt (anything
// that is not an Exception, such as KeyboardInterrupt or SystemExit) always
// propagates, and so does every failure of an environment made with
// errors="raise". A propagated failure leaves the environment as any failed
// step leaves it: the clock at the failing event, that event out of the
// heap, the rest in order. The policy is read after the failure, since the
// failing code may have re-initialised the environment.
bool failure_propagates(const Environment *self) noexcept {
    return self->errors == kRaiseErrors || interrupt_pending();
}

// Runs the body of a loop operation under that policy. A propagated failure
// leaves the error indicator set, for native callers to test.
template <class F>
double loop_operation(Environment *self, const Where &where, F &&body) noexcept {
    double result = 0.0;
    guard_policy(where, [self] { return failure_propagates(self); }, [&] { result = body(); });
    return result;
}

double run_until(Environment *self, double ex_time, int skip_dispatch, const RunUntilOptional *optional) {
    return loop_operation(self, "tarnu.sim.Environment.run_until", [&] {
        int32_t after_reason = (optional && optional->n > 0) ? optional->after_reason : g_default_after_reason;
        if (!skip_dispatch) {
            if (Ref override = ov_run_until.find(obj(self))) {
                Ref t = py_float(ex_time);
                Ref r = py_int(after_reason);
                Ref value = check(PyObject_CallFunctionObjArgs(override.get(), t.get(), r.get(), nullptr));
                return to_double(value.get());
            }
        }
        return run_until_body(self, ex_time, after_reason);
    });
}

double join(Environment *self, int skip_dispatch) {
    return loop_operation(self, "tarnu.sim.Environment.join", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_join.find(obj(self))) {
                Ref value = check(PyObject_CallNoArgs(override.get()));
                return to_double(value.get());
            }
        }
        // A stop time of "never" runs up to one second before it, so that
        // processes parked for ever stay parked.
        double until = self->stop_time == *g_TIME_FOREVER ? *g_TIME_FOREVER - 1.0 : self->stop_time;
        RunUntilOptional optional{1, *g_TIME_PASSED};
        double result = self->vtab->run_until(self, until, 0, &optional);
        if (error_pending()) raise();  // what run_until passed on
        return result;
    });
}

double next_event_time(Environment *self, int skip_dispatch) {
    return loop_operation(self, "tarnu.sim.Environment.next_event_time", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_next_event_time.find(obj(self))) {
                Ref value = check(PyObject_CallNoArgs(override.get()));
                return to_double(value.get());
            }
        }
        Ref heap = heap_of(self);
        Ref ev = first_event(heap.as<Heap>());
        return ev.is(Py_None) ? *g_TIME_FOREVER : g_l2d(ev.as<Event>()->time_i64, 0);
    });
}

PyObject *next_event(Environment *self, int skip_dispatch) {
    return guard("tarnu.sim.Environment.next_event", [&] {
        if (!skip_dispatch) {
            if (Ref override = ov_next_event.find(obj(self))) {
                Ref value = check(PyObject_CallNoArgs(override.get()));
                check_event(value.get());
                return value.release();
            }
        }
        Ref heap = heap_of(self);
        return first_event(heap.as<Heap>()).release();
    });
}

const EnvironmentVTable g_env_vtable = {
    add, schedule, start, finish, run_until, join, next_event_time, next_event,
};

// --- Python entries ---------------------------------------------------------------

inline Environment *env(PyObject *self) noexcept { return reinterpret_cast<Environment *>(self); }

PyObject *py_add(PyObject *self, PyObject *arg) noexcept {
    return guard("tarnu.sim.Environment.add", [&] {
        check_arg_type(arg, g_process_type, "process", false);
        add(env(self), reinterpret_cast<Process *>(arg), 1);
        return none().release();
    });
}

PyObject *py_start(PyObject *self, PyObject *) noexcept {
    start(env(self), 1);
    if (error_pending()) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_finish(PyObject *self, PyObject *) noexcept {
    finish(env(self), 1);
    Py_RETURN_NONE;
}

// The Python result of a loop operation: its float, or null when it passed
// a failure on (the failure carries the operation's traceback entry).
PyObject *loop_result(double value) {
    if (error_pending()) return nullptr;
    return py_float(value).release();
}

PyObject *py_run_until(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.sim.Environment.run_until", [&] {
        static const Params params("run_until", {"ex_time", "after_reason"}, 1);
        PyObject *v[2] = {};
        params.parse(args, nargs, kwnames, v);
        double ex_time = to_double(v[0]);
        RunUntilOptional optional{0, 0};
        if (v[1]) optional = {1, to_int32(v[1])};
        return loop_result(run_until(env(self), ex_time, 1, &optional));
    });
}

PyObject *py_join(PyObject *self, PyObject *) noexcept {
    return guard("tarnu.sim.Environment.join", [&] { return loop_result(join(env(self), 1)); });
}

PyObject *py_next_event_time(PyObject *self, PyObject *) noexcept {
    return guard("tarnu.sim.Environment.next_event_time",
                 [&] { return loop_result(next_event_time(env(self), 1)); });
}

PyObject *py_next_event(PyObject *self, PyObject *) noexcept { return next_event(env(self), 1); }

PyObject *py_enter(PyObject *self, PyObject *) noexcept {
    return guard("tarnu.sim.Environment.__enter__", [&] {
        start(env(self), 0);
        if (error_pending()) raise();
        return borrow(self).release();
    });
}

PyObject *py_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.sim.Environment.__exit__", [&] {
        static const Params params("__exit__", {"exc_type", "exc_val", "exc_tb"}, 3);
        PyObject *v[3];
        params.parse(args, nargs, kwnames, v);
        // Runs whether or not the block raised; the exception is never
        // suppressed. An interrupt out of join stops here, before finish; a
        // model's failure (errors="raise") is raised after the processes
        // are finished.
        join(env(self), 0);
        if (interrupt_pending()) raise();
        {
            SavedError failed;
            finish(env(self), 0);
        }
        if (error_pending()) raise();
        return none().release();
    });
}

// --- Environment.process: the process wrapper ----------------------------------------

// What one call of `process` captures is held by the `__call__` function of
// the class it makes, inline, in this order; every generator of that
// `__call__` reads it there (the generator's context). The generator's state
// is the process itself. So a wrapped process costs, besides its class, its
// process object, its event and its generators, no object of its own.
enum Captured : Py_ssize_t {
    kFunc = 0,         // the callable
    kLoopForever = 1,  // read by its truth value at the first step
    kKwargs = 2,       // a dict of the keyword arguments, or null when there are none
    kArgs = 3,         // the positional arguments, to the end
};

// The `__call__` generator's own bits (Generator::flags).
constexpr uint8_t kLoop = 1;     // the truth value of loop_forever, taken at the first step
constexpr uint8_t kYielded = 2;  // the current call of func has yielded (loop guard)

// Names, the bases tuple and the shared descriptors, made once at import.
PyObject *g_str_process_cls;       // "_Process"
PyObject *g_str_cls_qualname;      // "process.<locals>._Process"
PyObject *g_str_call;              // "__call__"
PyObject *g_str_call_qualname;     // "process.<locals>._Process.__call__"
PyObject *g_str_module_attr;       // "__module__"
PyObject *g_str_qualname_attr;     // "__qualname__"
PyObject *g_str_dict_attr;         // "__dict__"
PyObject *g_str_weakref_attr;      // "__weakref__"
PyObject *g_str_prepare;           // "__prepare__"
PyObject *g_str_module_name;       // "tarnu.sim"
PyObject *g_str_loop_forever;      // "loop_forever"
PyObject *g_str_func;              // "func"
PyObject *g_process_bases;         // (Process,)
PyObject *g_call_code;             // the shared code object of every _Process.__call__
// The `__dict__` and `__weakref__` descriptors that every _Process class
// shares instead of making its own pair (bound to Process, so they apply to
// the instances of every subclass); null when they could not be made.
PyObject *g_dict_descr;
PyObject *g_weakref_descr;

// Resumption points of the `__call__` generator.
enum CallPoint : int32_t { kNotStarted = 0, kDelegating = 1, kParked = 2 };

// Calls func(self, *args, **kwargs) and delegates to what it returns. A value
// to yield, or empty when the iterable ended at once.
Ref call_and_delegate(Generator *gen) {
    PyObject *function = gen->context;
    PyObject *const *c = captured(function);
    Py_ssize_t n = Py_SIZE(function) - kArgs;
    // The function may hold the only references to func and its arguments:
    // keep them across the call, which may run the collector.
    Ref func = borrow(c[kFunc]);
    Ref kwargs = borrow(c[kKwargs]);
    Ref iterable;
    constexpr Py_ssize_t kStackArgs = 8;
    if (!kwargs && n < kStackArgs) {
        PyObject *stack[kStackArgs];
        Ref held[kStackArgs];
        stack[0] = gen->state;
        for (Py_ssize_t i = 0; i < n; ++i) {
            held[i] = borrow(c[kArgs + i]);
            stack[i + 1] = held[i].get();
        }
        iterable = check(PyObject_Vectorcall(func.get(), stack, n + 1, nullptr));
    } else {
        Ref call_args = check(PyTuple_New(n + 1));
        PyTuple_SET_ITEM(call_args.get(), 0, borrow(gen->state).release());
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, borrow(c[kArgs + i]).release());
        iterable = check(PyObject_Call(func.get(), call_args.get(), kwargs.get()));
    }
    gen->point = kDelegating;
    gen->flags &= ~kYielded;
    Ref first = yield_from(gen, iterable.get());
    if (first) gen->flags |= kYielded;
    return first;
}

// The generator: run func once and park at the end of time, or run it again
// each time its iterable ends. `sent` is null when an exception is thrown in
// (a delegate that raised, or a throw with no delegate): it ends the body.
PyObject *call_step(Generator *gen, PyObject *sent) {
    if (!sent) raise();
    // The collector may have cleared the function (garbage that a finaliser
    // still reaches): the generator then ends as a cleared one does.
    if (!captured(gen->context)[kFunc]) return nullptr;
    switch (gen->point) {
    case kNotStarted: {
        Ref loop_forever = borrow(captured(gen->context)[kLoopForever]);
        if (check(PyObject_IsTrue(loop_forever.get()))) gen->flags |= kLoop;
        if (!captured(gen->context)[kFunc]) return nullptr;
        break;
    }
    case kDelegating:
        // The delegate ended; its return value (`sent`) is ignored.
        break;
    default:  // kParked: resumed after the final pair
        return nullptr;
    }
    bool loop = gen->flags & kLoop;
    for (;;) {
        // Without this guard a looping func whose iterable never yields would
        // be called again and again while simulated time stands still.
        if (gen->point == kDelegating && loop && !(gen->flags & kYielded)) {
            raise_format(PyExc_RuntimeError,
                         "process() with loop_forever=True: %R returned an iterable that ended "
                         "without yielding, so the process would loop without letting time move",
                         captured(gen->context)[kFunc]);
        }
        if (gen->point == kNotStarted || loop) {
            if (Ref first = call_and_delegate(gen)) return first.release();
            if (loop) continue;
        }
        gen->point = kParked;
        Ref forever = py_float(*g_TIME_FOREVER);
        Ref passed = py_int(*g_TIME_PASSED);
        return check(PyTuple_Pack(2, forever.get(), passed.get())).release();
    }
}

PyObject *call_resume(Generator *gen, PyObject *sent) noexcept {
    // A thrown-in exception (close() among them, for every process at
    // shutdown) ends the body: pass it on without a C++ throw.
    if (!sent) {
        add_traceback("__call__");
        return nullptr;
    }
    try {
        return call_step(gen, sent);
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    add_traceback("__call__");
    return nullptr;
}

const GeneratorBody kWrapperBody{call_resume, "tarnu.sim"};

// `_Process.__call__(self)`: a new generator over the captured values.
PyObject *wrapper_call(PyObject *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.sim.process.<locals>._Process.__call__", [&] {
        static const Params params("__call__", {"self"}, 1);
        PyObject *self;
        params.parse(args, nargs, kwnames, &self);
        return new_generator(&kWrapperBody, borrow(self), g_str_call, g_str_call_qualname, borrow(function))
            .release();
    });
}

// Splits process(func, *args, loop_forever=False, **kwargs) into the values
// the `__call__` function captures (see Captured), as borrowed pointers;
// `kwargs` owns the dict when there are keyword arguments.
std::vector<PyObject *> capture(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Ref &kwargs) {
    PyObject *func = nargs > 0 ? args[0] : nullptr;
    PyObject *loop_forever = Py_False;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        PyObject *value = args[nargs + i];
        if (!PyUnicode_Check(key)) {
            continue;  // refused below, once the count of arguments is known good
        } else if (check(PyObject_RichCompareBool(key, g_str_func, Py_EQ))) {
            if (func) raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "process", key);
            func = value;
        } else if (check(PyObject_RichCompareBool(key, g_str_loop_forever, Py_EQ))) {
            loop_forever = value;
        } else {
            if (!kwargs) kwargs = check(PyDict_New());
            check(PyDict_SetItem(kwargs.get(), key, value));
        }
    }
    if (!func) raise_arg_count("process", 1, -1, nargs);
    // A keyword that is not a string would only fail later, inside func.
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i)))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", "process");
    }
    std::vector<PyObject *> values{func, loop_forever, kwargs.get()};
    for (Py_ssize_t i = 1; i < nargs; ++i) values.push_back(args[i]);
    return values;
}

// class _Process(Process): __call__ = <function capturing `values`>,
// through the metaclass protocol.
Ref make_process_class(const std::vector<PyObject *> &values) {
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(g_process_type));
    Ref ns;
    bool plain_type = meta == reinterpret_cast<PyObject *>(&PyType_Type);
    if (plain_type) {
        // type.__prepare__ always returns a new empty dict and cannot be
        // replaced, so the lookup and the call are skipped.
        ns = check(PyDict_New());
    } else {
        Ref prepare = steal(PyObject_GetAttr(meta, g_str_prepare));
        if (prepare) {
            PyObject *pargs[] = {g_str_process_cls, g_process_bases};
            ns = check(PyObject_Vectorcall(prepare.get(), pargs, 2, nullptr));
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            ns = check(PyDict_New());
        } else {
            raise();
        }
    }
    check(PyObject_SetItem(ns.get(), g_str_module_attr, g_str_module_name));
    check(PyObject_SetItem(ns.get(), g_str_qualname_attr, g_str_cls_qualname));
    Ref call = new_function(wrapper_call, values.data(), static_cast<Py_ssize_t>(values.size()),
                            FunctionInfo{g_str_call, g_str_call_qualname, g_str_module_name, g_call_code});
    check(PyObject_SetItem(ns.get(), g_str_call, call.get()));
    // The class would make its own `__dict__` and `__weakref__` descriptors
    // (two collector-tracked objects per class); it keeps the shared ones,
    // which do the same for every subclass of Process.
    if (plain_type && g_dict_descr && g_weakref_descr) {
        check(PyDict_SetItem(ns.get(), g_str_dict_attr, g_dict_descr));
        check(PyDict_SetItem(ns.get(), g_str_weakref_attr, g_weakref_descr));
    }
    PyObject *margs[] = {g_str_process_cls, g_process_bases, ns.get()};
    return check(PyObject_Vectorcall(meta, margs, 3, nullptr));
}

PyObject *py_process(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.sim.Environment.process", [&] {
        Ref kwargs;
        Ref cls = make_process_class(capture(args, nargs, kwnames, kwargs));
        return check(PyObject_CallOneArg(cls.get(), self)).release();
    });
}

void init_process_wrapper() {
    init_function_type();
    struct {
        PyObject *&slot;
        const char *text;
    } names[] = {
        {g_str_process_cls, "_Process"},
        {g_str_cls_qualname, "process.<locals>._Process"},
        {g_str_call, "__call__"},
        {g_str_call_qualname, "process.<locals>._Process.__call__"},
        {g_str_module_attr, "__module__"},
        {g_str_qualname_attr, "__qualname__"},
        {g_str_dict_attr, "__dict__"},
        {g_str_weakref_attr, "__weakref__"},
        {g_str_prepare, "__prepare__"},
        {g_str_module_name, kModule},
        {g_str_loop_forever, "loop_forever"},
        {g_str_func, "func"},
    };
    for (auto &n : names) {
        if (!n.slot) n.slot = check(PyUnicode_InternFromString(n.text)).release();
    }
    if (!g_call_code) g_call_code = function_code("__call__", {"self"}).release();
}

// Made once Process is bound: the bases, and the shared descriptors, taken
// from a class made the way every _Process is and bound to Process.
void bind_process_bases() {
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject *>(g_process_type)));
    assign_field(g_process_bases, bases.get());
    if (g_dict_descr || Py_TYPE(g_process_type) != &PyType_Type) return;
    Ref ns = check(PyDict_New());
    PyObject *margs[] = {g_str_process_cls, g_process_bases, ns.get()};
    Ref model = check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyType_Type), margs, 3, nullptr));
    Ref dict = check(compat::type_dict(model.as<PyTypeObject>()));
    PyObject *d = PyDict_GetItemWithError(dict.get(), g_str_dict_attr);
    PyObject *w = d ? PyDict_GetItemWithError(dict.get(), g_str_weakref_attr) : nullptr;
    if (!d || !w) {
        if (error_pending()) raise();
        return;  // every class then makes its own
    }
    Ref dict_descr = check(compat::rebind_getset(d, g_process_type));
    Ref weakref_descr = check(compat::rebind_getset(w, g_process_type));
    g_dict_descr = dict_descr.release();
    g_weakref_descr = weakref_descr.release();
}

const char *kProcessDoc =
    TARNU_SIGNATURE("process($self, /, func, *args, loop_forever=False, **kwargs)")
    "process(func, *args, loop_forever=False, **kwargs)\n\n"
    "        Turn a generator function to a Process. The resulting process will be added to the environment automatically.\n\n"
    "        Example::\n\n"
    "            def tick(self, interval):\n"
    "                yield self.time + interval, TIME_PASSED\n"
    "                print('tick!', self.time)\n\n"
    "            env.process(tick, 5, loop_forever=True)\n\n"
    "        Args:\n"
    "            func: A generator function contains at least one `yield` statement.\n"
    "            *args: positional arguments passed to `func`.\n"
    "            loop_forever: Whether to loop the execution of `func`.\n"
    "            **kwargs: optional arguments passed to `func`.\n\n"
    "        Returns:\n"
    "            the resulting process.\n        ";

// --- pickling ------------------------------------------------------------------------

PyObject *g_globals;  // the module's dict (uncounted: the module lives for ever)

void env_set_state(PyObject *self, PyObject *state);

const PickleLayout kEnvPickle = {
    "__pyx_unpickle_Environment", &g_env_type, 0x5874625,
    "0x5874625 = (ev_heap, processes, started, stop_time, time_i64)", 5, env_set_state,
};

// Fields in name order: ev_heap, processes, started, stop_time, time_i64.
PyObject *py_reduce(PyObject *self, PyObject *) noexcept {
    return guard("tarnu.sim.Environment.__reduce_cython__", [&] {
        Environment *e = env(self);
        Ref started = py_bool(e->started);
        Ref stop_time = py_float(e->stop_time);
        Ref time = py_int(e->time_i64);
        Ref fields = check(PyTuple_Pack(5, obj(e->ev_heap), e->processes, started.get(), stop_time.get(), time.get()));
        bool any_object = !is_none(e->ev_heap) || !is_none(e->processes);
        // The default policy adds nothing, so such an environment pickles as
        // it always has; "raise" travels as {"errors": "raise"} after the
        // fields and the instance dict.
        Ref options;
        if (e->errors == kRaiseErrors) {
            options = check(PyDict_New());
            check(PyDict_SetItem(options.get(), g_str_errors, g_str_raise));
        }
        return reduce_instance(kEnvPickle, self, g_globals, std::move(fields), any_object, std::move(options));
    });
}

// Each field is assigned before the next item is converted, so a failure
// leaves the earlier ones restored. Replacing the heap or the list of a
// running environment is safe: the event loop and the process walks hold
// their own references and read the heap again after every step.
void env_set_state(PyObject *self, PyObject *state) {
    try {
        check_state(kEnvPickle, state);
        Environment *e = env(self);
        PyObject *heap = PyTuple_GET_ITEM(state, 0);
        check_convertible(heap, g_heap_type);
        assign_field(e->ev_heap, heap);
        PyObject *processes = PyTuple_GET_ITEM(state, 1);
        check_exact(processes, &PyList_Type, "list", true);
        assign_field(e->processes, processes);
        e->started = check(PyObject_IsTrue(PyTuple_GET_ITEM(state, 2)));
        e->stop_time = to_double(PyTuple_GET_ITEM(state, 3));
        e->time_i64 = to_int64(PyTuple_GET_ITEM(state, 4));
        merge_state_dict(kEnvPickle, self, state);
        // A state without options (every pickle of a default environment,
        // and every one written before the policy existed) means "report".
        ErrorPolicy errors = kReportErrors;
        if (PyObject *options = state_options(kEnvPickle, self, state)) {
            if (PyObject *value = PyDict_GetItemWithError(options, g_str_errors)) {
                errors = error_policy(value);
            } else if (error_pending()) {
                raise();
            }
        }
        e->errors = errors;
    } catch (const Error &) {
        add_traceback("tarnu.sim.__pyx_unpickle_Environment__set_state");
        throw;
    }
}

PyObject *py_setstate(PyObject *self, PyObject *state) noexcept {
    return guard("tarnu.sim.Environment.__setstate_cython__",
                 [&] { return set_state_entry(kEnvPickle, self, state); });
}

PyObject *py_unpickle(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard("tarnu.sim.__pyx_unpickle_Environment", [&] { return unpickle(kEnvPickle, args, nargs, kwnames); });
}

// --- the type ----------------------------------------------------------------------

PyObject *env_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Environment *self = env(o);
    self->vtab = &g_env_vtable;
    self->ev_heap = reinterpret_cast<Heap *>(borrow(Py_None).release());
    self->time_i64 = 0;
    self->processes = borrow(Py_None).release();
    self->started = 0;
    self->errors = kReportErrors;
    self->stop_time = 0.0;
    return o;
}

int env_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int("tarnu.sim.Environment.__init__", [&] {
        static const Params params("__init__", {"start", "stop_time", "errors"}, 0, 2);
        PyObject *v[3] = {};
        params.parse(args, kwargs, v);
        Environment *self = env(o);
        double stop_time = v[1] ? to_double(v[1]) : g_default_stop_time;
        ErrorPolicy errors = v[2] ? error_policy(v[2]) : kReportErrors;
        Ref heap = check(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(g_heap_type)));
        if (!PyObject_TypeCheck(heap.get(), g_heap_type)) check_convertible(heap.get(), g_heap_type);
        assign_field(self->ev_heap, heap.get());
        self->time_i64 = 0;
        Ref list = check(PyList_New(0));
        assign_field(self->processes, list.get());
        self->stop_time = stop_time;
        self->started = 0;
        self->errors = errors;
        if (v[0] && check(PyObject_IsTrue(v[0]))) {
            self->vtab->start(self, 0);
            if (error_pending()) raise();
        }
        return 0;
    });
}

int env_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Py_VISIT(obj(env(o)->ev_heap));
    Py_VISIT(env(o)->processes);
    return 0;
}

int env_clear(PyObject *o) noexcept {
    assign_field(env(o)->ev_heap, Py_None);
    assign_field(env(o)->processes, Py_None);
    return 0;
}

void env_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    Py_CLEAR(env(o)->ev_heap);
    Py_CLEAR(env(o)->processes);
    Py_TYPE(o)->tp_free(o);
}

PyObject *get_time(PyObject *o, void *) noexcept {
    return PyFloat_FromDouble(l2d_hot(g_l2d, env(o)->time_i64));
}
PyObject *get_started(PyObject *o, void *) noexcept { return PyBool_FromLong(env(o)->started); }
PyObject *get_errors(PyObject *o, void *) noexcept {
    return borrow(env(o)->errors == kRaiseErrors ? g_str_raise : g_str_report).release();
}
PyObject *get_stop_time(PyObject *o, void *) noexcept { return PyFloat_FromDouble(env(o)->stop_time); }

#define TARNU_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
PyMethodDef env_methods[] = {
    {"add", py_add, METH_O, TARNU_SIGNATURE("add($self, process, /)")},
    {"start", py_start, METH_NOARGS,
     TARNU_SIGNATURE("start($self, /)") "start()\n\n        Start the simulation.\n        "},
    {"finish", py_finish, METH_NOARGS,
     TARNU_SIGNATURE("finish($self, /)") "finish()\n\n        Finish the simulation.\n        "},
    {"run_until", TARNU_TUPLE_ENTRY(py_run_until), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("run_until($self, /, ex_time, after_reason=0)")
     "run_until(ex_time, after_reason=TIME_PASSED)\n\n"
     "        Run the simulation until a specific time.\n\n"
     "        Args:\n"
     "            ex_time(double): the time to run the simulation to.\n"
     "            after_reason(int): an event whose triggering time is `ex_time` and whose\n"
     "                reason is greater than `after_reason` is not processed; the\n"
     "                simulation stops before it.\n\n"
     "        Returns:\n"
     "            the current time (float) after the running.\n        "},
    {"join", py_join, METH_NOARGS,
     TARNU_SIGNATURE("join($self, /)")
     "join()\n\n        Process all the remaining events. In other words, this call runs the simulation until "
     "`self.stop_time`.\n        "},
    {"__enter__", py_enter, METH_NOARGS, TARNU_SIGNATURE("__enter__($self, /)")},
    {"__exit__", TARNU_TUPLE_ENTRY(py_exit), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("__exit__($self, /, exc_type, exc_val, exc_tb)")},
    {"next_event_time", py_next_event_time, METH_NOARGS,
     TARNU_SIGNATURE("next_event_time($self, /)")
     "next_event_time()\n\n        Time of the next event in the simulation environment.\n\n"
     "        Returns:\n            the time as a float number.\n        "},
    {"next_event", py_next_event, METH_NOARGS, TARNU_SIGNATURE("next_event($self, /)")},
    {"process", TARNU_TUPLE_ENTRY(py_process), METH_VARARGS | METH_KEYWORDS, kProcessDoc},
    {"__reduce_cython__", py_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", py_setstate, METH_O, TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef env_getset[] = {
    {"time", get_time, nullptr,
     "The current simulation time in seconds. The clock counts whole ticks (thousandths of a second).",
     nullptr},
    {"started", get_started, nullptr, "Whether the simulation has been started.", nullptr},
    {"errors", get_errors, nullptr,
     "What an exception that stops the simulation does: 'report' (printed and handed to\n"
     "sys.unraisablehook; run_until returns 0.0) or 'raise' (raised to the caller).",
     nullptr},
    {"stop_time", get_stop_time, nullptr, "The time in seconds that :meth:`join` runs the simulation to.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char *kEnvDoc =
    TARNU_SIGNATURE("Environment(start=False, stop_time=1000000000000.0, *, errors='report')")
    "Environment(start=False, stop_time=TIME_FOREVER)\n"
    "    The simulation environment::\n\n"
    "        e = Environment()\n"
    "        MyProcess(e)\n"
    "        e.start()\n"
    "        e.run_until(3600, TIME_PASSED)\n"
    "        e.join()  #or e.run_until(TIME_FOREVER, TIME_PASSED)\n"
    "        e.finish()\n\n"
    "    or::\n\n"
    "        with Environment() as e:\n"
    "            MyProcess(e)\n\n"
    "    In this case, the environment is started automatically when entering the context,\n"
    "    and joined and finished when exiting it.\n\n"
    "    Args:\n"
    "        start(bool): start the simulation immediately. Default is `False`.\n"
    "        stop_time(double): Maximum time of simulation run. Used in :meth:`join`. "
    "Default is TIME_FOREVER.\n"
    "        errors(str): keyword only. What an exception that stops the simulation does:\n"
    "            'report' (the default: it is printed and handed to sys.unraisablehook, and\n"
    "            :meth:`run_until` returns 0.0) or 'raise' (it reaches the caller of\n"
    "            :meth:`run_until`, :meth:`join` or the ``with`` block).\n\n"
    "    Attributes:\n"
    "        time(float): the current simulation time in seconds.\n"
    "        started(bool): whether the simulation has been started.\n"
    "        stop_time(double): the time that :meth:`join` runs to.\n"
    "        errors(str): the error policy, 'report' or 'raise'.\n    ";

PyTypeObject make_type() noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.sim.Environment";
    t.tp_basicsize = sizeof(Environment);
    t.tp_dealloc = env_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kEnvDoc;
    t.tp_traverse = env_traverse;
    t.tp_clear = env_clear;
    t.tp_methods = env_methods;
    t.tp_getset = env_getset;
    t.tp_init = env_init;
    t.tp_new = env_new;
    return t;
}

PyTypeObject g_env_type = make_type();

// --- module --------------------------------------------------------------------------

void exec_module(PyObject *module) {
    // Published before any package import: tarnu.process, imported below,
    // binds back to this partly initialised module.
    init_generator_type();
    for (auto [slot, text] : {std::pair{&g_str_report, "report"}, {&g_str_raise, "raise"}, {&g_str_errors, "errors"}}) {
        if (!*slot) *slot = check(PyUnicode_InternFromString(text)).release();
    }
    check(PyType_Ready(&g_env_type));
    publish_vtable(&g_env_type, &g_env_vtable);
    setup_reduce(&g_env_type);
    g_globals = PyModule_GetDict(module);
    set_attr(module, "Environment", reinterpret_cast<PyObject *>(&g_env_type));
    // The closure and generator-state types of Environment.process.
    init_process_wrapper();

    // The imports, in order: the built-in types first, then the package.
    check_builtin_types();
    g_node_type = import_type(minqueue::kModule, "MinPairingHeapNode", sizeof(Node), g_node_vtab);
    g_heap_type = import_type(minqueue::kModule, "MinPairingHeap", sizeof(Heap), g_heap_vtab);
    g_event_type = import_type(event::kModule, "Event", sizeof(Event), g_event_vtab);
    g_process_type = import_type(process::kModule, "Process", sizeof(Process), g_process_vtab);
    bind_process_bases();
    import_variable(g_TIME_FOREVER, "tarnu.define", "_TIME_FOREVER", "double");
    import_variable(g_TIME_PASSED, "tarnu.define", "_TIME_PASSED", "int");
    import_variable(g_TIME_REACHED, "tarnu.define", "_TIME_REACHED", "int");
    import_variable(g_LOCK_RELEASED, "tarnu.define", "_LOCK_RELEASED", "int");
    import_function(g_d2l, timeconv::kModule, "d2l", timeconv::kD2LSignature);
    import_function(g_l2d, timeconv::kModule, "l2d", timeconv::kL2DSignature);
    g_schedule_seq = g_event_vtab->schedule_seq;

    register_generator_abc();

    g_default_stop_time = *g_TIME_FOREVER;
    g_default_after_reason = *g_TIME_PASSED;
}

PyMethodDef module_methods[] = {
    {"__pyx_unpickle_Environment", TARNU_TUPLE_ENTRY(py_unpickle), METH_VARARGS | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Environment(__pyx_type, __pyx_checksum, __pyx_state)")},
    {nullptr, nullptr, 0, nullptr},
};

ModuleDef module_def("sim", kModule, module_methods, exec_module);

}  // namespace
}  // namespace tarnu::sim

PyMODINIT_FUNC PyInit_sim(void) { return tarnu::sim::module_def.init(); }
