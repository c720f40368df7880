// Interface of tarnu.event: the Event record, a heap node carrying an
// activation time in ticks, the process to resume and the wake-up reason.
#pragma once
#include <Python.h>

#include <cstdint>

#include "minqueue.hpp"

namespace tarnu::event {

// Event's native method table: the node's seven slots, key_lt replaced by a
// comparison of time_i64, and meld and merge_pairs by the node's algorithms
// with that comparison inlined.
struct EventVTable {
    minqueue::NodeVTable base;
};

struct Event {
    minqueue::Node base;
    int64_t time_i64;   // activation time in ticks
    PyObject *process;  // the Process to resume (owned)
    int32_t reason;     // wake-up reason
};

inline constexpr const char *kModule = "tarnu.event";

}  // namespace tarnu::event
