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
inline constexpr const char *kD2LSignature = "int64_t (double, int __pyx_skip_dispatch)";
inline constexpr const char *kL2DSignature = "double (int64_t, int __pyx_skip_dispatch)";
inline constexpr const char *kCompareSignature = "int (double, double, int __pyx_skip_dispatch)";

}  // namespace tarnu::timeconv
