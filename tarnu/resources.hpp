// Interface of tarnu.resources: the modelling blocks (resources, containers,
// stores) and the monitors (Tally, Level), their records in field order and
// their native method tables in slot order.
//
// The records are laid out with plain fields only, so that another extension
// can check their sizes at import as it does for the kernel's types. Their
// arrays and queues belong to tarnu.resources: other modules read them, and
// change a block only through its method table.
#pragma once
#include <Python.h>

#include <cstdint>

#include "process.hpp"
#include "sim.hpp"

namespace tarnu::resources {

// A waiting operation: the object that a contended acquire, put or get
// returns, which the process delegates to with `yield from`. Private to the
// module.
struct Request;

// A growable array in memory of the interpreter's allocator. Items leave the
// front in constant time by moving `head`.
template <class T>
struct Array {
    T *data;
    Py_ssize_t head;      // index of the first item
    Py_ssize_t end;       // one past the last item
    Py_ssize_t capacity;  // items the memory holds
};

// Waiting requests, a binary heap ordered by (priority, seq): lower priority
// first, first come first served within a priority. Each request knows its
// slot, so one that gives up leaves at once.
struct WaitQueue {
    Array<Request *> heap;  // owned references
    Py_ssize_t announced;   // requests counted by the queue's monitor
};

// --- monitors ---------------------------------------------------------------------

// One observation of a Tally, or one value of a Level from `tick` on.
struct Sample {
    int64_t tick;
    double value;
};

struct Monitor;

struct MonitorVTable {
    // Records `value` at the environment's current time: a Tally's
    // observation, or a Level's new value. Never fails: an out-of-memory is
    // reported as unraisable and the sample dropped.
    void (*record)(Monitor *self, double value);
};

// Tally and Level share the record; `kind` tells them apart.
struct Monitor {
    PyObject_HEAD
    const MonitorVTable *vtab;
    sim::Environment *env;  // owned; Environment or None
    PyObject *name;         // owned; str or None
    Array<Sample> samples;  // since `start`, in time order
    int64_t start;          // tick from which the statistics count
    double value;           // a Level's current value; a Tally's last observation
    int32_t kind;           // 0 Tally, 1 Level
    int32_t enabled;        // samples are kept
};

inline constexpr int32_t kTally = 0;
inline constexpr int32_t kLevel = 1;

// --- resources ----------------------------------------------------------------------

// A process holding a slot of a resource.
struct User {
    PyObject *process;  // owned
    int64_t since;      // tick of the grant
    double priority;
    uint64_t seq;       // the grant's number, also its request's
};

// The options of an acquisition; null means the defaults (priority 0, no
// deadline, preempt).
struct AcquireOptions {
    double priority;
    double deadline;       // seconds; a time in the past means now
    int32_t has_deadline;
    int32_t preempt;       // PreemptiveResource: may take a lower-priority user's slot
};

struct Resource;

// Native method table of Resource; PriorityResource and PreemptiveResource
// have the same table with their own entries.
struct ResourceVTable {
    // A new reference to the object to delegate to with `yield from`: it
    // evaluates to True at once when the slot is granted now, or waits and
    // evaluates to False when the deadline passed first. Null on error.
    PyObject *(*acquire)(Resource *self, process::Process *process, const AcquireOptions *options);
    // Frees a slot that `process` holds and hands it to the next waiter.
    // 0, or -1 with an exception set.
    int (*release)(Resource *self, process::Process *process);
};

inline constexpr int32_t kPlain = 0;
inline constexpr int32_t kPriority = 1;
inline constexpr int32_t kPreemptive = 2;

struct Resource {
    PyObject_HEAD
    const ResourceVTable *vtab;
    sim::Environment *env;    // owned; Environment or None
    int64_t capacity;
    Array<User> users;        // in the order of their grants
    WaitQueue queue;
    uint64_t seq;             // numbers requests and grants
    Monitor *queue_monitor;   // owned Level: processes waiting
    Monitor *count_monitor;   // owned Level: slots in use
    Monitor *wait_monitor;    // owned Tally: the wait of each grant, seconds
    PyObject *preemptions;    // owned dict: process -> Preempted, or None
    int32_t kind;             // kPlain, kPriority, kPreemptive
    int32_t reserved;
};

// --- containers ---------------------------------------------------------------------

struct Container;

struct ContainerVTable {
    // As Resource.acquire: a new reference that evaluates to True when the
    // amount was put or got, False when the deadline passed first. Null on
    // error. A null `deadline` means none.
    PyObject *(*put)(Container *self, process::Process *process, double amount, const double *deadline);
    PyObject *(*get)(Container *self, process::Process *process, double amount, const double *deadline);
};

struct Container {
    PyObject_HEAD
    const ContainerVTable *vtab;
    sim::Environment *env;  // owned; Environment or None
    double capacity;
    double level;
    WaitQueue put_queue;
    WaitQueue get_queue;
    uint64_t seq;
    Monitor *level_monitor;      // owned Level
    Monitor *put_queue_monitor;  // owned Level
    Monitor *get_queue_monitor;  // owned Level
    Monitor *put_wait_monitor;   // owned Tally
    Monitor *get_wait_monitor;   // owned Tally
};

// --- stores -------------------------------------------------------------------------

struct Store;

struct StoreVTable {
    // put: evaluates to True when the item was stored, False when the
    // deadline passed first. get: evaluates to the item, or to TIMED_OUT.
    // `filter` (FilterStore) is a callable or None. New references; null on
    // error. A null `deadline` means none.
    PyObject *(*put)(Store *self, process::Process *process, PyObject *item, const double *deadline);
    PyObject *(*get)(Store *self, process::Process *process, PyObject *filter, const double *deadline);
};

inline constexpr int32_t kFilter = 3;  // a Store's kind: kPlain, kPriority or kFilter

struct Store {
    PyObject_HEAD
    const StoreVTable *vtab;
    sim::Environment *env;  // owned; Environment or None
    double capacity;
    Array<PyObject *> items;  // owned references; a PriorityStore keeps them sorted
    WaitQueue put_queue;
    WaitQueue get_queue;
    uint64_t seq;
    Monitor *size_monitor;       // owned Level: items held
    Monitor *put_queue_monitor;  // owned Level
    Monitor *get_queue_monitor;  // owned Level
    Monitor *put_wait_monitor;   // owned Tally
    Monitor *get_wait_monitor;   // owned Tally
    int32_t kind;                // kPlain, kFilter, kPriority
    int32_t busy;                // a filter or an item comparison is running
};

inline constexpr const char *kModule = "tarnu.resources";
// `tarnu.resources.__pyx_capi__["_PREEMPTED"]`, an "int" variable: the
// reason a preempted user of a PreemptiveResource is woken with.
inline constexpr const char *kPreemptedSignature = "int";

}  // namespace tarnu::resources
