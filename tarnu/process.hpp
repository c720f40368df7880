// Interface of tarnu.process: the Process record in field order and its
// native method table in slot order (tarnu.sim calls start, finish and
// run_step through it).
#pragma once
#include <Python.h>

#include <cstdint>

#include "event.hpp"
#include "minqueue.hpp"

namespace tarnu::sim {
struct Environment;
}

namespace tarnu::process {

struct Process;

struct ProcessVTable {
    PyObject *(*wait)(Process *self, int skip_dispatch);     // `_wait`: tuple or None; null on error
    PyObject *(*process)(Process *self, int skip_dispatch);  // `_process`; null on error
    void (*activate)(Process *self, double time, int32_t reason, int skip_dispatch);  // reports
    void (*start)(Process *self, int skip_dispatch);  // error left set for the caller
    void (*finish)(Process *self, int skip_dispatch);  // reports
    void (*setup_env)(Process *self, sim::Environment *env, int skip_dispatch);  // reports
    void (*run_step)(Process *self);  // error left set for the caller
};

struct Process {
    PyObject_HEAD
    const ProcessVTable *vtab;
    sim::Environment *env;     // owned; Environment or None
    PyObject *process;         // owned; the generator, or None
    PyObject *id;              // owned; carried through pickling only
    int32_t is_waiting;        // `_is_waiting`
    event::Event *event;       // owned; Event or None
    minqueue::Heap *ev_heap;   // owned; MinPairingHeap or None
};

inline constexpr const char *kModule = "tarnu.process";

}  // namespace tarnu::process
