// Native interface of tarnu.timeconv: conversion between seconds (double)
// and ticks (signed 64-bit thousandths of a second), and tick-exact
// comparison. Published in the module's __pyx_capi__ under these signature
// strings; the trailing int is a dispatch flag that callers pass as 0.
#pragma once
#include <cstdint>

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

inline constexpr const char *kD2LSignature = "int64_t (double, int __pyx_skip_dispatch)";
inline constexpr const char *kL2DSignature = "double (int64_t, int __pyx_skip_dispatch)";
inline constexpr const char *kCompareSignature = "int (double, double, int __pyx_skip_dispatch)";

}  // namespace tarnu::timeconv
