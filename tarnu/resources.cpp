// tarnu.resources: the modelling blocks (Resource, PriorityResource,
// PreemptiveResource, Container, Store, FilterStore, PriorityStore) and the
// monitors that record them (Tally, Level).
//
// The blocks use the kernel's own wake-up mechanism and nothing else of it
// but what it publishes: a process that cannot be served at once waits with
// `yield (deadline, TIME_REACHED)` (or `yield None`) inside the object it
// delegates to; whoever frees what it waits for hands it over and wakes it
// with `activate(now, LOCK_RELEASED)` through the process's method table. The
// request's own state, not the reason sent in, says whether it was served:
// a grant at the very tick of the deadline leaves the wake-up at the deadline.
#include "resources.hpp"

#include <structmember.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/compat.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"
#include "runtime/pickle.hpp"
#include "runtime/typecheck.hpp"
#include "timeconv.hpp"

namespace tarnu::resources {

struct Request {
    PyObject_HEAD
    PyObject *block;    // owned: the block that made it; null for the shared grant
    PyObject *process;  // owned: the process it is for, or None
    PyObject *item;     // owned: a Store put's item, or the item a get received; else None
    PyObject *filter;   // owned: a FilterStore get's predicate, or None
    PyObject *error;    // owned: what its filter or its item's comparison raised, or null
    double priority;
    double amount;      // a Container's amount
    uint64_t seq;
    int64_t since;      // tick it was made
    int64_t deadline;   // tick, or kNoDeadline
    Py_ssize_t slot;    // index in its queue's heap, or -1 when not queued
    int32_t op;         // Op
    int32_t family;     // Family
    int32_t state;      // State
    bool yielded;       // its wait has been handed out
    bool delivered;     // `yield from` has evaluated to its result
    bool announced;     // its queue's monitor counts it
    bool context;       // made by request(): a context manager
    bool preempt;
};

namespace {

using namespace runtime;
using process::Process;
using sim::Environment;

// --- bound at import -------------------------------------------------------------------------

PyTypeObject *g_process_type, *g_env_type, *g_event_type;
const process::ProcessVTable *g_process_vtab;
const sim::EnvironmentVTable *g_env_vtab;
double *g_TIME_FOREVER;
int *g_TIME_REACHED, *g_LOCK_RELEASED;
timeconv::D2L *g_d2l;
timeconv::L2D *g_l2d;

int g_preempted = 3;  // published as _PREEMPTED: next after the kernel's reasons

PyObject *g_globals;           // the module's dict (the module lives for ever)
PyObject *g_granted;           // the shared request of every grant made at once
PyObject *g_timed_out;         // TIMED_OUT
PyTypeObject *g_preempted_type;  // Preempted, a struct sequence

extern PyTypeObject g_request_type, g_tally_type, g_level_type, g_resource_type, g_priority_resource_type,
    g_preemptive_resource_type, g_container_type, g_store_type, g_filter_store_type, g_priority_store_type;

SubtypeCheck g_is_process, g_is_env;

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

enum Op : int32_t { kAcquire, kPut, kGet };
enum Family : int32_t { kResourceFamily, kContainerFamily, kStoreFamily };
enum State : int32_t { kWaiting, kGranted, kFailed };

inline PyObject *obj(const void *p) noexcept { return static_cast<PyObject *>(const_cast<void *>(p)); }
inline bool is_none(const void *p) noexcept { return p == Py_None; }
inline double seconds(int64_t ticks) noexcept { return g_l2d(ticks, 0); }

// --- arrays ----------------------------------------------------------------------------------

template <class T> inline Py_ssize_t size(const Array<T> &a) noexcept { return a.end - a.head; }
template <class T> inline T &at(Array<T> &a, Py_ssize_t i) noexcept { return a.data[a.head + i]; }

// Room for `extra` more items at the end. Items that left the front are
// reclaimed first; the memory doubles when less than half of it would be
// free, so a queue that moves through the array costs amortised constant
// time. False with MemoryError set.
template <class T> bool reserve(Array<T> &a, Py_ssize_t extra) noexcept {
    if (a.end + extra <= a.capacity) return true;
    Py_ssize_t n = a.end - a.head;
    if (a.head > 0) {
        std::memmove(static_cast<void *>(a.data), a.data + a.head, static_cast<size_t>(n) * sizeof(T));
        a.head = 0;
        a.end = n;
        if ((n + extra) * 2 <= a.capacity) return true;
    }
    Py_ssize_t capacity = std::max<Py_ssize_t>(8, 2 * (n + extra));
    if (static_cast<size_t>(capacity) > PY_SSIZE_T_MAX / sizeof(T)) {
        PyErr_NoMemory();
        return false;
    }
    void *p = PyMem_Realloc(a.data, static_cast<size_t>(capacity) * sizeof(T));
    if (!p) {
        PyErr_NoMemory();
        return false;
    }
    a.data = static_cast<T *>(p);
    a.capacity = capacity;
    return true;
}

template <class T> inline void push_back(Array<T> &a, T v) noexcept { a.data[a.end++] = v; }  // after reserve

template <class T> void insert_at(Array<T> &a, Py_ssize_t i, T v) noexcept {  // after reserve
    T *p = a.data + a.head + i;
    std::memmove(static_cast<void *>(p + 1), p, static_cast<size_t>(a.end - a.head - i) * sizeof(T));
    *p = v;
    ++a.end;
}

template <class T> void erase_at(Array<T> &a, Py_ssize_t i) noexcept {
    if (i == 0) {
        ++a.head;
    } else {
        T *p = a.data + a.head + i;
        std::memmove(static_cast<void *>(p), p + 1, static_cast<size_t>(a.end - a.head - i - 1) * sizeof(T));
        --a.end;
    }
    if (a.head == a.end) a.head = a.end = 0;
}

template <class T> void free_array(Array<T> &a) noexcept {
    PyMem_Free(a.data);
    a = Array<T>{};
}

// --- monitors: recording ---------------------------------------------------------------------

inline Monitor *mon(PyObject *o) noexcept { return reinterpret_cast<Monitor *>(o); }

inline int64_t now_of(const Environment *env) noexcept { return is_none(env) ? 0 : env->time_i64; }

// Appends a sample; times never go back within a series (a re-initialised
// environment's clock restarts, its samples are stamped at the last time).
void record_at(Monitor *m, int64_t tick, double value) noexcept {
    if (!m) return;
    m->value = value;
    if (!m->enabled) return;
    Array<Sample> &s = m->samples;
    if (s.end > 0 && tick < s.data[s.end - 1].tick) tick = s.data[s.end - 1].tick;
    if (!reserve(s, 1)) {
        report_unraisable(m->kind == kLevel ? "tarnu.resources.Level.record" : "tarnu.resources.Tally.record");
        return;
    }
    push_back(s, Sample{tick, value});
}

void record(Monitor *m, double value) noexcept { record_at(m, m ? now_of(m->env) : 0, value); }

const MonitorVTable g_monitor_vtable = {record};

// Records a block's level-like quantity (slots in use, a level, items held)
// when an operation has settled, so that a slot handed straight from one
// process to the next, or an item passed straight to a waiting getter, shows
// no momentary change.
void settle(Monitor *m, double value) noexcept {
    if (m && m->value != value) record(m, value);
}

// Runs `f` when the scope ends, however it ends.
template <class F>
class Finally {
public:
    explicit Finally(F f) noexcept : f_(f) {}
    ~Finally() { f_(); }
    Finally(const Finally &) = delete;
    Finally &operator=(const Finally &) = delete;

private:
    F f_;
};

// A new monitor of `kind` for `env`, recording from now on.
Ref new_monitor(int32_t kind, PyObject *env, const char *name, double value) {
    PyTypeObject *tp = kind == kLevel ? &g_level_type : &g_tally_type;
    Ref m = check(tp->tp_alloc(tp, 0));
    Monitor *self = mon(m.get());
    self->vtab = &g_monitor_vtable;
    self->kind = kind;
    self->enabled = 1;
    self->env = reinterpret_cast<Environment *>(borrow(env).release());
    self->name = name ? check(PyUnicode_FromString(name)).release() : borrow(Py_None).release();
    self->start = now_of(self->env);
    self->value = value;
    if (kind == kLevel) record_at(self, self->start, value);
    return m;
}

// --- requests and their queues ---------------------------------------------------------------

inline Request *req(PyObject *o) noexcept { return reinterpret_cast<Request *>(o); }

inline bool before(const Request *a, const Request *b) noexcept {
    return a->priority < b->priority || (a->priority == b->priority && a->seq < b->seq);
}

inline void place(WaitQueue &q, Py_ssize_t i, Request *r) noexcept {
    q.heap.data[i] = r;
    r->slot = i;
}

void sift_up(WaitQueue &q, Py_ssize_t i) noexcept {
    Request *r = q.heap.data[i];
    while (i > 0) {
        Py_ssize_t parent = (i - 1) / 2;
        Request *p = q.heap.data[parent];
        if (!before(r, p)) break;
        place(q, i, p);
        i = parent;
    }
    place(q, i, r);
}

void sift_down(WaitQueue &q, Py_ssize_t i) noexcept {
    Py_ssize_t n = q.heap.end;
    Request *r = q.heap.data[i];
    for (;;) {
        Py_ssize_t c = 2 * i + 1;
        if (c >= n) break;
        if (c + 1 < n && before(q.heap.data[c + 1], q.heap.data[c])) ++c;
        if (!before(q.heap.data[c], r)) break;
        place(q, i, q.heap.data[c]);
        i = c;
    }
    place(q, i, r);
}

// Takes a new reference to `r`. False with MemoryError set.
bool queue_push(WaitQueue &q, Request *r) noexcept {
    if (!reserve(q.heap, 1)) return false;
    push_back(q.heap, req(borrow(obj(r)).release()));
    sift_up(q, q.heap.end - 1);
    return true;
}

inline Request *queue_top(const WaitQueue &q) noexcept { return q.heap.end > 0 ? q.heap.data[0] : nullptr; }
inline bool queue_empty(const WaitQueue &q) noexcept { return q.heap.end == 0; }

// Removes `r` from the queue and hands the queue's reference to the caller.
Ref queue_take(WaitQueue &q, Request *r) noexcept {
    Py_ssize_t i = r->slot;
    Py_ssize_t last = q.heap.end - 1;
    r->slot = -1;
    if (i != last) {
        place(q, i, q.heap.data[last]);
        --q.heap.end;
        if (i > 0 && before(q.heap.data[i], q.heap.data[(i - 1) / 2])) {
            sift_up(q, i);
        } else {
            sift_down(q, i);
        }
    } else {
        --q.heap.end;
    }
    return steal(obj(r));
}

// The waiting requests in their order of service (new references).
std::vector<Ref> queue_in_order(const WaitQueue &q) {
    std::vector<Request *> order(q.heap.data, q.heap.data + q.heap.end);
    std::sort(order.begin(), order.end(), before);
    std::vector<Ref> refs;
    refs.reserve(order.size());
    for (Request *r : order) refs.push_back(borrow(obj(r)));
    return refs;
}

// Drops every request; they stay waiting, unqueued, and fail when resumed.
void queue_clear(WaitQueue &q) noexcept {
    Array<Request *> heap = q.heap;
    q.heap = Array<Request *>{};
    q.announced = 0;
    for (Py_ssize_t i = 0; i < heap.end; ++i) {
        heap.data[i]->slot = -1;
        heap.data[i]->announced = false;
    }
    for (Py_ssize_t i = 0; i < heap.end; ++i) Ref gone = steal(obj(heap.data[i]));
    free_array(heap);
}

int queue_traverse(const WaitQueue &q, visitproc visit, void *arg) noexcept {
    for (Py_ssize_t i = 0; i < q.heap.end; ++i) Py_VISIT(q.heap.data[i]);
    return 0;
}

// The queue's monitor counts a request from the moment the operation that
// made it returns with it still waiting, so a request served within its own
// call is never counted as waiting.
void announce(WaitQueue &q, Monitor *m, Request *r) noexcept {
    if (r->announced || r->slot < 0) return;
    r->announced = true;
    record(m, static_cast<double>(++q.announced));
}

void unannounce(WaitQueue &q, Monitor *m, Request *r) noexcept {
    if (!r->announced) return;
    r->announced = false;
    record(m, static_cast<double>(--q.announced));
}

Ref new_request(PyObject *block, int32_t family, int32_t op, PyObject *process, uint64_t seq, int64_t now,
                int64_t deadline) {
    Request *r = PyObject_GC_New(Request, &g_request_type);
    if (!r) raise();
    r->block = borrow(block).release();
    r->process = borrow(process).release();
    r->item = borrow(Py_None).release();
    r->filter = borrow(Py_None).release();
    r->error = nullptr;
    r->priority = 0.0;
    r->amount = 0.0;
    r->seq = seq;
    r->since = now;
    r->deadline = deadline;
    r->slot = -1;
    r->op = op;
    r->family = family;
    r->state = kWaiting;
    r->yielded = r->delivered = r->announced = r->context = false;
    r->preempt = true;
    PyObject_GC_Track(obj(r));
    return steal(obj(r));
}

// --- what every block shares -----------------------------------------------------------------

// Wakes a process now with `reason`, through its own method table (an
// override of activate in its class is honoured; failures are reported).
void wake(PyObject *process, int64_t now, int32_t reason) noexcept {
    auto *p = reinterpret_cast<Process *>(process);
    p->vtab->activate(p, seconds(now), reason, 0);
}

// Wakes a process now with `reason` even when its wake-up is already due at
// this tick: activate() leaves such a wake-up as it is, reason included, and
// the process would resume with its own reason (the end of its service, say)
// without learning what happened to it. The event's time is left alone; an
// event due now that is out of its heap (its step is running, or its
// generator ended) gets its reason rewritten by its next step anyway.
void wake_with(PyObject *process, int64_t now, int32_t reason) noexcept {
    wake(process, now, reason);
    auto *p = reinterpret_cast<Process *>(process);
    if (!is_none(p->event) && Py_TYPE(obj(p->event)) == g_event_type && p->event->time_i64 == now) {
        p->event->reason = reason;
    }
}

// The block's environment; refuses a block whose __init__ did not run (or
// that the collector cleared).
Environment *ready(Environment *env, PyObject *block) {
    if (is_none(env)) {
        raise_format(PyExc_RuntimeError, "this %.200s has no environment: its __init__ has not run",
                     Py_TYPE(block)->tp_name);
    }
    return env;
}

// `o` must be a Process of the block's environment.
Process *check_process(PyObject *o, Environment *env, PyObject *block) {
    if (!g_is_process(o, g_process_type)) {
        raise_format(PyExc_TypeError, "expected a tarnu.process.Process, got %.200s", Py_TYPE(o)->tp_name);
    }
    auto *p = reinterpret_cast<Process *>(o);
    if (p->env != env) {
        raise_format(PyExc_ValueError, "%R belongs to another environment than this %.200s", o,
                     Py_TYPE(block)->tp_name);
    }
    return p;
}

// A deadline in seconds as a tick: None (or a time at or beyond
// TIME_FOREVER) means none; a time in the past means now.
int64_t deadline_tick(PyObject *deadline, int64_t now) {
    if (!deadline || deadline == Py_None) return kNoDeadline;
    double d = to_double(deadline);
    if (std::isnan(d)) raise(PyExc_ValueError, "deadline must be a time in seconds, not nan");
    if (d >= *g_TIME_FOREVER) return kNoDeadline;
    return std::max(g_d2l(d, 0), now);
}

int64_t deadline_tick(const double *deadline, int64_t now) {
    if (!deadline) return kNoDeadline;
    Ref d = py_float(*deadline);
    return deadline_tick(d.get(), now);
}

double check_priority(PyObject *o) {
    if (!o) return 0.0;
    double p = to_double(o);
    if (std::isnan(p)) raise(PyExc_ValueError, "priority must be a number, not nan");
    return p;
}

// --- resources -------------------------------------------------------------------------------

inline Resource *res(PyObject *o) noexcept { return reinterpret_cast<Resource *>(o); }

void resource_dispatch(Resource *self);

// Gives `process` a slot. The caller reserved room in users.
void add_user(Resource *self, PyObject *process, int64_t now, double priority, uint64_t seq) noexcept {
    push_back(self->users, User{borrow(process).release(), now, priority, seq});
}

void settle_count(Resource *self) noexcept { settle(self->count_monitor, static_cast<double>(size(self->users))); }

// Takes slot `i` away; its reference goes to the caller.
Ref remove_user(Resource *self, Py_ssize_t i) noexcept {
    Ref process = steal(at(self->users, i).process);
    erase_at(self->users, i);
    return process;
}

// The user that a request of `priority` by `requester` would preempt: the
// lowest priority (largest number) and, among those, the latest grant.
Py_ssize_t victim_for(Resource *self, PyObject *requester, double priority) noexcept {
    Py_ssize_t victim = -1;
    for (Py_ssize_t i = 0; i < size(self->users); ++i) {
        const User &u = at(self->users, i);
        if (u.process == requester) continue;
        if (victim < 0) {
            victim = i;
            continue;
        }
        const User &v = at(self->users, victim);
        if (u.priority > v.priority || (u.priority == v.priority && u.seq > v.seq)) victim = i;
    }
    if (victim >= 0 && priority < at(self->users, victim).priority) return victim;
    return -1;
}

// Makes the preemption record of the user `victim` for `requester`; the
// dict's hashing may run Python code, so the caller looks the victim up
// again afterwards.
void note_preemption(Resource *self, PyObject *requester, PyObject *victim, int64_t since) {
    Ref usage_since = py_float(seconds(since));
    Ref info = check(PyStructSequence_New(g_preempted_type));
    PyStructSequence_SET_ITEM(info.get(), 0, borrow(requester).release());
    PyStructSequence_SET_ITEM(info.get(), 1, usage_since.release());
    PyStructSequence_SET_ITEM(info.get(), 2, borrow(obj(self)).release());
    check(PyDict_SetItem(self->preemptions, victim, info.get()));
}

// Every allocation (which may run the collector, and finalisers with it)
// comes before the state it depends on is read; only what cannot run
// Python code lies between a check and the change it allows.
PyObject *resource_acquire_impl(Resource *self, Process *process, double priority, int64_t deadline, bool preempt,
                                bool context) {
    PyObject *block = obj(self);
    Environment *env = ready(self->env, block);
    PyObject *p = obj(process);
    int64_t now = env->time_i64;
    if (self->kind == kPreemptive && PyDict_GET_SIZE(self->preemptions) > 0) {
        // What a process learns of its last preemption lasts until it asks again.
        if (PyDict_DelItem(self->preemptions, p) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
            PyErr_Clear();
        }
    }
    if (self->kind == kPlain) priority = 0.0;
    uint64_t seq = ++self->seq;
    Ref made;
    if (context) {
        made = new_request(block, kResourceFamily, kAcquire, p, seq, now, deadline);
        req(made.get())->priority = priority;
        req(made.get())->context = true;
        req(made.get())->preempt = preempt;
    }
    if (!reserve(self->users, 1)) raise();
    if (size(self->users) < self->capacity && queue_empty(self->queue)) {
        add_user(self, p, now, priority, seq);
        settle_count(self);
        record(self->wait_monitor, 0.0);
        if (!made) return borrow(g_granted).release();
        req(made.get())->state = kGranted;
        return made.release();
    }
    if (self->kind == kPreemptive && preempt) {
        Py_ssize_t v = victim_for(self, p, priority);
        if (v >= 0) {
            Ref victim = borrow(at(self->users, v).process);
            note_preemption(self, p, victim.get(), at(self->users, v).since);
            v = victim_for(self, p, priority);
            if (v < 0 || at(self->users, v).process != victim.get()) {
                PyDict_DelItem(self->preemptions, victim.get());
                PyErr_Clear();
                raise(PyExc_RuntimeError, "the users of the PreemptiveResource changed during the preemption");
            }
            if (!reserve(self->users, 1)) raise();
            Ref gone = remove_user(self, v);
            add_user(self, p, now, priority, seq);
            record(self->wait_monitor, 0.0);
            if (made) req(made.get())->state = kGranted;
            wake_with(gone.get(), now, g_preempted);
            return made ? made.release() : borrow(g_granted).release();
        }
    }
    Ref r = made ? std::move(made) : new_request(block, kResourceFamily, kAcquire, p, seq, now, deadline);
    req(r.get())->priority = priority;
    req(r.get())->preempt = preempt;
    if (!queue_push(self->queue, req(r.get()))) raise();
    // Capacity may be free with waiters ahead only transiently; serve in order.
    resource_dispatch(self);
    announce(self->queue, self->queue_monitor, req(r.get()));
    return r.release();
}

PyObject *resource_acquire(Resource *self, Process *process, const AcquireOptions *options) {
    return guard(Where("tarnu.resources.Resource.acquire"), [&] {
        ready(self->env, obj(self));
        check_process(obj(process), self->env, obj(self));
        AcquireOptions o = options ? *options : AcquireOptions{0.0, 0.0, 0, 1};
        if (std::isnan(o.priority)) raise(PyExc_ValueError, "priority must be a number, not nan");
        int64_t now = self->env->time_i64;
        int64_t deadline = o.has_deadline ? deadline_tick(&o.deadline, now) : kNoDeadline;
        return resource_acquire_impl(self, process, o.priority, deadline, o.preempt != 0, false);
    });
}

// Hands free slots to the waiters in order. Every grant wakes its process,
// which may run Python code (an override of activate): everything is read
// afresh after it.
void resource_dispatch(Resource *self) {
    Finally settled([self] { settle_count(self); });
    for (;;) {
        if (is_none(self->env) || size(self->users) >= self->capacity) return;
        Request *top = queue_top(self->queue);
        if (!top) return;
        if (!reserve(self->users, 1)) raise();
        int64_t now = self->env->time_i64;
        Ref taken = queue_take(self->queue, top);
        unannounce(self->queue, self->queue_monitor, top);
        if (top->state != kWaiting || is_none(top->process)) continue;
        top->state = kGranted;
        add_user(self, top->process, now, top->priority, top->seq);
        record(self->wait_monitor, seconds(now - top->since));
        Ref process = borrow(top->process);
        wake(process.get(), now, *g_LOCK_RELEASED);
    }
}

// The earliest slot that `process` holds, or -1.
Py_ssize_t find_user(Resource *self, PyObject *process) noexcept {
    for (Py_ssize_t i = 0; i < size(self->users); ++i) {
        if (at(self->users, i).process == process) return i;
    }
    return -1;
}

// The slot of the grant numbered `seq`, or -1 when its process no longer
// holds it. Users are in the order of their grants: a recent grant is found
// at once from the end.
Py_ssize_t find_grant(Resource *self, PyObject *process, uint64_t seq) noexcept {
    for (Py_ssize_t i = size(self->users); i-- > 0;) {
        const User &u = at(self->users, i);
        if (u.seq == seq && u.process == process) return i;
    }
    return -1;
}

int resource_release(Resource *self, Process *process) {
    return guard_int(Where("tarnu.resources.Resource.release"), [&] {
        ready(self->env, obj(self));
        PyObject *p = obj(process);
        if (!g_is_process(p, g_process_type)) {
            raise_format(PyExc_TypeError, "expected a tarnu.process.Process, got %.200s", Py_TYPE(p)->tp_name);
        }
        Py_ssize_t i = find_user(self, p);
        if (i < 0) raise_format(PyExc_RuntimeError, "%R does not hold this %.200s", p, Py_TYPE(obj(self))->tp_name);
        Ref gone = remove_user(self, i);
        resource_dispatch(self);
        return 0;
    });
}

const ResourceVTable g_resource_vtable = {resource_acquire, resource_release};

// --- containers ------------------------------------------------------------------------------

inline Container *cont(PyObject *o) noexcept { return reinterpret_cast<Container *>(o); }

void grant(Request *r, int64_t now, Monitor *waits) noexcept {
    r->state = kGranted;
    record(waits, seconds(now - r->since));
    Ref process = borrow(r->process);
    wake(process.get(), now, *g_LOCK_RELEASED);
}

// Serves waiters first come first served: the first putter when its amount
// fits, the first getter when the level covers it; one blocked at the head
// holds up those behind it.
void container_dispatch(Container *self) {
    Finally settled([self] { settle(self->level_monitor, self->level); });
    for (;;) {
        if (is_none(self->env)) return;
        int64_t now = self->env->time_i64;
        Request *r = queue_top(self->put_queue);
        if (r && self->level + r->amount <= self->capacity) {
            Ref taken = queue_take(self->put_queue, r);
            unannounce(self->put_queue, self->put_queue_monitor, r);
            if (r->state != kWaiting || is_none(r->process)) continue;
            self->level += r->amount;
            grant(r, now, self->put_wait_monitor);
            continue;
        }
        r = queue_top(self->get_queue);
        if (r && self->level >= r->amount) {
            Ref taken = queue_take(self->get_queue, r);
            unannounce(self->get_queue, self->get_queue_monitor, r);
            if (r->state != kWaiting || is_none(r->process)) continue;
            self->level -= r->amount;
            grant(r, now, self->get_wait_monitor);
            continue;
        }
        return;
    }
}

double check_amount(Container *self, PyObject *o) {
    double amount = to_double(o);
    if (!(amount >= 0.0)) raise_format(PyExc_ValueError, "amount must be at least 0, got %R", o);
    if (amount > self->capacity) {
        raise_format(PyExc_ValueError, "amount %R is more than the capacity %R of the Container", o,
                     py_float(self->capacity).get());
    }
    return amount;
}

PyObject *container_op(Container *self, Process *process, double amount, int64_t deadline, int32_t op) {
    PyObject *block = obj(self);
    int64_t now = self->env->time_i64;
    bool put = op == kPut;
    WaitQueue &q = put ? self->put_queue : self->get_queue;
    uint64_t seq = ++self->seq;
    bool now_ok = put ? self->level + amount <= self->capacity : self->level >= amount;
    if (queue_empty(q) && now_ok) {
        self->level += put ? amount : -amount;
        record(put ? self->put_wait_monitor : self->get_wait_monitor, 0.0);
        container_dispatch(self);
        return borrow(g_granted).release();
    }
    Ref r = new_request(block, kContainerFamily, op, obj(process), seq, now, deadline);
    req(r.get())->amount = amount;
    if (!queue_push(q, req(r.get()))) raise();
    announce(q, put ? self->put_queue_monitor : self->get_queue_monitor, req(r.get()));
    return r.release();
}

PyObject *container_put(Container *self, Process *process, double amount, const double *deadline) {
    return guard(Where("tarnu.resources.Container.put"), [&] {
        ready(self->env, obj(self));
        check_process(obj(process), self->env, obj(self));
        Ref a = py_float(amount);
        return container_op(self, process, check_amount(self, a.get()), deadline_tick(deadline, self->env->time_i64),
                            kPut);
    });
}

PyObject *container_get(Container *self, Process *process, double amount, const double *deadline) {
    return guard(Where("tarnu.resources.Container.get"), [&] {
        ready(self->env, obj(self));
        check_process(obj(process), self->env, obj(self));
        Ref a = py_float(amount);
        return container_op(self, process, check_amount(self, a.get()), deadline_tick(deadline, self->env->time_i64),
                            kGet);
    });
}

const ContainerVTable g_container_vtable = {container_put, container_get};

// --- stores ----------------------------------------------------------------------------------

// Removes a waiting request from its queue: it has failed.
void drop_request(Request *r, WaitQueue &q, Monitor *queue_monitor) noexcept {
    r->state = kFailed;
    if (r->slot < 0) return;
    Ref taken = queue_take(q, r);
    unannounce(q, queue_monitor, r);
}

// Python code run on behalf of a waiting request (its filter, its item's
// comparisons) raised: the error belongs to that request's process. The
// request fails, and its process is woken to raise the error where it
// waits, whatever operation of another process ran the code. The error of
// the operation being called (`caller`), and anything that is not an
// Exception (KeyboardInterrupt, SystemExit), go on to the caller instead.
bool deliver_error(Request *r, Request *caller, WaitQueue &q, Monitor *queue_monitor) {
    if (r == caller || !PyErr_ExceptionMatches(PyExc_Exception)) {
        if (r == caller) drop_request(r, q, queue_monitor);
        return false;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref error = steal(value), owned_type = steal(type), owned_tb = steal(tb);
    if (r->state != kWaiting) {
        // It gave up while its code ran: nobody is left to raise it in.
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        report_unraisable("tarnu.resources.Store.get");
        return true;
    }
    Ref keep = borrow(obj(r));
    drop_request(r, q, queue_monitor);
    assign_field(r->error, error.get());
    if (!is_none(r->process)) {
        Ref process = borrow(r->process);
        wake(process.get(), now_of(reinterpret_cast<Store *>(r->block)->env), *g_LOCK_RELEASED);
    }
    return true;
}

inline Store *store(PyObject *o) noexcept { return reinterpret_cast<Store *>(o); }

// Python code that a store calls while it is between two consistent states
// (a filter, an item comparison) may not use the store.
class Busy {
public:
    explicit Busy(Store *s) noexcept : s_(s) { s_->busy = 1; }
    ~Busy() { s_->busy = 0; }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    Store *s_;
};

void check_not_busy(Store *self, const char *op) {
    if (self->busy) {
        raise_format(PyExc_RuntimeError, "%.200s.%s() called from a filter or an item comparison of the same store",
                     Py_TYPE(obj(self))->tp_name, op);
    }
}

// Where `item` goes: at the end, or in a PriorityStore after every item not
// greater than it (smallest first, first come first served among equals).
Py_ssize_t insert_position(Store *self, PyObject *item) {
    Py_ssize_t hi = size(self->items);
    if (self->kind != kPriority) return hi;
    Ref keep = borrow(item);
    Busy busy(self);
    Py_ssize_t lo = 0;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        Ref other = borrow(at(self->items, mid));
        int less = PyObject_RichCompareBool(item, other.get(), Py_LT);
        if (less < 0) raise();
        if (less) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

void store_item(Store *self, Py_ssize_t position, PyObject *item) noexcept {  // after reserve
    insert_at(self->items, position, borrow(item).release());
}

void settle_size(Store *self) noexcept { settle(self->size_monitor, static_cast<double>(size(self->items))); }

Ref take_item(Store *self, Py_ssize_t i) noexcept {
    Ref item = steal(at(self->items, i));
    erase_at(self->items, i);
    return item;
}

// FilterStore: the first waiting getter, in queue order, whose filter
// accepts one of the items gets the first such item. True when one did.
bool filter_dispatch_one(Store *self, Request *caller) {
    std::vector<Ref> getters = queue_in_order(self->get_queue);
    for (Ref &g : getters) {
        Request *r = req(g.get());
        for (Py_ssize_t i = 0; i < size(self->items) && r->state == kWaiting && r->slot >= 0; ++i) {
            bool accepted;
            try {
                Busy busy(self);
                if (is_none(r->filter)) {
                    accepted = true;
                } else {
                    Ref filter = borrow(r->filter);
                    Ref item = borrow(at(self->items, i));
                    Ref answer = check(PyObject_CallOneArg(filter.get(), item.get()));
                    accepted = check(PyObject_IsTrue(answer.get()));
                }
            } catch (const Error &) {
                if (!deliver_error(r, caller, self->get_queue, self->get_queue_monitor)) throw;
                return true;
            }
            // The filter may have run for a getter that has since given up.
            if (!accepted || r->state != kWaiting || r->slot < 0) continue;
            int64_t now = self->env->time_i64;
            Ref taken = queue_take(self->get_queue, r);
            unannounce(self->get_queue, self->get_queue_monitor, r);
            Ref item = take_item(self, i);
            assign_field(r->item, item.get());
            grant(r, now, self->get_wait_monitor);
            return true;
        }
    }
    return false;
}

// Serves waiting putters while there is room and waiting getters while
// there are items, first come first served; each grant wakes a process, so
// the state is read afresh after it.
void store_dispatch(Store *self, Request *caller = nullptr) {
    Finally settled([self] { settle_size(self); });
    for (;;) {
        if (is_none(self->env) || self->busy) return;
        Request *r = queue_top(self->put_queue);
        if (r && static_cast<double>(size(self->items)) < self->capacity) {
            Ref hold = borrow(obj(r));
            if (r->state != kWaiting || is_none(r->process)) {
                Ref taken = queue_take(self->put_queue, r);
                unannounce(self->put_queue, self->put_queue_monitor, r);
                continue;
            }
            Ref item = borrow(r->item);
            Py_ssize_t position;
            try {
                position = insert_position(self, item.get());
            } catch (const Error &) {
                if (!deliver_error(r, caller, self->put_queue, self->put_queue_monitor)) throw;
                continue;
            }
            // The comparisons ran Python code: start again if the head moved.
            if (queue_top(self->put_queue) != r || r->state != kWaiting) continue;
            if (!reserve(self->items, 1)) raise();
            int64_t now = self->env->time_i64;
            Ref taken = queue_take(self->put_queue, r);
            unannounce(self->put_queue, self->put_queue_monitor, r);
            store_item(self, position, item.get());
            grant(r, now, self->put_wait_monitor);
            continue;
        }
        if (self->kind == kFilter) {
            if (filter_dispatch_one(self, caller)) continue;
            return;
        }
        r = queue_top(self->get_queue);
        if (r && size(self->items) > 0) {
            int64_t now = self->env->time_i64;
            Ref taken = queue_take(self->get_queue, r);
            unannounce(self->get_queue, self->get_queue_monitor, r);
            if (r->state != kWaiting || is_none(r->process)) continue;
            Ref item = take_item(self, 0);
            assign_field(r->item, item.get());
            grant(r, now, self->get_wait_monitor);
            continue;
        }
        return;
    }
}

PyObject *store_put_impl(Store *self, Process *process, PyObject *item, int64_t deadline) {
    PyObject *block = obj(self);
    int64_t now = self->env->time_i64;
    uint64_t seq = ++self->seq;
    if (queue_empty(self->put_queue) && static_cast<double>(size(self->items)) < self->capacity) {
        Py_ssize_t position = insert_position(self, item);
        if (!reserve(self->items, 1)) raise();
        store_item(self, position, item);
        record(self->put_wait_monitor, 0.0);
        store_dispatch(self);
        return borrow(g_granted).release();
    }
    Ref r = new_request(block, kStoreFamily, kPut, obj(process), seq, now, deadline);
    assign_field(req(r.get())->item, item);
    if (!queue_push(self->put_queue, req(r.get()))) raise();
    announce(self->put_queue, self->put_queue_monitor, req(r.get()));
    return r.release();
}

PyObject *store_get_impl(Store *self, Process *process, PyObject *filter, int64_t deadline) {
    PyObject *block = obj(self);
    int64_t now = self->env->time_i64;
    uint64_t seq = ++self->seq;
    Ref r = new_request(block, kStoreFamily, kGet, obj(process), seq, now, deadline);
    Request *rq = req(r.get());
    if (self->kind == kFilter) {
        assign_field(rq->filter, filter ? filter : Py_None);
        // Every waiting getter, this one last, tries the items in turn. A
        // get that fails leaves no request behind.
        if (!queue_push(self->get_queue, rq)) raise();
        try {
            store_dispatch(self, rq);
        } catch (const Error &) {
            drop_request(rq, self->get_queue, self->get_queue_monitor);
            throw;
        }
    } else if (queue_empty(self->get_queue) && size(self->items) > 0) {
        Ref item = take_item(self, 0);
        assign_field(rq->item, item.get());
        rq->state = kGranted;
        record(self->get_wait_monitor, 0.0);
        store_dispatch(self);
    } else {
        if (!queue_push(self->get_queue, rq)) raise();
    }
    announce(self->get_queue, self->get_queue_monitor, rq);
    return r.release();
}

PyObject *store_put(Store *self, Process *process, PyObject *item, const double *deadline) {
    return guard(Where("tarnu.resources.Store.put"), [&] {
        ready(self->env, obj(self));
        check_not_busy(self, "put");
        check_process(obj(process), self->env, obj(self));
        return store_put_impl(self, process, item, deadline_tick(deadline, self->env->time_i64));
    });
}

PyObject *store_get(Store *self, Process *process, PyObject *filter, const double *deadline) {
    return guard(Where("tarnu.resources.Store.get"), [&] {
        ready(self->env, obj(self));
        check_not_busy(self, "get");
        check_process(obj(process), self->env, obj(self));
        if (filter && filter != Py_None && self->kind != kFilter) {
            raise(PyExc_TypeError, "only a FilterStore takes a filter");
        }
        return store_get_impl(self, process, filter, deadline_tick(deadline, self->env->time_i64));
    });
}

const StoreVTable g_store_vtable = {store_put, store_get};

// --- requests: the object a process delegates to ---------------------------------------------

// A request that gives up (its deadline passed, another process woke its
// process, its generator was closed) leaves its queue; a container's or a
// store's waiters behind it may then be served. What the serving raises (a
// filter, a comparison) is reported, except an interrupt (KeyboardInterrupt,
// SystemExit), which is left pending: false then.
bool withdraw(Request *r) noexcept {
    if (r->state != kWaiting) return true;
    r->state = kFailed;
    if (r->slot < 0 || !r->block) return true;
    Ref keep = borrow(obj(r));
    Ref block = borrow(r->block);
    switch (r->family) {
        case kResourceFamily: {
            Resource *self = res(block.get());
            Ref taken = queue_take(self->queue, r);
            unannounce(self->queue, self->queue_monitor, r);
            break;
        }
        case kContainerFamily: {
            Container *self = cont(block.get());
            bool put = r->op == kPut;
            Ref taken = queue_take(put ? self->put_queue : self->get_queue, r);
            unannounce(put ? self->put_queue : self->get_queue, put ? self->put_queue_monitor : self->get_queue_monitor,
                       r);
            // A reported failure leaves nothing pending: the withdrawal stands.
            return guard_policy(Where("tarnu.resources.Container.get"), interrupt_pending,
                                [&] { container_dispatch(self); }) ||
                   !error_pending();
        }
        case kStoreFamily: {
            Store *self = store(block.get());
            bool put = r->op == kPut;
            Ref taken = queue_take(put ? self->put_queue : self->get_queue, r);
            unannounce(put ? self->put_queue : self->get_queue, put ? self->put_queue_monitor : self->get_queue_monitor,
                       r);
            // A reported failure leaves nothing pending: the withdrawal stands.
            return guard_policy(Where("tarnu.resources.Store.get"), interrupt_pending,
                                [&] { store_dispatch(self); }) ||
                   !error_pending();
        }
    }
    return true;
}

// A grant reaches its process when `yield from` evaluates to it. A slot
// taken away in between (a preemption at the tick of the grant, a release
// by another process) leaves the request not granted: it evaluates to
// False, as the process holds nothing.
void deliver(Request *r) noexcept {
    r->delivered = true;
    if (r->state == kGranted && r->family == kResourceFamily && r->block &&
        find_grant(res(r->block), r->process, r->seq) < 0) {
        r->state = kFailed;
    }
}

// A waiter whose generator is closed, or has an exception thrown in, after
// it was granted a slot but before it resumed gives the slot back to the
// next waiter: nobody would ever release it. What a dispatch raises is
// reported under `qualname`, except an interrupt, which is left pending:
// false then.
bool give_back(Request *r, const char *qualname) noexcept {
    if (r->delivered || r->state != kGranted || r->family != kResourceFamily || !r->block) return true;
    r->delivered = true;
    r->state = kFailed;
    Ref keep = borrow(obj(r));
    Ref block = borrow(r->block);
    Resource *self = res(block.get());
    Py_ssize_t i = find_grant(self, r->process, r->seq);
    if (i < 0) return true;
    Ref gone = remove_user(self, i);
    return guard_policy(Where(qualname), interrupt_pending, [&] { resource_dispatch(self); }) ||
           !error_pending();
}

// What `yield from` evaluates to.
PyObject *result_of(const Request *r) noexcept {
    if (r->family == kStoreFamily && r->op == kGet) return r->state == kGranted ? r->item : g_timed_out;
    return r->state == kGranted ? Py_True : Py_False;
}

// The pair a waiting process yields: its deadline, or None to wait until woken.
PyObject *wait_pair(const Request *r) {
    if (r->deadline == kNoDeadline) return borrow(Py_None).release();
    Ref time = py_float(seconds(r->deadline));
    Ref reason = py_int(*g_TIME_REACHED);
    return check(PyTuple_Pack(2, time.get(), reason.get())).release();
}

// One resumption: the first hands out the wait (unless the request was
// served already); any later one ends it, served or not. 1 with the value to
// yield, 0 with the value `yield from` evaluates to, -1 on error.
int request_step(PyObject *self, PyObject *, PyObject **result) noexcept {
    Request *r = req(self);
    if (r->error) {
        Ref error = steal(r->error);
        r->error = nullptr;
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        *result = nullptr;
        return -1;
    }
    if (r->state == kWaiting) {
        if (!r->yielded) {
            r->yielded = true;
            *result = guard(Where("tarnu.resources.Request.__next__"), [&] { return wait_pair(r); });
            return *result ? 1 : -1;
        }
        if (!withdraw(r)) {
            *result = nullptr;
            return -1;
        }
    }
    if (!r->delivered) deliver(r);
    *result = borrow(result_of(r)).release();
    return 0;
}

PyObject *request_resume(PyObject *self) noexcept {
    PyObject *result;
    int status = request_step(self, Py_None, &result);
    if (status != 0) return result;
    Ref returned = steal(result);
    set_stop_iteration(returned.get());
    return nullptr;
}

PyObject *request_iternext(PyObject *self) noexcept { return request_resume(self); }

PyObject *request_send(PyObject *self, PyObject *) noexcept { return request_resume(self); }

// The exception is checked before the request gives up, so that a throw()
// that is refused leaves the request as it was.
PyObject *request_throw(PyObject *self, PyObject *args) noexcept {
    Thrown thrown;
    try {
        thrown = thrown_exception(args);
    } catch (const Error &) {
        return nullptr;
    }
    if (!withdraw(req(self)) || !give_back(req(self), "tarnu.resources.Request.throw")) return nullptr;
    thrown.restore();
    return nullptr;
}

PyObject *request_close(PyObject *self, PyObject *) noexcept {
    if (!withdraw(req(self)) || !give_back(req(self), "tarnu.resources.Request.close")) return nullptr;
    Py_RETURN_NONE;
}

PyObject *request_enter(PyObject *self, PyObject *) noexcept {
    if (!req(self)->context) {
        PyErr_SetString(PyExc_TypeError,
                        "only request() makes a context manager: write `with res.request(self) as req: "
                        "yield from req`");
        return nullptr;
    }
    return borrow(self).release();
}

// Leaving the with block gives back the slot this request was granted (if
// its process still holds it: it may have released it, or been preempted),
// or withdraws the request when it is still waiting.
PyObject *request_exit(PyObject *self, PyObject *const *, Py_ssize_t, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Request.__exit__"), [&] {
        Request *r = req(self);
        if (r->state == kWaiting) {
            if (!withdraw(r)) raise();
        } else if (r->state == kGranted && r->block && r->family == kResourceFamily) {
            Resource *block = res(r->block);
            Ref keep = borrow(r->block);
            Py_ssize_t i = find_grant(block, r->process, r->seq);
            if (i >= 0) {
                Ref gone = remove_user(block, i);
                resource_dispatch(block);
            }
        }
        return borrow(Py_False).release();
    });
}

int request_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Request *r = req(self);
    Py_VISIT(r->block);
    Py_VISIT(r->process);
    Py_VISIT(r->item);
    Py_VISIT(r->filter);
    Py_VISIT(r->error);
    return 0;
}

int request_clear(PyObject *self) noexcept {
    Request *r = req(self);
    Py_CLEAR(r->block);
    assign_field(r->process, Py_None);
    assign_field(r->item, Py_None);
    assign_field(r->filter, Py_None);
    Py_CLEAR(r->error);
    return 0;
}

void request_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    Request *r = req(self);
    Py_CLEAR(r->block);
    Py_CLEAR(r->process);
    Py_CLEAR(r->item);
    Py_CLEAR(r->filter);
    Py_CLEAR(r->error);
    PyObject_GC_Del(self);
}

const char *state_name(const Request *r) noexcept {
    return r->state == kWaiting ? "waiting" : r->state == kGranted ? "granted" : "not granted";
}

PyObject *request_repr(PyObject *self) noexcept {
    Request *r = req(self);
    static const char *ops[] = {"acquire", "put", "get"};
    if (!r->block) return PyUnicode_FromFormat("<Request granted>");
    return PyUnicode_FromFormat("<Request %s %s by %R>", ops[r->op], state_name(r), r->process);
}

PyObject *request_get_process(PyObject *self, void *) noexcept { return borrow(req(self)->process).release(); }
PyObject *request_get_block(PyObject *self, void *) noexcept {
    return borrow(req(self)->block ? req(self)->block : Py_None).release();
}
PyObject *request_get_granted(PyObject *self, void *) noexcept {
    return PyBool_FromLong(req(self)->state == kGranted);
}
PyObject *request_get_waiting(PyObject *self, void *) noexcept {
    return PyBool_FromLong(req(self)->state == kWaiting);
}
PyObject *request_get_priority(PyObject *self, void *) noexcept { return PyFloat_FromDouble(req(self)->priority); }
PyObject *request_get_deadline(PyObject *self, void *) noexcept {
    Request *r = req(self);
    if (r->deadline == kNoDeadline) Py_RETURN_NONE;
    return PyFloat_FromDouble(seconds(r->deadline));
}

#define TARNU_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef request_methods[] = {
    {"send", request_send, METH_O,
     TARNU_SIGNATURE("send($self, value, /)") "send(value)\n\nResumes the wait; the value is ignored."},
    {"throw", request_throw, METH_VARARGS,
     TARNU_SIGNATURE("throw($self, typ, val=None, tb=None, /)")
     "throw(type[, value[, traceback]])\n\nWithdraws a waiting request and raises the exception."},
    {"close", request_close, METH_NOARGS, TARNU_SIGNATURE("close($self, /)") "close()\n\nWithdraws a waiting request."},
    {"__enter__", request_enter, METH_NOARGS, TARNU_SIGNATURE("__enter__($self, /)")},
    {"__exit__", TARNU_FASTCALL(request_exit), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef request_getset[] = {
    {"process", request_get_process, nullptr, "The process the request is for.", nullptr},
    {"block", request_get_block, nullptr, "The resource, container or store that made it.", nullptr},
    {"granted", request_get_granted, nullptr, "Whether it was served.", nullptr},
    {"waiting", request_get_waiting, nullptr, "Whether it still waits in its queue.", nullptr},
    {"priority", request_get_priority, nullptr, "Its priority (lower first).", nullptr},
    {"deadline", request_get_deadline, nullptr, "Its deadline in seconds, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods request_async = [] {
    PyAsyncMethods a{};
    compat::install_send_slot<request_step>(a);
    return a;
}();

PyTypeObject g_request_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.resources.Request";
    t.tp_basicsize = sizeof(Request);
    t.tp_dealloc = request_dealloc;
    t.tp_repr = request_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "A waiting acquire, put or get.\n\n"
        "Delegate to it with ``yield from``: it waits (yielding the process's wake-up) until it is\n"
        "served or its deadline passes, and evaluates to what the operation returns. A request\n"
        "made by ``request()`` is also a context manager that gives the slot back on leaving.";
    t.tp_traverse = request_traverse;
    t.tp_clear = request_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = request_iternext;
    t.tp_as_async = &request_async;
    t.tp_methods = request_methods;
    t.tp_getset = request_getset;
    return t;
}();

// --- TIMED_OUT -------------------------------------------------------------------------------

PyObject *timed_out_repr(PyObject *) noexcept { return PyUnicode_FromString("TIMED_OUT"); }
int timed_out_bool(PyObject *) noexcept { return 0; }
PyObject *timed_out_reduce(PyObject *, PyObject *) noexcept { return PyUnicode_FromString("TIMED_OUT"); }

PyNumberMethods timed_out_number = [] {
    PyNumberMethods n{};
    n.nb_bool = timed_out_bool;
    return n;
}();

PyMethodDef timed_out_methods[] = {
    {"__reduce__", timed_out_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce__($self, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject g_timed_out_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.resources._TimedOut";
    t.tp_basicsize = sizeof(PyObject);
    t.tp_repr = timed_out_repr;
    t.tp_as_number = &timed_out_number;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "The value of a Store get whose deadline passed before an item came.";
    t.tp_methods = timed_out_methods;
    return t;
}();


// --- monitors: statistics --------------------------------------------------------------------

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The samples with the time the statistics run to: the clock, or the last
// sample if the clock went back.
struct Span {
    const Sample *s;
    Py_ssize_t n;
    int64_t now;

    explicit Span(const Monitor *m) noexcept
        : s(m->samples.data + m->samples.head), n(m->samples.end - m->samples.head), now(now_of(m->env)) {
        if (n > 0) now = std::max(now, s[n - 1].tick);
    }
    // How long sample i of a Level lasted, in ticks.
    int64_t lasted(Py_ssize_t i) const noexcept { return (i + 1 < n ? s[i + 1].tick : now) - s[i].tick; }
    int64_t total() const noexcept { return n > 0 ? now - s[0].tick : 0; }
};

double tally_mean(const Span &v) noexcept {
    if (v.n == 0) return kNaN;
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < v.n; ++i) sum += v.s[i].value;
    return sum / static_cast<double>(v.n);
}

double level_mean(const Span &v) noexcept {
    int64_t total = v.total();
    if (total <= 0) return kNaN;
    double area = 0.0;
    for (Py_ssize_t i = 0; i < v.n; ++i) area += v.s[i].value * static_cast<double>(v.lasted(i));
    return area / static_cast<double>(total);
}

double monitor_mean(const Monitor *m) noexcept {
    Span v(m);
    return m->kind == kLevel ? level_mean(v) : tally_mean(v);
}

// A Tally's sample standard deviation; a Level's time-weighted one.
double monitor_std(const Monitor *m) noexcept {
    Span v(m);
    double mean = m->kind == kLevel ? level_mean(v) : tally_mean(v);
    if (std::isnan(mean)) return kNaN;
    double sum = 0.0;
    if (m->kind == kLevel) {
        for (Py_ssize_t i = 0; i < v.n; ++i) {
            double d = v.s[i].value - mean;
            sum += d * d * static_cast<double>(v.lasted(i));
        }
        return std::sqrt(sum / static_cast<double>(v.total()));
    }
    if (v.n < 2) return kNaN;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        double d = v.s[i].value - mean;
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(v.n - 1));
}

double monitor_extreme(const Monitor *m, bool largest) noexcept {
    Span v(m);
    if (v.n == 0) return kNaN;
    double best = v.s[0].value;
    for (Py_ssize_t i = 1; i < v.n; ++i) best = largest ? std::max(best, v.s[i].value) : std::min(best, v.s[i].value);
    return best;
}

// A Tally's percentile by linear interpolation between the order
// statistics; a Level's is the smallest value held for at least q% of the
// time.
double monitor_percentile(const Monitor *m, double q) {
    Span v(m);
    if (m->kind == kTally) {
        if (v.n == 0) return kNaN;
        std::vector<double> sorted(static_cast<size_t>(v.n));
        for (Py_ssize_t i = 0; i < v.n; ++i) sorted[static_cast<size_t>(i)] = v.s[i].value;
        std::sort(sorted.begin(), sorted.end());
        double pos = q / 100.0 * static_cast<double>(v.n - 1);
        auto lo = static_cast<size_t>(std::floor(pos));
        size_t hi = std::min(lo + 1, sorted.size() - 1);
        return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
    }
    if (v.total() <= 0) return kNaN;
    std::vector<std::pair<double, int64_t>> held;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (v.lasted(i) > 0) held.emplace_back(v.s[i].value, v.lasted(i));
    }
    std::sort(held.begin(), held.end());
    double target = q / 100.0 * static_cast<double>(v.total());
    double cumulative = 0.0;
    for (const auto &[value, ticks] : held) {
        cumulative += static_cast<double>(ticks);
        if (cumulative >= target) return value;
    }
    return held.back().first;
}

// The regularised incomplete beta function I_x(a, b), by its continued
// fraction (modified Lentz).
double incomplete_beta(double a, double b, double x) noexcept {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    if (x > (a + 1.0) / (a + b + 2.0)) return 1.0 - incomplete_beta(b, a, 1.0 - x);
    double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) +
                            b * std::log1p(-x)) / a;
    constexpr double kTiny = 1e-300;
    double f = 1.0, c = 1.0, d = 0.0;
    for (int i = 0; i <= 400; ++i) {
        int k = i / 2;
        double numerator;
        if (i == 0) {
            numerator = 1.0;
        } else if (i % 2 == 0) {
            numerator = (k * (b - k) * x) / ((a + 2.0 * k - 1.0) * (a + 2.0 * k));
        } else {
            numerator = -((a + k) * (a + b + k) * x) / ((a + 2.0 * k) * (a + 2.0 * k + 1.0));
        }
        d = 1.0 + numerator * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        d = 1.0 / d;
        c = 1.0 + numerator / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        double cd = c * d;
        f *= cd;
        if (std::fabs(1.0 - cd) < 1e-15) break;
    }
    return front * (f - 1.0);
}

// P(T <= t) for Student's t with `df` degrees of freedom, t >= 0.
double t_cdf(double t, double df) noexcept { return 1.0 - 0.5 * incomplete_beta(df / 2.0, 0.5, df / (df + t * t)); }

// The p-quantile of Student's t (p > 0.5), by bisection.
double t_quantile(double p, double df) noexcept {
    double lo = 0.0, hi = 1.0;
    while (t_cdf(hi, df) < p && hi < 1e10) hi *= 2.0;
    for (int i = 0; i < 200 && hi - lo > 1e-13 * hi; ++i) {
        double mid = 0.5 * (lo + hi);
        (t_cdf(mid, df) < p ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

constexpr int64_t kMaxBatches = 1000000;

// Batch means: a Tally's observations in `batches` consecutive batches of
// equal size (the earliest left over when they do not divide evenly), a
// Level's span in `batches` stretches of equal length (at least a tick
// each). Returns the interval around the grand mean at `confidence`, from
// Student's t with batches - 1 degrees of freedom. The batch means are
// summed as they are made (Welford), so any number of batches takes no
// memory.
std::pair<double, double> monitor_interval(const Monitor *m, double confidence, int64_t batches) {
    if (!(confidence > 0.0 && confidence < 1.0)) raise(PyExc_ValueError, "confidence must lie between 0 and 1");
    if (batches < 2) raise(PyExc_ValueError, "confidence_interval() needs at least 2 batches");
    // Batch means use tens of batches; a number far beyond is a mistake, and
    // would take time in proportion.
    if (batches > kMaxBatches) {
        raise_format(PyExc_ValueError, "confidence_interval() takes at most %lld batches, not %lld",
                     static_cast<long long>(kMaxBatches), static_cast<long long>(batches));
    }
    Span v(m);
    double count = 0.0, grand = 0.0, m2 = 0.0;
    auto add = [&](double x) {
        count += 1.0;
        double delta = x - grand;
        grand += delta / count;
        m2 += delta * (x - grand);
    };
    if (m->kind == kTally) {
        if (v.n < batches) {
            raise_format(PyExc_ValueError, "confidence_interval() needs at least %lld observations, the Tally has %zd",
                         static_cast<long long>(batches), v.n);
        }
        Py_ssize_t size = v.n / static_cast<Py_ssize_t>(batches);
        Py_ssize_t first = v.n - size * static_cast<Py_ssize_t>(batches);
        for (int64_t b = 0; b < batches; ++b) {
            double sum = 0.0;
            for (Py_ssize_t i = 0; i < size; ++i) sum += v.s[first + b * size + i].value;
            add(sum / static_cast<double>(size));
        }
    } else {
        if (v.total() <= 0) raise(PyExc_ValueError, "confidence_interval() needs simulated time to have passed");
        if (batches > v.total()) {
            raise_format(PyExc_ValueError, "confidence_interval() takes at most one batch a tick, %lld here",
                         static_cast<long long>(v.total()));
        }
        // Sweep the samples once, closing each stretch as its end passes.
        double t0 = static_cast<double>(v.s[0].tick);
        double width = static_cast<double>(v.total()) / static_cast<double>(batches);
        Py_ssize_t i = 0;
        for (int64_t b = 0; b < batches; ++b) {
            double lo = t0 + width * static_cast<double>(b);
            double hi = b + 1 == batches ? static_cast<double>(v.now) : lo + width;
            double area = 0.0;
            while (i < v.n) {
                double a = std::max(lo, static_cast<double>(v.s[i].tick));
                double z = std::min(hi, static_cast<double>(v.s[i].tick + v.lasted(i)));
                if (z > a) area += v.s[i].value * (z - a);
                if (static_cast<double>(v.s[i].tick + v.lasted(i)) > hi) break;  // goes on into the next stretch
                ++i;
            }
            add(area / (hi - lo));
        }
    }
    double half = t_quantile(0.5 + confidence / 2.0, count - 1.0) * std::sqrt(m2 / (count - 1.0) / count);
    return {grand - half, grand + half};
}

// Forgets what came before `tick`: a Tally its observations, a Level its
// history, keeping the value it held then as its first sample.
void monitor_reset(Monitor *m, int64_t tick) noexcept {
    tick = std::max(tick, m->start);
    Array<Sample> &a = m->samples;
    Py_ssize_t n = size(a), keep = 0;
    while (keep < n && at(a, keep).tick < tick) ++keep;
    if (m->kind == kLevel) {
        // The value held at `tick`: the last one recorded at or before it.
        double value = keep > 0 ? at(a, keep - 1).value : m->value;
        while (keep < n && at(a, keep).tick == tick) value = at(a, keep++).value;
        if (keep > 0) {
            at(a, keep - 1) = Sample{tick, value};
            keep -= 1;
        } else if (m->enabled && reserve(a, 1)) {
            insert_at(a, 0, Sample{tick, value});
        }
    }
    a.head += keep;
    if (a.head == a.end) a.head = a.end = 0;
    m->start = tick;
}

// --- monitors: Python ------------------------------------------------------------------------

const char *monitor_name(const Monitor *m) noexcept { return m->kind == kLevel ? "Level" : "Tally"; }

PyObject *monitor_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Monitor *m = mon(o);
    m->vtab = &g_monitor_vtable;
    m->env = reinterpret_cast<Environment *>(borrow(Py_None).release());
    m->name = borrow(Py_None).release();
    m->kind = PyType_IsSubtype(type, &g_level_type) ? kLevel : kTally;
    m->enabled = 1;
    m->value = m->kind == kLevel ? 0.0 : kNaN;
    return o;
}

void check_name(PyObject *name) {
    if (name != Py_None && !PyUnicode_Check(name)) {
        raise_format(PyExc_TypeError, "name must be a str or None, not %.200s", Py_TYPE(name)->tp_name);
    }
}

int monitor_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    Monitor *m = mon(o);
    return guard_int(Where(m->kind == kLevel ? "tarnu.resources.Level.__init__" : "tarnu.resources.Tally.__init__"),
                     [&] {
                         static const Params tally_params("__init__", {"env", "name"}, 1);
                         static const Params level_params("__init__", {"env", "value", "name"}, 1);
                         PyObject *v[3] = {};
                         PyObject *name;
                         if (m->kind == kLevel) {
                             level_params.parse(args, kwargs, v);
                             name = v[2];
                         } else {
                             tally_params.parse(args, kwargs, v);
                             name = v[1];
                         }
                         check_arg_type(v[0], g_env_type, "env", false);
                         if (!is_none(m->env)) raise(PyExc_RuntimeError, "a monitor's __init__ runs once");
                         double value = m->kind == kLevel && v[1] ? to_double(v[1]) : m->value;
                         if (name) check_name(name);
                         assign_field(m->env, v[0]);
                         if (name) assign_field(m->name, name);
                         m->start = now_of(m->env);
                         m->value = value;
                         if (m->kind == kLevel) record_at(m, m->start, value);
                         return 0;
                     });
}

int monitor_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Py_VISIT(obj(mon(o)->env));
    Py_VISIT(mon(o)->name);
    return 0;
}

int monitor_clear(PyObject *o) noexcept {
    assign_field(mon(o)->env, Py_None);
    assign_field(mon(o)->name, Py_None);
    return 0;
}

void monitor_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    Py_CLEAR(mon(o)->env);
    Py_CLEAR(mon(o)->name);
    free_array(mon(o)->samples);
    Py_TYPE(o)->tp_free(o);
}

PyObject *monitor_repr(PyObject *o) noexcept {
    return guard(Where("tarnu.resources.Monitor.__repr__"), [&] {
        Monitor *m = mon(o);
        Ref value = py_float(m->value);
        Ref count = py_int(size(m->samples));
        if (is_none(m->name)) {
            return check(PyUnicode_FromFormat("<%s value=%R count=%R>", monitor_name(m), value.get(), count.get()))
                .release();
        }
        return check(PyUnicode_FromFormat("<%s %R value=%R count=%R>", monitor_name(m), m->name, value.get(),
                                          count.get()))
            .release();
    });
}

PyObject *py_record(PyObject *o, PyObject *value) noexcept {
    return guard(Where("tarnu.resources.Monitor.record"), [&] {
        double v = to_double(value);
        Monitor *m = mon(o);
        if (is_none(m->env)) raise(PyExc_RuntimeError, "the monitor has no environment: its __init__ has not run");
        m->vtab->record(m, v);
        return none().release();
    });
}

PyObject *py_mean(PyObject *o, PyObject *) noexcept { return PyFloat_FromDouble(monitor_mean(mon(o))); }
PyObject *py_std(PyObject *o, PyObject *) noexcept { return PyFloat_FromDouble(monitor_std(mon(o))); }
PyObject *py_min(PyObject *o, PyObject *) noexcept { return PyFloat_FromDouble(monitor_extreme(mon(o), false)); }
PyObject *py_max(PyObject *o, PyObject *) noexcept { return PyFloat_FromDouble(monitor_extreme(mon(o), true)); }

PyObject *py_percentile(PyObject *o, PyObject *q) noexcept {
    return guard(Where("tarnu.resources.Monitor.percentile"), [&] {
        double p = to_double(q);
        if (!(p >= 0.0 && p <= 100.0)) raise_format(PyExc_ValueError, "percentile must lie in [0, 100], got %R", q);
        return py_float(monitor_percentile(mon(o), p)).release();
    });
}

PyObject *py_interval(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Monitor.confidence_interval"), [&] {
        static const Params params("confidence_interval", {"confidence", "batches"}, 0);
        PyObject *v[2] = {};
        params.parse(args, nargs, kwnames, v);
        double confidence = v[0] ? to_double(v[0]) : 0.95;
        int64_t batches = v[1] ? to_int64(v[1]) : 20;
        auto [low, high] = monitor_interval(mon(o), confidence, batches);
        Ref a = py_float(low), b = py_float(high);
        return check(PyTuple_Pack(2, a.get(), b.get())).release();
    });
}

PyObject *py_reset(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Monitor.reset"), [&] {
        static const Params params("reset", {"time"}, 0);
        PyObject *v[1] = {};
        params.parse(args, nargs, kwnames, v);
        Monitor *m = mon(o);
        int64_t now = now_of(m->env);
        int64_t tick = now;
        if (v[0] && v[0] != Py_None) {
            double t = to_double(v[0]);
            if (std::isnan(t)) raise(PyExc_ValueError, "time must be a time in seconds, not nan");
            tick = g_d2l(t, 0);
            if (tick > now) raise_format(PyExc_ValueError, "cannot reset at %R, after the current time", v[0]);
        }
        monitor_reset(m, tick);
        return none().release();
    });
}

PyObject *series_list(PyObject *o, bool times) {
    Monitor *m = mon(o);
    Py_ssize_t n = size(m->samples);
    Ref list = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Sample &s = at(m->samples, i);
        PyList_SET_ITEM(list.get(), i, py_float(times ? seconds(s.tick) : s.value).release());
    }
    return list.release();
}

PyObject *py_times(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Monitor.times"), [&] { return series_list(o, true); });
}
PyObject *py_values(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Monitor.values"), [&] { return series_list(o, false); });
}

// to_pandas() and plot() live in Python, beside the optional libraries.
PyObject *call_extra(const char *function, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) {
    Ref module = import_module("tarnu._monitoring");
    Ref f = check(PyObject_GetAttrString(module.get(), function));
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject *> all(static_cast<size_t>(nargs + nkw + 1));
    all[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) all[static_cast<size_t>(i + 1)] = args[i];
    return check(PyObject_Vectorcall(f.get(), all.data(), static_cast<size_t>(nargs + 1), kwnames)).release();
}

PyObject *py_to_pandas(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Monitor.to_pandas"),
                 [&] { return call_extra("to_pandas", o, args, nargs, kwnames); });
}
PyObject *py_plot(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Monitor.plot"), [&] { return call_extra("plot", o, args, nargs, kwnames); });
}

PyObject *get_count(PyObject *o, void *) noexcept { return PyLong_FromSsize_t(size(mon(o)->samples)); }
PyObject *get_value(PyObject *o, void *) noexcept { return PyFloat_FromDouble(mon(o)->value); }
PyObject *get_start(PyObject *o, void *) noexcept { return PyFloat_FromDouble(seconds(mon(o)->start)); }
PyObject *get_env(PyObject *o, void *) noexcept { return borrow(mon(o)->env).release(); }
PyObject *get_name(PyObject *o, void *) noexcept { return borrow(mon(o)->name).release(); }
PyObject *get_enabled(PyObject *o, void *) noexcept { return PyBool_FromLong(mon(o)->enabled); }

int set_name(PyObject *o, PyObject *value, void *) noexcept {
    return guard_int(Where("tarnu.resources.Monitor.name.__set__"), [&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        check_name(value);
        assign_field(mon(o)->name, value);
        return 0;
    });
}

// A Level that records again starts a new sample at once, so its value
// counts from now on; the stretch it did not record counts at the value it
// had when it stopped.
int set_enabled(PyObject *o, PyObject *value, void *) noexcept {
    return guard_int(Where("tarnu.resources.Monitor.enabled.__set__"), [&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        Monitor *m = mon(o);
        int enabled = check(PyObject_IsTrue(value));
        bool resumed = enabled && !m->enabled;
        m->enabled = enabled;
        if (resumed && m->kind == kLevel) record(m, m->value);
        return 0;
    });
}

PyObject *monitor_reduce(PyObject *o, PyObject *) noexcept;
PyObject *monitor_setstate(PyObject *o, PyObject *state) noexcept;

// The signature Python reads, the first line of the docstring, its text.
#define STAT_DOC(text_signature, sig, text) TARNU_SIGNATURE(text_signature) sig "\n\n" text
PyMethodDef monitor_methods[] = {
    {"record", py_record, METH_O,
     STAT_DOC("record($self, value, /)", "record(value)",
              "Records `value` now: a Tally's observation, a Level's new value.")},
    {"mean", py_mean, METH_NOARGS,
     STAT_DOC("mean($self, /)", "mean()", "The mean since `start`; time-weighted for a Level. nan without data.")},
    {"std", py_std, METH_NOARGS,
     STAT_DOC("std($self, /)", "std()",
              "A Tally's sample standard deviation, a Level's time-weighted one. nan without data.")},
    {"min", py_min, METH_NOARGS,
     STAT_DOC("min($self, /)", "min()", "The least value recorded since `start`; nan without data.")},
    {"max", py_max, METH_NOARGS,
     STAT_DOC("max($self, /)", "max()", "The greatest value recorded since `start`; nan without data.")},
    {"percentile", py_percentile, METH_O,
     STAT_DOC("percentile($self, q, /)", "percentile(q)",
              "The q-th percentile, q in [0, 100]: a Tally's interpolated between observations,\n"
              "a Level's the least value held at least q% of the time.")},
    {"confidence_interval", TARNU_FASTCALL(py_interval), METH_FASTCALL | METH_KEYWORDS,
     STAT_DOC("confidence_interval($self, /, confidence=0.95, batches=20)",
              "confidence_interval(confidence=0.95, batches=20)",
              "A (low, high) batch-means confidence interval of the mean: a Tally's observations\n"
              "in `batches` consecutive batches, a Level's time in `batches` equal stretches\n"
              "(2 to 1,000,000 batches, and no more than observations or ticks).")},
    {"reset", TARNU_FASTCALL(py_reset), METH_FASTCALL | METH_KEYWORDS,
     STAT_DOC("reset($self, /, time=None)", "reset(time=None)",
              "Forgets what was recorded before `time` (default: now), as at the end of a\n"
              "warm-up; a Level keeps the value it held then.")},
    {"times", py_times, METH_NOARGS,
     STAT_DOC("times($self, /)", "times()", "The times of the samples, in seconds.")},
    {"values", py_values, METH_NOARGS, STAT_DOC("values($self, /)", "values()", "The values of the samples.")},
    {"to_pandas", TARNU_FASTCALL(py_to_pandas), METH_FASTCALL | METH_KEYWORDS,
     STAT_DOC("to_pandas($self, /)", "to_pandas()",
              "The samples as a pandas Series indexed by time (needs tarnu[pandas]).")},
    {"plot", TARNU_FASTCALL(py_plot), METH_FASTCALL | METH_KEYWORDS,
     STAT_DOC("plot($self, /, ax=None, **kwargs)", "plot(ax=None, **kwargs)",
              "Plots the samples with matplotlib (needs tarnu[plot]), a Level as steps; returns the axes.")},
    {"__reduce_cython__", monitor_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", monitor_setstate, METH_O,
     TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef monitor_getset[] = {
    {"env", get_env, nullptr, "The environment whose clock stamps the samples.", nullptr},
    {"name", get_name, set_name, "A name for reports (str or None).", nullptr},
    {"count", get_count, nullptr, "The number of samples since `start` (a Level's first is its value then).",
     nullptr},
    {"value", get_value, nullptr, "A Level's current value; a Tally's last observation (nan before one).", nullptr},
    {"start", get_start, nullptr, "The time the statistics start from, in seconds.", nullptr},
    {"enabled", get_enabled, set_enabled, "Whether samples are kept (True by default).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_monitor_type(const char *name, const char *doc) noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = sizeof(Monitor);
    t.tp_dealloc = monitor_dealloc;
    t.tp_repr = monitor_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc;
    t.tp_traverse = monitor_traverse;
    t.tp_clear = monitor_clear;
    t.tp_methods = monitor_methods;
    t.tp_getset = monitor_getset;
    t.tp_init = monitor_init;
    t.tp_new = monitor_new;
    return t;
}

PyTypeObject g_tally_type = make_monitor_type(
    "tarnu.resources.Tally",
    TARNU_SIGNATURE("Tally(env, name=None)")
    "Tally(env, name=None)\n"
    "    Observations of a quantity, such as the wait of each customer.\n\n"
    "    ``record(x)`` notes an observation at the current time; the statistics (count, mean,\n"
    "    std, min, max, percentile, confidence_interval) cover the observations since\n"
    "    `start`, which ``reset()`` moves to the end of a warm-up.\n");

PyTypeObject g_level_type = make_monitor_type(
    "tarnu.resources.Level",
    TARNU_SIGNATURE("Level(env, value=0.0, name=None)")
    "Level(env, value=0.0, name=None)\n"
    "    A quantity that holds a value over time, such as a queue length.\n\n"
    "    ``record(x)`` sets its value from the current time on; the statistics weigh each\n"
    "    value by how long it was held, from `start` to the current time.\n");

// --- what the blocks' Python types share -----------------------------------------------------

// A monitor attribute: the monitor, or None before __init__.
// The environment and the monitors are plain read-only members (None
// before __init__).
#define TARNU_MEMBER(record, field, doc) \
    {const_cast<char *>(#field), T_OBJECT, offsetof(record, field), READONLY, const_cast<char *>(doc)}
#define TARNU_MEMBERS_END {nullptr, 0, 0, 0, nullptr}

inline void visit_monitors(Monitor *const *ms, int n, visitproc visit, void *arg, int &status) noexcept {
    for (int i = 0; i < n && !status; ++i) {
        if (ms[i]) status = visit(obj(ms[i]), arg);
    }
}

// The processes of a queue's waiters, in their order of service.
PyObject *queue_tuple(const WaitQueue &q) {
    std::vector<Ref> order = queue_in_order(q);
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(order.size())));
    for (size_t i = 0; i < order.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), borrow(req(order[i].get())->process).release());
    }
    return t.release();
}

// Parses an optional deadline argument for a native entry that takes a pointer.
struct DeadlineArg {
    double value = 0.0;
    const double *ptr = nullptr;
    explicit DeadlineArg(PyObject *o) {
        if (o && o != Py_None) {
            value = to_double(o);
            ptr = &value;
        }
    }
};

double check_capacity(PyObject *o, const char *what) {
    double c = to_double(o);
    if (!(c > 0.0)) raise_format(PyExc_ValueError, "the capacity of a %s must be more than 0, got %R", what, o);
    return c;
}

// --- resources: Python -----------------------------------------------------------------------

PyObject *resource_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Resource *self = res(o);
    self->vtab = &g_resource_vtable;
    self->env = reinterpret_cast<Environment *>(borrow(Py_None).release());
    self->preemptions = borrow(Py_None).release();
    self->kind = PyType_IsSubtype(type, &g_preemptive_resource_type) ? kPreemptive
                 : PyType_IsSubtype(type, &g_priority_resource_type) ? kPriority
                                                                      : kPlain;
    return o;
}

int64_t check_resource_capacity(PyObject *o) {
    int64_t c = to_int64(o);
    if (c < 0) raise_format(PyExc_ValueError, "the capacity of a resource must be at least 0, got %R", o);
    return c;
}

int resource_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int(Where("tarnu.resources.Resource.__init__"), [&] {
        static const Params params("__init__", {"env", "capacity"}, 1);
        PyObject *v[2] = {};
        params.parse(args, kwargs, v);
        check_arg_type(v[0], g_env_type, "env", false);
        Resource *self = res(o);
        if (!is_none(self->env)) raise(PyExc_RuntimeError, "a Resource's __init__ runs once");
        int64_t capacity = v[1] ? check_resource_capacity(v[1]) : 1;
        Ref queue = new_monitor(kLevel, v[0], "queue length", 0.0);
        Ref count = new_monitor(kLevel, v[0], "count", 0.0);
        Ref waits = new_monitor(kTally, v[0], "wait", 0.0);
        Ref preemptions = self->kind == kPreemptive ? check(PyDict_New()) : none();
        self->capacity = capacity;
        assign_field(self->env, v[0]);
        self->queue_monitor = mon(queue.release());
        self->count_monitor = mon(count.release());
        self->wait_monitor = mon(waits.release());
        assign_field(self->preemptions, preemptions.get());
        return 0;
    });
}

void resource_drop(Resource *self) noexcept {
    queue_clear(self->queue);
    Array<User> users = self->users;
    self->users = Array<User>{};
    for (Py_ssize_t i = users.head; i < users.end; ++i) Ref gone = steal(users.data[i].process);
    free_array(users);
    Py_CLEAR(self->queue_monitor);
    Py_CLEAR(self->count_monitor);
    Py_CLEAR(self->wait_monitor);
}

int resource_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Resource *self = res(o);
    Py_VISIT(obj(self->env));
    Py_VISIT(self->preemptions);
    for (Py_ssize_t i = self->users.head; i < self->users.end; ++i) Py_VISIT(self->users.data[i].process);
    if (int status = queue_traverse(self->queue, visit, arg)) return status;
    int status = 0;
    Monitor *ms[] = {self->queue_monitor, self->count_monitor, self->wait_monitor};
    visit_monitors(ms, 3, visit, arg, status);
    return status;
}

int resource_clear(PyObject *o) noexcept {
    Resource *self = res(o);
    assign_field(self->env, Py_None);
    assign_field(self->preemptions, Py_None);
    resource_drop(self);
    return 0;
}

void resource_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    Resource *self = res(o);
    Py_CLEAR(self->env);
    Py_CLEAR(self->preemptions);
    resource_drop(self);
    Py_TYPE(o)->tp_free(o);
}

PyObject *resource_repr(PyObject *o) noexcept {
    Resource *self = res(o);
    return PyUnicode_FromFormat("<%s count=%zd capacity=%lld queue=%zd>", Py_TYPE(o)->tp_name, size(self->users),
                                static_cast<long long>(self->capacity), self->queue.heap.end);
}

const Params g_acquire_params("acquire", {"process", "deadline"}, 1);
const Params g_priority_acquire_params("acquire", {"process", "priority", "deadline"}, 1);
const Params g_preemptive_acquire_params("acquire", {"process", "priority", "deadline", "preempt"}, 1);
const Params g_request_params("request", {"process", "deadline"}, 1);
const Params g_priority_request_params("request", {"process", "priority", "deadline"}, 1);
const Params g_preemptive_request_params("request", {"process", "priority", "deadline", "preempt"}, 1);

// The Python forms of acquire and request: the parameters differ by class.
PyObject *acquire_entry(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, int32_t kind,
                        bool context) {
    PyObject *v[4] = {};
    PyObject *deadline, *priority = nullptr, *preempt = nullptr;
    if (kind == kPlain) {
        (context ? g_request_params : g_acquire_params).parse(args, nargs, kwnames, v);
        deadline = v[1];
    } else if (kind == kPriority) {
        (context ? g_priority_request_params : g_priority_acquire_params).parse(args, nargs, kwnames, v);
        priority = v[1];
        deadline = v[2];
    } else {
        (context ? g_preemptive_request_params : g_preemptive_acquire_params).parse(args, nargs, kwnames, v);
        priority = v[1];
        deadline = v[2];
        preempt = v[3];
    }
    Resource *self = res(o);
    Environment *env = ready(self->env, o);
    Process *p = check_process(v[0], env, o);
    double pr = check_priority(priority);
    bool pre = preempt ? check(PyObject_IsTrue(preempt)) : true;
    int64_t dl = deadline_tick(deadline, self->env->time_i64);
    return resource_acquire_impl(self, p, pr, dl, pre, context);
}

#define RESOURCE_ENTRY(fn, qualname, kind, context)                                                        \
    PyObject *fn(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {     \
        return guard(Where(qualname), [&] { return acquire_entry(o, args, nargs, kwnames, kind, context); }); \
    }
RESOURCE_ENTRY(py_acquire, "tarnu.resources.Resource.acquire", kPlain, false)
RESOURCE_ENTRY(py_request, "tarnu.resources.Resource.request", kPlain, true)
RESOURCE_ENTRY(py_priority_acquire, "tarnu.resources.PriorityResource.acquire", kPriority, false)
RESOURCE_ENTRY(py_priority_request, "tarnu.resources.PriorityResource.request", kPriority, true)
RESOURCE_ENTRY(py_preemptive_acquire, "tarnu.resources.PreemptiveResource.acquire", kPreemptive, false)
RESOURCE_ENTRY(py_preemptive_request, "tarnu.resources.PreemptiveResource.request", kPreemptive, true)
#undef RESOURCE_ENTRY

PyObject *py_release(PyObject *o, PyObject *process) noexcept {
    if (resource_release(res(o), reinterpret_cast<Process *>(process)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_preemption(PyObject *o, PyObject *process) noexcept {
    return guard(Where("tarnu.resources.PreemptiveResource.preemption"), [&] {
        Resource *self = res(o);
        ready(self->env, o);
        if (!PyDict_Check(self->preemptions)) return none().release();
        PyObject *info = PyDict_GetItemWithError(self->preemptions, process);
        if (!info && error_pending()) raise();
        return borrow(info ? info : Py_None).release();
    });
}

PyObject *resource_get_capacity(PyObject *o, void *) noexcept { return PyLong_FromLongLong(res(o)->capacity); }
PyObject *resource_get_count(PyObject *o, void *) noexcept { return PyLong_FromSsize_t(size(res(o)->users)); }

PyObject *resource_get_users(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Resource.users.__get__"), [&] {
        Resource *self = res(o);
        Ref t = check(PyTuple_New(size(self->users)));
        for (Py_ssize_t i = 0; i < size(self->users); ++i) {
            PyTuple_SET_ITEM(t.get(), i, borrow(at(self->users, i).process).release());
        }
        return t.release();
    });
}

PyObject *resource_get_queue(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Resource.queue.__get__"), [&] { return queue_tuple(res(o)->queue); });
}

// A larger capacity serves waiters at once; a smaller one takes nothing
// away from the users, it only grants no more until they are fewer.
int resource_set_capacity(PyObject *o, PyObject *value, void *) noexcept {
    return guard_int(Where("tarnu.resources.Resource.capacity.__set__"), [&] {
        if (!value) raise(PyExc_TypeError, "can't delete attribute");
        Resource *self = res(o);
        ready(self->env, o);
        self->capacity = check_resource_capacity(value);
        resource_dispatch(self);
        return 0;
    });
}

PyObject *resource_reduce(PyObject *o, PyObject *) noexcept;
PyObject *resource_setstate(PyObject *o, PyObject *state) noexcept;

#define ACQUIRE_DOC(sig, extra)                                                                             \
    sig "\n\n"                                                                                              \
        "Asks for a slot for `process`; use as ``granted = yield from res.acquire(self)``.\n"              \
        "Evaluates to True once the slot is granted (at once when one is free), or to False when\n"        \
        "the `deadline` (an absolute time in seconds; a time in the past means now) passed\n"              \
        "first, or another process woke the waiter with activate(): it then leaves the queue." extra
#define REQUEST_DOC(sig)                                                                                    \
    sig "\n\n"                                                                                              \
        "As acquire(), returning a Request that is also a context manager: leaving the\n"                 \
        "with block gives the slot back, or withdraws the request if it still waits. In a\n"              \
        "process: ``with res.request(self) as req:``, then ``if (yield from req):`` inside.\n"

PyMethodDef resource_methods[] = {
    {"acquire", TARNU_FASTCALL(py_acquire), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("acquire($self, /, process, deadline=None)")
     ACQUIRE_DOC("acquire(process, deadline=None)", " Waiters are served first come first served.")},
    {"request", TARNU_FASTCALL(py_request), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("request($self, /, process, deadline=None)")
     REQUEST_DOC("request(process, deadline=None)")},
    {"release", py_release, METH_O,
     TARNU_SIGNATURE("release($self, process, /)")
     "release(process)\n\nGives back a slot that `process` holds (the earliest granted) and hands it to the\n"
     "first waiter. RuntimeError when it holds none."},
    {"__reduce_cython__", resource_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", resource_setstate, METH_O,
     TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef priority_resource_methods[] = {
    {"acquire", TARNU_FASTCALL(py_priority_acquire), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("acquire($self, /, process, priority=0, deadline=None)")
     ACQUIRE_DOC("acquire(process, priority=0, deadline=None)",
                 " Waiters are served by priority, lower first, and first come first served within one.")},
    {"request", TARNU_FASTCALL(py_priority_request), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("request($self, /, process, priority=0, deadline=None)")
     REQUEST_DOC("request(process, priority=0, deadline=None)")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef preemptive_resource_methods[] = {
    {"acquire", TARNU_FASTCALL(py_preemptive_acquire), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("acquire($self, /, process, priority=0, deadline=None, preempt=True)")
     ACQUIRE_DOC("acquire(process, priority=0, deadline=None, preempt=True)",
                 "\nWhen no slot is free and `preempt` is true, a request of a higher priority (lower\n"
                 "number) than the lowest-priority user takes that user's slot: the user (the latest\n"
                 "granted among equals) is woken at once with reason PREEMPTED (which replaces the\n"
                 "reason of a wake-up already due then), and preemption() tells it by whom and since\n"
                 "when it held the slot. A waiter preempted before it resumed from its grant finds\n"
                 "that acquire evaluated to False.")},
    {"request", TARNU_FASTCALL(py_preemptive_request), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("request($self, /, process, priority=0, deadline=None, preempt=True)")
     REQUEST_DOC("request(process, priority=0, deadline=None, preempt=True)")},
    {"preemption", py_preemption, METH_O,
     TARNU_SIGNATURE("preemption($self, process, /)")
     "preemption(process)\n\nThe last preemption of `process` by this resource, a Preempted(by, usage_since,\n"
     "resource), or None; forgotten when the process acquires again."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef resource_members[] = {
    TARNU_MEMBER(Resource, env, "The environment the resource belongs to."),
    TARNU_MEMBER(Resource, queue_monitor, "Level: the number of waiting processes."),
    TARNU_MEMBER(Resource, count_monitor, "Level: the number of slots in use."),
    TARNU_MEMBER(Resource, wait_monitor, "Tally: how long each grant waited, in seconds."),
    TARNU_MEMBERS_END,
};

PyGetSetDef resource_getset[] = {
    {"capacity", resource_get_capacity, resource_set_capacity,
     "The number of slots. A larger capacity grants waiters at once; a smaller one takes no slot away.",
     nullptr},
    {"count", resource_get_count, nullptr, "The number of slots in use.", nullptr},
    {"users", resource_get_users, nullptr, "The processes holding a slot, in the order of their grants.", nullptr},
    {"queue", resource_get_queue, nullptr, "The waiting processes, first to be served first (a tuple).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_resource_type(const char *name, const char *doc, PyMethodDef *methods, PyGetSetDef *getset,
                                PyMemberDef *members) noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = sizeof(Resource);
    t.tp_dealloc = resource_dealloc;
    t.tp_repr = resource_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc;
    t.tp_traverse = resource_traverse;
    t.tp_clear = resource_clear;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_members = members;
    t.tp_init = resource_init;
    t.tp_new = resource_new;
    return t;
}

PyTypeObject g_resource_type = make_resource_type(
    "tarnu.resources.Resource",
    TARNU_SIGNATURE("Resource(env, capacity=1)")
    "Resource(env, capacity=1)\n"
    "    Slots that processes hold one at a time, such as the counters of a bank.\n\n"
    "    A process asks with ``yield from res.acquire(self)`` (True once granted) and gives the\n"
    "    slot back with ``res.release(self)``; waiters are served first come first served.\n",
    resource_methods, resource_getset, resource_members);

PyTypeObject g_priority_resource_type = make_resource_type(
    "tarnu.resources.PriorityResource",
    TARNU_SIGNATURE("PriorityResource(env, capacity=1)")
    "PriorityResource(env, capacity=1)\n"
    "    A Resource whose waiters are served by priority, lower first, and first come first\n"
    "    served within a priority.\n",
    priority_resource_methods, nullptr, nullptr);

PyTypeObject g_preemptive_resource_type = make_resource_type(
    "tarnu.resources.PreemptiveResource",
    TARNU_SIGNATURE("PreemptiveResource(env, capacity=1)")
    "PreemptiveResource(env, capacity=1)\n"
    "    A PriorityResource where a request of a higher priority takes the slot of the\n"
    "    lowest-priority user, who is woken at once with reason PREEMPTED.\n",
    preemptive_resource_methods, nullptr, nullptr);

// --- containers: Python ----------------------------------------------------------------------

PyObject *container_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Container *self = cont(o);
    self->vtab = &g_container_vtable;
    self->env = reinterpret_cast<Environment *>(borrow(Py_None).release());
    return o;
}

int container_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int(Where("tarnu.resources.Container.__init__"), [&] {
        static const Params params("__init__", {"env", "capacity", "init"}, 1);
        PyObject *v[3] = {};
        params.parse(args, kwargs, v);
        check_arg_type(v[0], g_env_type, "env", false);
        Container *self = cont(o);
        if (!is_none(self->env)) raise(PyExc_RuntimeError, "a Container's __init__ runs once");
        double capacity = v[1] ? check_capacity(v[1], "Container") : std::numeric_limits<double>::infinity();
        double init = v[2] ? to_double(v[2]) : 0.0;
        if (!(init >= 0.0 && init <= capacity)) {
            raise_format(PyExc_ValueError, "init must lie between 0 and the capacity, got %R", v[2]);
        }
        Ref level = new_monitor(kLevel, v[0], "level", init);
        Ref put_queue = new_monitor(kLevel, v[0], "put queue length", 0.0);
        Ref get_queue = new_monitor(kLevel, v[0], "get queue length", 0.0);
        Ref put_waits = new_monitor(kTally, v[0], "put wait", 0.0);
        Ref get_waits = new_monitor(kTally, v[0], "get wait", 0.0);
        self->capacity = capacity;
        self->level = init;
        assign_field(self->env, v[0]);
        self->level_monitor = mon(level.release());
        self->put_queue_monitor = mon(put_queue.release());
        self->get_queue_monitor = mon(get_queue.release());
        self->put_wait_monitor = mon(put_waits.release());
        self->get_wait_monitor = mon(get_waits.release());
        return 0;
    });
}

void container_drop(Container *self) noexcept {
    queue_clear(self->put_queue);
    queue_clear(self->get_queue);
    Py_CLEAR(self->level_monitor);
    Py_CLEAR(self->put_queue_monitor);
    Py_CLEAR(self->get_queue_monitor);
    Py_CLEAR(self->put_wait_monitor);
    Py_CLEAR(self->get_wait_monitor);
}

int container_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Container *self = cont(o);
    Py_VISIT(obj(self->env));
    if (int status = queue_traverse(self->put_queue, visit, arg)) return status;
    if (int status = queue_traverse(self->get_queue, visit, arg)) return status;
    int status = 0;
    Monitor *ms[] = {self->level_monitor, self->put_queue_monitor, self->get_queue_monitor, self->put_wait_monitor,
                     self->get_wait_monitor};
    visit_monitors(ms, 5, visit, arg, status);
    return status;
}

int container_clear(PyObject *o) noexcept {
    assign_field(cont(o)->env, Py_None);
    container_drop(cont(o));
    return 0;
}

void container_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    Py_CLEAR(cont(o)->env);
    container_drop(cont(o));
    Py_TYPE(o)->tp_free(o);
}

PyObject *container_repr(PyObject *o) noexcept {
    return guard(Where("tarnu.resources.Container.__repr__"), [&] {
        Container *self = cont(o);
        Ref level = py_float(self->level), capacity = py_float(self->capacity);
        return check(PyUnicode_FromFormat("<%s level=%R capacity=%R>", Py_TYPE(o)->tp_name, level.get(),
                                          capacity.get()))
            .release();
    });
}

PyObject *container_entry(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, int32_t op) {
    static const Params put_params("put", {"process", "amount", "deadline"}, 2);
    static const Params get_params("get", {"process", "amount", "deadline"}, 2);
    PyObject *v[3] = {};
    (op == kPut ? put_params : get_params).parse(args, nargs, kwnames, v);
    Container *self = cont(o);
    Environment *env = ready(self->env, o);
    Process *p = check_process(v[0], env, o);
    double amount = check_amount(self, v[1]);
    int64_t deadline = deadline_tick(v[2], self->env->time_i64);
    return container_op(self, p, amount, deadline, op);
}

PyObject *py_container_put(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Container.put"),
                 [&] { return container_entry(o, args, nargs, kwnames, kPut); });
}
PyObject *py_container_get(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Container.get"),
                 [&] { return container_entry(o, args, nargs, kwnames, kGet); });
}

PyObject *container_get_capacity(PyObject *o, void *) noexcept { return PyFloat_FromDouble(cont(o)->capacity); }
PyObject *container_get_level(PyObject *o, void *) noexcept { return PyFloat_FromDouble(cont(o)->level); }
PyObject *container_get_put_queue(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Container.put_queue.__get__"), [&] { return queue_tuple(cont(o)->put_queue); });
}
PyObject *container_get_get_queue(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Container.get_queue.__get__"), [&] { return queue_tuple(cont(o)->get_queue); });
}

PyObject *container_reduce(PyObject *o, PyObject *) noexcept;
PyObject *container_setstate(PyObject *o, PyObject *state) noexcept;

PyMethodDef container_methods[] = {
    {"put", TARNU_FASTCALL(py_container_put), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("put($self, /, process, amount, deadline=None)")
     "put(process, amount, deadline=None)\n\n"
     "Adds `amount`; use as ``done = yield from tank.put(self, amount)``. Evaluates to True once\n"
     "the amount fits (at once when it does and nobody waits to put before it), or False when\n"
     "the `deadline` passed first. Waiting putters are served first come first served."},
    {"get", TARNU_FASTCALL(py_container_get), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("get($self, /, process, amount, deadline=None)")
     "get(process, amount, deadline=None)\n\n"
     "Takes `amount`; use as ``done = yield from tank.get(self, amount)``. Evaluates to True once\n"
     "the level covers it, or False when the `deadline` passed first."},
    {"__reduce_cython__", container_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", container_setstate, METH_O,
     TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef container_members[] = {
    TARNU_MEMBER(Container, env, "The environment the container belongs to."),
    TARNU_MEMBER(Container, level_monitor, "Level: the level over time."),
    TARNU_MEMBER(Container, put_queue_monitor, "Level: the number waiting to put."),
    TARNU_MEMBER(Container, get_queue_monitor, "Level: the number waiting to get."),
    TARNU_MEMBER(Container, put_wait_monitor, "Tally: how long each put waited."),
    TARNU_MEMBER(Container, get_wait_monitor, "Tally: how long each get waited."),
    TARNU_MEMBERS_END,
};

PyGetSetDef container_getset[] = {
    {"capacity", container_get_capacity, nullptr, "The most it holds.", nullptr},
    {"level", container_get_level, nullptr, "What it holds now.", nullptr},
    {"put_queue", container_get_put_queue, nullptr, "The processes waiting to put, first served first.", nullptr},
    {"get_queue", container_get_get_queue, nullptr, "The processes waiting to get, first served first.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject g_container_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.resources.Container";
    t.tp_basicsize = sizeof(Container);
    t.tp_dealloc = container_dealloc;
    t.tp_repr = container_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        TARNU_SIGNATURE("Container(env, capacity=1e309, init=0)")
        "Container(env, capacity=inf, init=0)\n"
        "    An amount of something continuous or countable, such as fuel in a tank: processes\n"
        "    put and get amounts, waiting while it is too full or too empty.\n";
    t.tp_traverse = container_traverse;
    t.tp_clear = container_clear;
    t.tp_methods = container_methods;
    t.tp_getset = container_getset;
    t.tp_members = container_members;
    t.tp_init = container_init;
    t.tp_new = container_new;
    return t;
}();

// --- stores: Python --------------------------------------------------------------------------

PyObject *store_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    Store *self = store(o);
    self->vtab = &g_store_vtable;
    self->env = reinterpret_cast<Environment *>(borrow(Py_None).release());
    self->kind = PyType_IsSubtype(type, &g_filter_store_type)     ? kFilter
                 : PyType_IsSubtype(type, &g_priority_store_type) ? kPriority
                                                                  : kPlain;
    return o;
}

void drop_items(Array<PyObject *> &items) noexcept;

// The items a store starts with, in the order they are given (a
// PriorityStore sorts them as its puts would).
void fill(Store *self, PyObject *init) {
    Ref items = check(PySequence_List(init));
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (static_cast<double>(n) > self->capacity) {
        raise_format(PyExc_ValueError, "init holds %zd items, more than the capacity %R", n,
                     py_float(self->capacity).get());
    }
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref item = borrow(PyList_GET_ITEM(items.get(), i));
            Py_ssize_t position = insert_position(self, item.get());
            if (!reserve(self->items, 1)) raise();
            store_item(self, position, item.get());
        }
    } catch (const Error &) {
        drop_items(self->items);
        throw;
    }
}

int store_init(PyObject *o, PyObject *args, PyObject *kwargs) noexcept {
    return guard_int(Where("tarnu.resources.Store.__init__"), [&] {
        static const Params params("__init__", {"env", "capacity", "init"}, 1);
        PyObject *v[3] = {};
        params.parse(args, kwargs, v);
        check_arg_type(v[0], g_env_type, "env", false);
        Store *self = store(o);
        if (!is_none(self->env)) raise(PyExc_RuntimeError, "a Store's __init__ runs once");
        check_not_busy(self, "__init__");
        self->capacity = v[1] ? check_capacity(v[1], "Store") : std::numeric_limits<double>::infinity();
        if (v[2]) fill(self, v[2]);
        Ref items = new_monitor(kLevel, v[0], "size", static_cast<double>(size(self->items)));
        Ref put_queue = new_monitor(kLevel, v[0], "put queue length", 0.0);
        Ref get_queue = new_monitor(kLevel, v[0], "get queue length", 0.0);
        Ref put_waits = new_monitor(kTally, v[0], "put wait", 0.0);
        Ref get_waits = new_monitor(kTally, v[0], "get wait", 0.0);
        assign_field(self->env, v[0]);
        self->size_monitor = mon(items.release());
        self->put_queue_monitor = mon(put_queue.release());
        self->get_queue_monitor = mon(get_queue.release());
        self->put_wait_monitor = mon(put_waits.release());
        self->get_wait_monitor = mon(get_waits.release());
        return 0;
    });
}

void drop_items(Array<PyObject *> &items) noexcept {
    Array<PyObject *> gone = items;
    items = Array<PyObject *>{};
    for (Py_ssize_t i = gone.head; i < gone.end; ++i) Ref item = steal(gone.data[i]);
    free_array(gone);
}

void store_drop(Store *self) noexcept {
    queue_clear(self->put_queue);
    queue_clear(self->get_queue);
    drop_items(self->items);
    Py_CLEAR(self->size_monitor);
    Py_CLEAR(self->put_queue_monitor);
    Py_CLEAR(self->get_queue_monitor);
    Py_CLEAR(self->put_wait_monitor);
    Py_CLEAR(self->get_wait_monitor);
}

int store_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Store *self = store(o);
    Py_VISIT(obj(self->env));
    for (Py_ssize_t i = self->items.head; i < self->items.end; ++i) Py_VISIT(self->items.data[i]);
    if (int status = queue_traverse(self->put_queue, visit, arg)) return status;
    if (int status = queue_traverse(self->get_queue, visit, arg)) return status;
    int status = 0;
    Monitor *ms[] = {self->size_monitor, self->put_queue_monitor, self->get_queue_monitor, self->put_wait_monitor,
                     self->get_wait_monitor};
    visit_monitors(ms, 5, visit, arg, status);
    return status;
}

int store_clear(PyObject *o) noexcept {
    assign_field(store(o)->env, Py_None);
    store_drop(store(o));
    return 0;
}

void store_dealloc(PyObject *o) noexcept {
    PyObject_GC_UnTrack(o);
    Py_CLEAR(store(o)->env);
    store_drop(store(o));
    Py_TYPE(o)->tp_free(o);
}

PyObject *store_repr(PyObject *o) noexcept {
    return guard(Where("tarnu.resources.Store.__repr__"), [&] {
        Store *self = store(o);
        Ref capacity = py_float(self->capacity);
        return check(PyUnicode_FromFormat("<%s size=%zd capacity=%R>", Py_TYPE(o)->tp_name, size(self->items),
                                          capacity.get()))
            .release();
    });
}

Py_ssize_t store_length(PyObject *o) noexcept { return size(store(o)->items); }

PyObject *py_store_put(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Store.put"), [&] {
        static const Params params("put", {"process", "item", "deadline"}, 2);
        PyObject *v[3] = {};
        params.parse(args, nargs, kwnames, v);
        Store *self = store(o);
        Environment *env = ready(self->env, o);
        check_not_busy(self, "put");
        Process *p = check_process(v[0], env, o);
        return store_put_impl(self, p, v[1], deadline_tick(v[2], self->env->time_i64));
    });
}

PyObject *store_get_entry(PyObject *o, PyObject *process, PyObject *filter, PyObject *deadline) {
    Store *self = store(o);
    Environment *env = ready(self->env, o);
    check_not_busy(self, "get");
    Process *p = check_process(process, env, o);
    if (filter && filter != Py_None && !PyCallable_Check(filter)) {
        raise_format(PyExc_TypeError, "filter must be callable, not %.200s", Py_TYPE(filter)->tp_name);
    }
    return store_get_impl(self, p, filter, deadline_tick(deadline, self->env->time_i64));
}

PyObject *py_store_get(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.Store.get"), [&] {
        static const Params params("get", {"process", "deadline"}, 1);
        PyObject *v[2] = {};
        params.parse(args, nargs, kwnames, v);
        return store_get_entry(o, v[0], nullptr, v[1]);
    });
}

PyObject *py_filter_store_get(PyObject *o, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guard(Where("tarnu.resources.FilterStore.get"), [&] {
        static const Params params("get", {"process", "filter", "deadline"}, 1);
        PyObject *v[3] = {};
        params.parse(args, nargs, kwnames, v);
        return store_get_entry(o, v[0], v[1], v[2]);
    });
}

PyObject *store_get_capacity(PyObject *o, void *) noexcept { return PyFloat_FromDouble(store(o)->capacity); }
PyObject *store_get_size(PyObject *o, void *) noexcept { return PyLong_FromSsize_t(size(store(o)->items)); }
PyObject *store_get_items(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Store.items.__get__"), [&] {
        Store *self = store(o);
        Ref t = check(PyTuple_New(size(self->items)));
        for (Py_ssize_t i = 0; i < size(self->items); ++i) {
            PyTuple_SET_ITEM(t.get(), i, borrow(at(self->items, i)).release());
        }
        return t.release();
    });
}
PyObject *store_get_put_queue(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Store.put_queue.__get__"), [&] { return queue_tuple(store(o)->put_queue); });
}
PyObject *store_get_get_queue(PyObject *o, void *) noexcept {
    return guard(Where("tarnu.resources.Store.get_queue.__get__"), [&] { return queue_tuple(store(o)->get_queue); });
}

PyObject *store_reduce(PyObject *o, PyObject *) noexcept;
PyObject *store_setstate(PyObject *o, PyObject *state) noexcept;

#define STORE_PUT_DOC(order)                                                                                 \
    TARNU_SIGNATURE("put($self, /, process, item, deadline=None)")                                        \
    "put(process, item, deadline=None)\n\n"                                                                \
    "Stores `item`; use as ``done = yield from store.put(self, item)``. Evaluates to True once\n"          \
    "there is room (at once when there is and nobody waits to put before it), or False when\n"             \
    "the `deadline` passed first." order

PyMethodDef store_methods[] = {
    {"put", TARNU_FASTCALL(py_store_put), METH_FASTCALL | METH_KEYWORDS, STORE_PUT_DOC("")},
    {"get", TARNU_FASTCALL(py_store_get), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("get($self, /, process, deadline=None)")
     "get(process, deadline=None)\n\n"
     "Takes the first item; use as ``item = yield from store.get(self)``. Evaluates to the item\n"
     "once there is one, or to TIMED_OUT when the `deadline` passed first."},
    {"__reduce_cython__", store_reduce, METH_NOARGS, TARNU_SIGNATURE("__reduce_cython__($self, /)")},
    {"__setstate_cython__", store_setstate, METH_O,
     TARNU_SIGNATURE("__setstate_cython__($self, __pyx_state, /)")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef filter_store_methods[] = {
    {"get", TARNU_FASTCALL(py_filter_store_get), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("get($self, /, process, filter=None, deadline=None)")
     "get(process, filter=None, deadline=None)\n\n"
     "Takes the first item that `filter(item)` accepts (any item when filter is None); use as\n"
     "``item = yield from store.get(self, wanted)``. Evaluates to the item, or to TIMED_OUT when\n"
     "the `deadline` passed first. Waiting getters try the items in the order they came, so\n"
     "one whose filter accepts nothing does not hold up those behind it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef priority_store_methods[] = {
    {"put", TARNU_FASTCALL(py_store_put), METH_FASTCALL | METH_KEYWORDS,
     STORE_PUT_DOC(" Items are kept in order (compared with <), smallest first,\n"
                   "and first come first served among equals.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef store_members[] = {
    TARNU_MEMBER(Store, env, "The environment the store belongs to."),
    TARNU_MEMBER(Store, size_monitor, "Level: the number of items over time."),
    TARNU_MEMBER(Store, put_queue_monitor, "Level: the number waiting to put."),
    TARNU_MEMBER(Store, get_queue_monitor, "Level: the number waiting to get."),
    TARNU_MEMBER(Store, put_wait_monitor, "Tally: how long each put waited."),
    TARNU_MEMBER(Store, get_wait_monitor, "Tally: how long each get waited."),
    TARNU_MEMBERS_END,
};

PyGetSetDef store_getset[] = {
    {"capacity", store_get_capacity, nullptr, "The most items it holds.", nullptr},
    {"size", store_get_size, nullptr, "The number of items it holds, as len(store).", nullptr},
    {"items", store_get_items, nullptr, "The items, in the order they are got (a tuple).", nullptr},
    {"put_queue", store_get_put_queue, nullptr, "The processes waiting to put, first served first.", nullptr},
    {"get_queue", store_get_get_queue, nullptr, "The processes waiting to get, in the order they came.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods store_sequence = [] {
    PySequenceMethods s{};
    s.sq_length = store_length;
    return s;
}();

PyTypeObject make_store_type(const char *name, const char *doc, PyMethodDef *methods, PyGetSetDef *getset,
                             PyMemberDef *members) noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = sizeof(Store);
    t.tp_dealloc = store_dealloc;
    t.tp_repr = store_repr;
    t.tp_as_sequence = &store_sequence;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc;
    t.tp_traverse = store_traverse;
    t.tp_clear = store_clear;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_members = members;
    t.tp_init = store_init;
    t.tp_new = store_new;
    return t;
}

PyTypeObject g_store_type = make_store_type(
    "tarnu.resources.Store",
    TARNU_SIGNATURE("Store(env, capacity=1e309, init=())")
    "Store(env, capacity=inf, init=())\n"
    "    Items that processes put and get, first in first out, such as parts in a buffer:\n"
    "    a put waits while the store is full, a get while it is empty. It starts with the\n"
    "    items of `init`.\n",
    store_methods, store_getset, store_members);

PyTypeObject g_filter_store_type = make_store_type(
    "tarnu.resources.FilterStore",
    TARNU_SIGNATURE("FilterStore(env, capacity=1e309, init=())")
    "FilterStore(env, capacity=inf, init=())\n"
    "    A Store whose getters ask for the first item that a filter accepts.\n",
    filter_store_methods, nullptr, nullptr);

PyTypeObject g_priority_store_type = make_store_type(
    "tarnu.resources.PriorityStore",
    TARNU_SIGNATURE("PriorityStore(env, capacity=1e309, init=())")
    "PriorityStore(env, capacity=inf, init=())\n"
    "    A Store that hands out its smallest item first (compared with <), first come first\n"
    "    served among equals.\n",
    priority_store_methods, nullptr, nullptr);

// --- pickling --------------------------------------------------------------------------------
// Each record pickles its fields as a state tuple in name order, on the
// package's shared mechanism. A block with waiting processes refuses: their
// requests are suspended inside running generators.

// Samples travel as bytes, little-endian (tick, value) pairs.
inline uint64_t little_endian(uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
    return v;
}

Ref samples_to_bytes(const Array<Sample> &a) {
    Py_ssize_t n = a.end - a.head;
    Ref b = check(PyBytes_FromStringAndSize(nullptr, n * 16));
    char *p = PyBytes_AS_STRING(b.get());
    for (Py_ssize_t i = a.head; i < a.end; ++i, p += 16) {
        uint64_t t = little_endian(static_cast<uint64_t>(a.data[i].tick)), v;
        std::memcpy(&v, &a.data[i].value, 8);
        v = little_endian(v);
        std::memcpy(p, &t, 8);
        std::memcpy(p + 8, &v, 8);
    }
    return b;
}

Array<Sample> samples_from_bytes(PyObject *o) {
    if (!PyBytes_Check(o)) raise_format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes", Py_TYPE(o)->tp_name);
    Py_ssize_t len = PyBytes_GET_SIZE(o);
    if (len % 16) raise(PyExc_ValueError, "the pickled samples are not whole (tick, value) pairs");
    Array<Sample> a{};
    if (!reserve(a, len / 16)) raise();
    const char *p = PyBytes_AS_STRING(o);
    for (Py_ssize_t i = 0; i < len / 16; ++i, p += 16) {
        uint64_t t, v;
        std::memcpy(&t, p, 8);
        std::memcpy(&v, p + 8, 8);
        v = little_endian(v);
        Sample s;
        s.tick = static_cast<int64_t>(little_endian(t));
        std::memcpy(&s.value, &v, 8);
        if (i > 0 && s.tick < a.data[i - 1].tick) {
            free_array(a);
            raise(PyExc_ValueError, "the pickled samples are not in time order");
        }
        push_back(a, s);
    }
    return a;
}

void check_env_item(PyObject *env) { check_convertible(env, g_env_type); }

// A monitor field of a block: None, or a monitor of the expected kind.
void check_monitor_item(PyObject *o, int32_t kind) {
    PyTypeObject *tp = kind == kLevel ? &g_level_type : &g_tally_type;
    if (o != Py_None && !PyObject_TypeCheck(o, tp)) check_convertible(o, tp);
}

void assign_monitor(Monitor *&field, PyObject *o) noexcept {
    Ref old = steal(obj(field));
    field = o == Py_None ? nullptr : mon(borrow(o).release());
}

PyObject *monitor_obj(Monitor *m) noexcept { return m ? obj(m) : Py_None; }

void require_monitors(PyObject *env, std::initializer_list<PyObject *> monitors, PyObject *self) {
    if (env == Py_None) return;
    for (PyObject *m : monitors) {
        if (m == Py_None) {
            raise_format(PyExc_ValueError, "the pickled state of a %.200s with an environment lacks a monitor",
                         Py_TYPE(self)->tp_name);
        }
    }
}

void monitor_set_state(PyObject *self, PyObject *state);
void resource_set_state(PyObject *self, PyObject *state);
void container_set_state(PyObject *self, PyObject *state);
void store_set_state(PyObject *self, PyObject *state);

const PickleLayout kTallyPickle = {"__pyx_unpickle_Tally", &g_tally_type, 0x906c9e1,
                                   "0x906c9e1 = (enabled, env, name, samples, start, value)", 6, monitor_set_state};
const PickleLayout kLevelPickle = {"__pyx_unpickle_Level", &g_level_type, 0x906c9e1,
                                   "0x906c9e1 = (enabled, env, name, samples, start, value)", 6, monitor_set_state};
const PickleLayout kResourcePickle = {
    "__pyx_unpickle_Resource", &g_resource_type, 0x839af7,
    "0x839af7 = (capacity, count_monitor, env, preemptions, queue_monitor, seq, users, wait_monitor)", 8,
    resource_set_state};
const PickleLayout kContainerPickle = {
    "__pyx_unpickle_Container", &g_container_type, 0xe37f455,
    "0xe37f455 = (capacity, env, get_queue_monitor, get_wait_monitor, level, level_monitor, put_queue_monitor, "
    "put_wait_monitor, seq)",
    9, container_set_state};
const PickleLayout kStorePickle = {
    "__pyx_unpickle_Store", &g_store_type, 0x927d1cd,
    "0x927d1cd = (capacity, env, get_queue_monitor, get_wait_monitor, items, put_queue_monitor, put_wait_monitor, "
    "seq, size_monitor)",
    9, store_set_state};

PyObject *monitor_reduce(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Monitor.__reduce_cython__"), [&] {
        Monitor *m = mon(o);
        Ref enabled = py_bool(m->enabled), samples = samples_to_bytes(m->samples);
        Ref start = py_int(m->start), value = py_float(m->value);
        Ref fields = check(
            PyTuple_Pack(6, enabled.get(), obj(m->env), m->name, samples.get(), start.get(), value.get()));
        return reduce_instance(m->kind == kLevel ? kLevelPickle : kTallyPickle, o, g_globals, std::move(fields), true);
    });
}

void monitor_set_state(PyObject *self, PyObject *state) {
    Monitor *m = mon(self);
    const PickleLayout &layout = m->kind == kLevel ? kLevelPickle : kTallyPickle;
    check_state(layout, state);
    int enabled = check(PyObject_IsTrue(PyTuple_GET_ITEM(state, 0)));
    PyObject *env = PyTuple_GET_ITEM(state, 1);
    check_env_item(env);
    PyObject *name = PyTuple_GET_ITEM(state, 2);
    check_name(name);
    int64_t start = to_int64(PyTuple_GET_ITEM(state, 4));
    double value = to_double(PyTuple_GET_ITEM(state, 5));
    Array<Sample> samples = samples_from_bytes(PyTuple_GET_ITEM(state, 3));
    Array<Sample> old = m->samples;
    m->samples = samples;
    free_array(old);
    m->enabled = enabled;
    m->start = start;
    m->value = value;
    assign_field(m->env, env);
    assign_field(m->name, name);
    merge_state_dict(layout, self, state);
}

PyObject *monitor_setstate(PyObject *o, PyObject *state) noexcept {
    return guard(Where("tarnu.resources.Monitor.__setstate_cython__"), [&] {
        return set_state_entry(mon(o)->kind == kLevel ? kLevelPickle : kTallyPickle, o, state);
    });
}

void refuse_waiters(PyObject *self, std::initializer_list<const WaitQueue *> queues, bool restoring) {
    for (const WaitQueue *q : queues) {
        if (!queue_empty(*q)) {
            raise_format(restoring ? PyExc_RuntimeError : PyExc_TypeError,
                         restoring ? "cannot restore the state of a %.200s with processes waiting in its queue"
                                   : "cannot pickle a %.200s with processes waiting in its queue",
                         Py_TYPE(self)->tp_name);
        }
    }
}

PyObject *resource_reduce(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Resource.__reduce_cython__"), [&] {
        Resource *self = res(o);
        refuse_waiters(o, {&self->queue}, false);
        Ref users = check(PyTuple_New(size(self->users)));
        for (Py_ssize_t i = 0; i < size(self->users); ++i) {
            const User &u = at(self->users, i);
            Ref since = py_int(u.since), priority = py_float(u.priority), seq = py_int(static_cast<long long>(u.seq));
            PyTuple_SET_ITEM(users.get(), i,
                             check(PyTuple_Pack(4, u.process, since.get(), priority.get(), seq.get())).release());
        }
        Ref capacity = py_int(self->capacity), seq = py_int(static_cast<long long>(self->seq));
        Ref fields = check(PyTuple_Pack(8, capacity.get(), monitor_obj(self->count_monitor), obj(self->env),
                                        self->preemptions, monitor_obj(self->queue_monitor), seq.get(), users.get(),
                                        monitor_obj(self->wait_monitor)));
        return reduce_instance(kResourcePickle, o, g_globals, std::move(fields), true);
    });
}

void resource_set_state(PyObject *o, PyObject *state) {
    Resource *self = res(o);
    check_state(kResourcePickle, state);
    refuse_waiters(o, {&self->queue}, true);
    int64_t capacity = check_resource_capacity(PyTuple_GET_ITEM(state, 0));
    PyObject *count_monitor = PyTuple_GET_ITEM(state, 1), *env = PyTuple_GET_ITEM(state, 2);
    PyObject *preemptions = PyTuple_GET_ITEM(state, 3), *queue_monitor = PyTuple_GET_ITEM(state, 4);
    PyObject *users = PyTuple_GET_ITEM(state, 6), *wait_monitor = PyTuple_GET_ITEM(state, 7);
    auto seq = static_cast<uint64_t>(to_int64(PyTuple_GET_ITEM(state, 5)));
    check_monitor_item(count_monitor, kLevel);
    check_env_item(env);
    check_exact(preemptions, &PyDict_Type, "dict", true);
    check_monitor_item(queue_monitor, kLevel);
    check_exact(users, &PyTuple_Type, "tuple", false);
    check_monitor_item(wait_monitor, kTally);
    require_monitors(env, {count_monitor, queue_monitor, wait_monitor}, o);
    Ref dict = self->kind == kPreemptive && preemptions == Py_None ? check(PyDict_New()) : borrow(preemptions);
    // The users are converted in full before anything changes.
    std::vector<User> made;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(users); ++i) {
        PyObject *u = PyTuple_GET_ITEM(users, i);
        if (!PyTuple_Check(u) || PyTuple_GET_SIZE(u) != 4) raise(PyExc_ValueError, "a pickled user is a 4-tuple");
        if (!g_is_process(PyTuple_GET_ITEM(u, 0), g_process_type)) {
            check_convertible(PyTuple_GET_ITEM(u, 0), g_process_type);
            raise(PyExc_TypeError, "a resource's user must be a Process");
        }
        made.push_back(User{PyTuple_GET_ITEM(u, 0), to_int64(PyTuple_GET_ITEM(u, 1)), to_double(PyTuple_GET_ITEM(u, 2)),
                            static_cast<uint64_t>(to_int64(PyTuple_GET_ITEM(u, 3)))});
    }
    Array<User> fresh{};
    if (!reserve(fresh, static_cast<Py_ssize_t>(made.size()))) raise();
    for (User &u : made) {
        u.process = borrow(u.process).release();
        push_back(fresh, u);
    }
    Array<User> old = self->users;
    self->users = fresh;
    self->capacity = capacity;
    self->seq = seq;
    assign_monitor(self->count_monitor, count_monitor);
    assign_monitor(self->queue_monitor, queue_monitor);
    assign_monitor(self->wait_monitor, wait_monitor);
    assign_field(self->preemptions, dict.get());
    assign_field(self->env, env);
    for (Py_ssize_t i = old.head; i < old.end; ++i) Ref gone = steal(old.data[i].process);
    free_array(old);
    merge_state_dict(kResourcePickle, o, state);
}

PyObject *resource_setstate(PyObject *o, PyObject *state) noexcept {
    return guard(Where("tarnu.resources.Resource.__setstate_cython__"),
                 [&] { return set_state_entry(kResourcePickle, o, state); });
}

PyObject *container_reduce(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Container.__reduce_cython__"), [&] {
        Container *self = cont(o);
        refuse_waiters(o, {&self->put_queue, &self->get_queue}, false);
        Ref capacity = py_float(self->capacity), level = py_float(self->level);
        Ref seq = py_int(static_cast<long long>(self->seq));
        Ref fields = check(PyTuple_Pack(9, capacity.get(), obj(self->env), monitor_obj(self->get_queue_monitor),
                                        monitor_obj(self->get_wait_monitor), level.get(),
                                        monitor_obj(self->level_monitor), monitor_obj(self->put_queue_monitor),
                                        monitor_obj(self->put_wait_monitor), seq.get()));
        return reduce_instance(kContainerPickle, o, g_globals, std::move(fields), true);
    });
}

void container_set_state(PyObject *o, PyObject *state) {
    Container *self = cont(o);
    check_state(kContainerPickle, state);
    refuse_waiters(o, {&self->put_queue, &self->get_queue}, true);
    double capacity = check_capacity(PyTuple_GET_ITEM(state, 0), "Container");
    PyObject *env = PyTuple_GET_ITEM(state, 1);
    PyObject *ms[] = {PyTuple_GET_ITEM(state, 2), PyTuple_GET_ITEM(state, 3), PyTuple_GET_ITEM(state, 5),
                      PyTuple_GET_ITEM(state, 6), PyTuple_GET_ITEM(state, 7)};
    double level = to_double(PyTuple_GET_ITEM(state, 4));
    auto seq = static_cast<uint64_t>(to_int64(PyTuple_GET_ITEM(state, 8)));
    check_env_item(env);
    const int32_t kinds[] = {kLevel, kTally, kLevel, kLevel, kTally};
    for (int i = 0; i < 5; ++i) check_monitor_item(ms[i], kinds[i]);
    require_monitors(env, {ms[0], ms[1], ms[2], ms[3], ms[4]}, o);
    if (!(level >= 0.0 && level <= capacity)) raise(PyExc_ValueError, "the pickled level is outside the capacity");
    self->capacity = capacity;
    self->level = level;
    self->seq = seq;
    assign_monitor(self->get_queue_monitor, ms[0]);
    assign_monitor(self->get_wait_monitor, ms[1]);
    assign_monitor(self->level_monitor, ms[2]);
    assign_monitor(self->put_queue_monitor, ms[3]);
    assign_monitor(self->put_wait_monitor, ms[4]);
    assign_field(self->env, env);
    merge_state_dict(kContainerPickle, o, state);
}

PyObject *container_setstate(PyObject *o, PyObject *state) noexcept {
    return guard(Where("tarnu.resources.Container.__setstate_cython__"),
                 [&] { return set_state_entry(kContainerPickle, o, state); });
}

PyObject *store_reduce(PyObject *o, PyObject *) noexcept {
    return guard(Where("tarnu.resources.Store.__reduce_cython__"), [&] {
        Store *self = store(o);
        refuse_waiters(o, {&self->put_queue, &self->get_queue}, false);
        Ref items = check(store_get_items(o, nullptr));
        Ref capacity = py_float(self->capacity), seq = py_int(static_cast<long long>(self->seq));
        Ref fields = check(PyTuple_Pack(9, capacity.get(), obj(self->env), monitor_obj(self->get_queue_monitor),
                                        monitor_obj(self->get_wait_monitor), items.get(),
                                        monitor_obj(self->put_queue_monitor), monitor_obj(self->put_wait_monitor),
                                        seq.get(), monitor_obj(self->size_monitor)));
        return reduce_instance(kStorePickle, o, g_globals, std::move(fields), true);
    });
}

void store_set_state(PyObject *o, PyObject *state) {
    Store *self = store(o);
    check_state(kStorePickle, state);
    check_not_busy(self, "__setstate__");
    refuse_waiters(o, {&self->put_queue, &self->get_queue}, true);
    double capacity = check_capacity(PyTuple_GET_ITEM(state, 0), "Store");
    PyObject *env = PyTuple_GET_ITEM(state, 1), *items = PyTuple_GET_ITEM(state, 4);
    PyObject *ms[] = {PyTuple_GET_ITEM(state, 2), PyTuple_GET_ITEM(state, 3), PyTuple_GET_ITEM(state, 5),
                      PyTuple_GET_ITEM(state, 6), PyTuple_GET_ITEM(state, 8)};
    auto seq = static_cast<uint64_t>(to_int64(PyTuple_GET_ITEM(state, 7)));
    check_env_item(env);
    check_exact(items, &PyTuple_Type, "tuple", false);
    const int32_t kinds[] = {kLevel, kTally, kLevel, kTally, kLevel};
    for (int i = 0; i < 5; ++i) check_monitor_item(ms[i], kinds[i]);
    require_monitors(env, {ms[0], ms[1], ms[2], ms[3], ms[4]}, o);
    Array<PyObject *> fresh{};
    if (!reserve(fresh, PyTuple_GET_SIZE(items))) raise();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
        push_back(fresh, borrow(PyTuple_GET_ITEM(items, i)).release());
    }
    Array<PyObject *> old = self->items;
    self->items = fresh;
    self->capacity = capacity;
    self->seq = seq;
    assign_monitor(self->get_queue_monitor, ms[0]);
    assign_monitor(self->get_wait_monitor, ms[1]);
    assign_monitor(self->put_queue_monitor, ms[2]);
    assign_monitor(self->put_wait_monitor, ms[3]);
    assign_monitor(self->size_monitor, ms[4]);
    assign_field(self->env, env);
    drop_items(old);
    merge_state_dict(kStorePickle, o, state);
}

PyObject *store_setstate(PyObject *o, PyObject *state) noexcept {
    return guard(Where("tarnu.resources.Store.__setstate_cython__"),
                 [&] { return set_state_entry(kStorePickle, o, state); });
}

#define UNPICKLE(fn, layout, qualname)                                                              \
    PyObject *fn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept { \
        return guard(Where(qualname), [&] { return unpickle(layout, args, nargs, kwnames); });      \
    }
UNPICKLE(py_unpickle_tally, kTallyPickle, "tarnu.resources.__pyx_unpickle_Tally")
UNPICKLE(py_unpickle_level, kLevelPickle, "tarnu.resources.__pyx_unpickle_Level")
UNPICKLE(py_unpickle_resource, kResourcePickle, "tarnu.resources.__pyx_unpickle_Resource")
UNPICKLE(py_unpickle_container, kContainerPickle, "tarnu.resources.__pyx_unpickle_Container")
UNPICKLE(py_unpickle_store, kStorePickle, "tarnu.resources.__pyx_unpickle_Store")
#undef UNPICKLE

// --- module ----------------------------------------------------------------------------------

PyStructSequence_Field g_preempted_fields[] = {
    {"by", "the process whose request took the slot"},
    {"usage_since", "when the preempted process was granted the slot, in seconds"},
    {"resource", "the PreemptiveResource"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_preempted_desc = {
    "tarnu.resources.Preempted",
    "Preempted(by, usage_since, resource): why a user of a PreemptiveResource lost its slot.",
    g_preempted_fields,
    3,
};

void ready_type(PyObject *module, PyTypeObject *type, const char *name, const void *vtable) {
    check(PyType_Ready(type));
    if (vtable) publish_vtable(type, vtable);
    if (name) set_attr(module, name, obj(type));
}

void exec_module(PyObject *module) {
    g_globals = PyModule_GetDict(module);
    check_builtin_types();
    g_process_type = import_type(process::kModule, "Process", sizeof(Process), g_process_vtab);
    g_env_type = import_type(sim::kModule, "Environment", sizeof(Environment), g_env_vtab);
    g_event_type = import_type(event::kModule, "Event", sizeof(event::Event));
    import_variable(g_TIME_FOREVER, "tarnu.define", "_TIME_FOREVER", "double");
    import_variable(g_TIME_REACHED, "tarnu.define", "_TIME_REACHED", "int");
    import_variable(g_LOCK_RELEASED, "tarnu.define", "_LOCK_RELEASED", "int");
    import_function(g_d2l, timeconv::kModule, "d2l", timeconv::kD2LSignature);
    import_function(g_l2d, timeconv::kModule, "l2d", timeconv::kL2DSignature);

    ready_type(module, &g_request_type, "Request", nullptr);
    ready_type(module, &g_timed_out_type, nullptr, nullptr);
    ready_type(module, &g_tally_type, "Tally", &g_monitor_vtable);
    ready_type(module, &g_level_type, "Level", &g_monitor_vtable);
    g_priority_resource_type.tp_base = &g_resource_type;
    g_preemptive_resource_type.tp_base = &g_priority_resource_type;
    ready_type(module, &g_resource_type, "Resource", &g_resource_vtable);
    ready_type(module, &g_priority_resource_type, "PriorityResource", &g_resource_vtable);
    ready_type(module, &g_preemptive_resource_type, "PreemptiveResource", &g_resource_vtable);
    ready_type(module, &g_container_type, "Container", &g_container_vtable);
    g_filter_store_type.tp_base = &g_store_type;
    g_priority_store_type.tp_base = &g_store_type;
    ready_type(module, &g_store_type, "Store", &g_store_vtable);
    ready_type(module, &g_filter_store_type, "FilterStore", &g_store_vtable);
    ready_type(module, &g_priority_store_type, "PriorityStore", &g_store_vtable);
    for (PyTypeObject *t : {&g_tally_type, &g_level_type, &g_resource_type, &g_container_type, &g_store_type}) {
        setup_reduce(t);
    }

    // A request is a generator as `yield from` and type checkers see it.
    Ref abc = import_module("collections.abc");
    Ref generator = check(PyObject_GetAttrString(abc.get(), "Generator"));
    check(PyObject_CallMethod(generator.get(), "register", "O", obj(&g_request_type)));

    if (!g_preempted_type) g_preempted_type = PyStructSequence_NewType(&g_preempted_desc);
    if (!g_preempted_type) raise();
    set_attr(module, "Preempted", obj(g_preempted_type));

    if (!g_granted) {
        Request *r = PyObject_GC_New(Request, &g_request_type);
        if (!r) raise();
        r->block = nullptr;
        r->process = borrow(Py_None).release();
        r->item = borrow(Py_None).release();
        r->filter = borrow(Py_None).release();
        r->error = nullptr;
        r->priority = r->amount = 0.0;
        r->seq = 0;
        r->since = 0;
        r->deadline = kNoDeadline;
        r->slot = -1;
        r->op = kAcquire;
        r->family = kResourceFamily;
        r->state = kGranted;
        r->yielded = r->announced = r->context = false;
        r->delivered = true;
        r->preempt = true;
        g_granted = obj(r);
    }
    if (!g_timed_out) g_timed_out = check(g_timed_out_type.tp_alloc(&g_timed_out_type, 0)).release();
    set_attr(module, "TIMED_OUT", g_timed_out);
    set_attr(module, "PREEMPTED", py_int(g_preempted).get());
    export_capi(module, "_PREEMPTED", &g_preempted, kPreemptedSignature);
}

PyMethodDef module_methods[] = {
    {"__pyx_unpickle_Tally", TARNU_FASTCALL(py_unpickle_tally), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Tally(__pyx_type, __pyx_checksum, __pyx_state)")},
    {"__pyx_unpickle_Level", TARNU_FASTCALL(py_unpickle_level), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Level(__pyx_type, __pyx_checksum, __pyx_state)")},
    {"__pyx_unpickle_Resource", TARNU_FASTCALL(py_unpickle_resource), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Resource(__pyx_type, __pyx_checksum, __pyx_state)")},
    {"__pyx_unpickle_Container", TARNU_FASTCALL(py_unpickle_container), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Container(__pyx_type, __pyx_checksum, __pyx_state)")},
    {"__pyx_unpickle_Store", TARNU_FASTCALL(py_unpickle_store), METH_FASTCALL | METH_KEYWORDS,
     TARNU_SIGNATURE("__pyx_unpickle_Store(__pyx_type, __pyx_checksum, __pyx_state)")},
    {nullptr, nullptr, 0, nullptr},
};

ModuleDef module_def("resources", kModule, module_methods, exec_module);

}  // namespace
}  // namespace tarnu::resources

PyMODINIT_FUNC PyInit_resources(void) { return tarnu::resources::module_def.init(); }
