// Interface of tarnu.sim: the Environment record in field order (tarnu.process
// reads ev_heap, time_i64 and started directly) and its native method table.
#pragma once
#include <Python.h>

#include <cstddef>
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
// Exception, such as KeyboardInterrupt), and any failure of an environment
// made with errors="raise", is left set for the caller, who tests the error
// indicator.
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

// What an exception that stops the event loop does: reported as unraisable
// (the loop returns 0.0), or raised to the caller.
enum ErrorPolicy : int32_t { kReportErrors = 0, kRaiseErrors = 1 };

struct Environment {
    PyObject_HEAD
    const EnvironmentVTable *vtab;
    minqueue::Heap *ev_heap;  // owned; MinPairingHeap or None
    int64_t time_i64;         // the clock in ticks
    PyObject *processes;      // owned; list or None
    int32_t started;
    // An ErrorPolicy. It fills the padding after `started`, so the record
    // keeps the size and offsets that other modules were built against.
    int32_t errors;
    double stop_time;
};

// stop_time sits where it would without `errors`: right after `started`,
// aligned.
static_assert(offsetof(Environment, stop_time) ==
                  (offsetof(Environment, started) + sizeof(int32_t) + alignof(double) - 1) / alignof(double) *
                      alignof(double),
              "the error policy must not move stop_time");

inline constexpr const char *kModule = "tarnu.sim";

}  // namespace tarnu::sim
