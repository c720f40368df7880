// Interface of tarnu.sim: the Environment record in field order (tarnu.process
// reads ev_heap, time_i64 and started directly) and its native method table.
#pragma once
#include <Python.h>

#include <cstdint>

#include "event.hpp"
#include "minqueue.hpp"

namespace tarnu::process {
struct Process;
}

namespace tarnu::sim {

struct Environment;

// Optional-argument record of run_until.
struct RunUntilOptional {
    int32_t n;
    int32_t after_reason;
};

// run_until, join and next_event_time report an ordinary failure as
// unraisable and return 0.0; an interrupt (an exception that is not an
// Exception, such as KeyboardInterrupt) is left set for the caller, who
// tests the error indicator.
struct EnvironmentVTable {
    void (*add)(Environment *self, process::Process *process, int skip_dispatch);  // reports
    void (*schedule)(Environment *self, event::Event *event, double time, int32_t reason);
    void (*start)(Environment *self, int skip_dispatch);  // error left set for the caller
    void (*finish)(Environment *self, int skip_dispatch);  // reports
    double (*run_until)(Environment *self, double ex_time, int skip_dispatch,
                        const RunUntilOptional *optional);  // reports, 0.0; or interrupt set
    double (*join)(Environment *self, int skip_dispatch);  // reports, 0.0; or interrupt set
    double (*next_event_time)(Environment *self, int skip_dispatch);  // reports, 0.0; or interrupt set
    PyObject *(*next_event)(Environment *self, int skip_dispatch);  // Event or None; null on error
};

struct Environment {
    PyObject_HEAD
    const EnvironmentVTable *vtab;
    minqueue::Heap *ev_heap;  // owned; MinPairingHeap or None
    int64_t time_i64;         // the clock in ticks
    PyObject *processes;      // owned; list or None
    int32_t started;
    double stop_time;
};

inline constexpr const char *kModule = "tarnu.sim";

}  // namespace tarnu::sim
