// Interface of tarnu.event: the Event record, a heap node carrying an
// activation time in ticks, the process to resume and the wake-up reason,
// and the schedule stamp that orders the events of one tick.
#pragma once
#include <Python.h>

#include <cstdint>

#include "minqueue.hpp"

namespace tarnu::event {

// Event's native method table: the node's seven slots, key_lt replaced by a
// comparison of (time_i64, seq), and meld and merge_pairs by the node's
// algorithms with that comparison inlined; then the schedule counter.
struct EventVTable {
    minqueue::NodeVTable base;
    // Events of one tick run first-in first-out: every time an event gets a
    // new time (made, re-keyed by a step, brought forward by activate,
    // scheduled), it takes the next number of this one counter, shared by
    // every event of the interpreter. 64 bits do not wrap.
    uint64_t *schedule_seq;
};

struct Event {
    minqueue::Node base;
    int64_t time_i64;   // activation time in ticks
    PyObject *process;  // the Process to resume (owned)
    int32_t reason;     // wake-up reason
    uint64_t seq;       // schedule stamp: among events of one tick, the smaller runs first
};

// Gives `e` a new time and reason, behind every event already scheduled.
inline void schedule(Event *e, uint64_t *counter, int64_t ticks, int32_t reason) noexcept {
    e->time_i64 = ticks;
    e->reason = reason;
    e->seq = (*counter)++;
}

// The order of events: by time, then by schedule stamp.
inline bool earlier(const Event *a, const Event *b) noexcept {
    return a->time_i64 < b->time_i64 || (a->time_i64 == b->time_i64 && a->seq < b->seq);
}

inline constexpr const char *kModule = "tarnu.event";

}  // namespace tarnu::event
