// How the event loop's hot paths convert times. The native d2l and l2d of
// tarnu.timeconv report their calls to an active profiler; a hot path calls
// them only while a profiler is active on the thread and otherwise converts
// in place: the result is the same, and so is what a profiler sees.
#pragma once
#include <cstdint>

#include "compat.hpp"
#include "timeconv.hpp"

namespace tarnu::runtime {

inline int64_t d2l_hot(timeconv::D2L *d2l, double seconds) noexcept {
    return compat::profiler_active() ? d2l(seconds, 0) : timeconv::ticks_of(seconds);
}
inline double l2d_hot(timeconv::L2D *l2d, int64_t ticks) noexcept {
    return compat::profiler_active() ? l2d(ticks, 0) : timeconv::seconds_of(ticks);
}

}  // namespace tarnu::runtime
