// Native interface of tarnu.timeconv: conversion between seconds (double)
// and ticks (signed 64-bit thousandths of a second), and tick-exact
// comparison. Published in the module's __pyx_capi__ under these signature
// strings; the trailing int is a dispatch flag that callers pass as 0.
#pragma once
#include <cstdint>

#include "runtime/compat.hpp"

namespace tarnu::timeconv {

using D2L = int64_t(double seconds, int skip_dispatch);
using L2D = double(int64_t ticks, int skip_dispatch);
using Compare = int(double a, double b, int skip_dispatch);

inline constexpr const char *kModule = "tarnu.timeconv";

// Ticks per second, once tarnu.timeconv has finished its import.
inline constexpr double kTicksPerSecond = 1000.0;

// The conversions themselves. Seconds to ticks rounds halves away from zero;
// values outside the int64 range (NaN and the infinities included) give
// INT64_MIN. Beyond 2**52 every double is a whole number, so the range test
// can come before the rounding, and both the truncation and the fraction it
// leaves are exact for every double: no library call.
inline int64_t ticks_of(double seconds, double scale = kTicksPerSecond) noexcept {
    double x = scale * seconds;
    if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
    int64_t whole = static_cast<int64_t>(x);
    double fraction = x - static_cast<double>(whole);
    if (fraction >= 0.5) return whole + 1;
    if (fraction <= -0.5) return whole - 1;
    return whole;
}
inline double seconds_of(int64_t ticks, double scale = kTicksPerSecond) noexcept {
    return static_cast<double>(ticks) / scale;
}

// The native d2l and l2d report their calls to an active profiler. A hot
// path calls them only while a profiler is active on the thread and
// otherwise converts in place: the result is the same, and so is what a
// profiler sees.
inline int64_t d2l_hot(D2L *d2l, double seconds) noexcept {
    return runtime::compat::profiler_active() ? d2l(seconds, 0) : ticks_of(seconds);
}
inline double l2d_hot(L2D *l2d, int64_t ticks) noexcept {
    return runtime::compat::profiler_active() ? l2d(ticks, 0) : seconds_of(ticks);
}
inline constexpr const char *kD2LSignature = "int64_t (double, int __pyx_skip_dispatch)";
inline constexpr const char *kL2DSignature = "double (int64_t, int __pyx_skip_dispatch)";
inline constexpr const char *kCompareSignature = "int (double, double, int __pyx_skip_dispatch)";

}  // namespace tarnu::timeconv
