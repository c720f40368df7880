// tarnu.timeconv: seconds <-> ticks, and comparisons that are exact on ticks.
#include "timeconv.hpp"

#include <functional>

#include "runtime/args.hpp"
#include "runtime/capi.hpp"
#include "runtime/compat.hpp"
#include "runtime/module.hpp"

namespace tarnu::timeconv {
namespace {

using namespace runtime;

// Ticks per second. Stays 0.0 until the module's execute step has published
// the native functions, then 1000.0 for good.
double g_time_scale = 0.0;

PyObject *g_globals = nullptr;  // the module's dict (uncounted: the module lives for ever)

// Profiler support: one code object per reported name, made once.
struct Reported {
    const char *name;      // the name the profiler sees
    const char *qualname;  // the name of unraisable reports and traceback entries
    PyCodeObject *code = nullptr;

    PyCodeObject *code_object() noexcept {
        if (!code) code = PyCode_NewEmpty(source_path(__FILE__), name, __LINE__);
        return code;
    }
};

Reported r_d2l{"d2l", "tarnu.timeconv.d2l"}, r_l2d{"l2d", "tarnu.timeconv.l2d"},
    r_eq{"time_eq", "tarnu.timeconv.time_eq"}, r_le{"time_le", "tarnu.timeconv.time_le"},
    r_lt{"time_lt", "tarnu.timeconv.time_lt"}, r_ge{"time_ge", "tarnu.timeconv.time_ge"},
    r_gt{"time_gt", "tarnu.timeconv.time_gt"};
Reported w_d2l{"d2l (wrapper)", "tarnu.timeconv.d2l"}, w_l2d{"l2d (wrapper)", "tarnu.timeconv.l2d"},
    w_eq{"time_eq (wrapper)", "tarnu.timeconv.time_eq"}, w_le{"time_le (wrapper)", "tarnu.timeconv.time_le"},
    w_lt{"time_lt (wrapper)", "tarnu.timeconv.time_lt"}, w_ge{"time_ge (wrapper)", "tarnu.timeconv.time_ge"},
    w_gt{"time_gt (wrapper)", "tarnu.timeconv.time_gt"};

// Runs a native body between a profiler call and return event. When the
// profile function fails on the call event, the failure is reported as
// unraisable and the function's zero result is returned without computing.
// `call` is declared after `pending`, so its frame is gone before the
// pending exception is restored.
template <class T, class F>
T profiled_native(Reported &r, F &&body) noexcept {
    // A caller may get here with an exception pending: the profile function
    // must not see it, and it must survive the report.
    SavedError pending;
    compat::ProfiledCall call;
    PyCodeObject *code = r.code_object();
    if (!code || !call.call(code, g_globals)) {
        report_unraisable(r.qualname);
        return T{};
    }
    T result = body();
    // A failure on the return event is reported the same way; the result
    // stands.
    if (!call.ret(Py_None)) report_unraisable(r.qualname);
    return result;
}

// --- the native functions ---------------------------------------------------

int64_t d2l_body(double seconds) noexcept { return ticks_of(seconds, g_time_scale); }

int64_t d2l(double seconds, int) noexcept {
    if (compat::profiler_active()) return profiled_native<int64_t>(r_d2l, [&] { return d2l_body(seconds); });
    return d2l_body(seconds);
}

double l2d(int64_t ticks, int) noexcept {
    if (compat::profiler_active())
        return profiled_native<double>(r_l2d, [&] { return seconds_of(ticks, g_time_scale); });
    return seconds_of(ticks, g_time_scale);
}

template <class Op>
int compare(Reported &r, double a, double b) noexcept {
    if (compat::profiler_active()) {
        return profiled_native<int>(r, [&] {
            // a, then b: the profiler sees the conversions in that order (the
            // operands of a call are evaluated in no fixed order).
            int64_t ta = d2l(a, 0);
            int64_t tb = d2l(b, 0);
            return Op{}(ta, tb) ? 1 : 0;
        });
    }
    return Op{}(d2l_body(a), d2l_body(b)) ? 1 : 0;
}

int time_eq(double a, double b, int) noexcept { return compare<std::equal_to<int64_t>>(r_eq, a, b); }
int time_le(double a, double b, int) noexcept { return compare<std::less_equal<int64_t>>(r_le, a, b); }
int time_lt(double a, double b, int) noexcept { return compare<std::less<int64_t>>(r_lt, a, b); }
int time_ge(double a, double b, int) noexcept { return compare<std::greater_equal<int64_t>>(r_ge, a, b); }
int time_gt(double a, double b, int) noexcept { return compare<std::greater<int64_t>>(r_gt, a, b); }

// --- the Python functions ---------------------------------------------------

// Runs `body` (which returns a new Python object) between the " (wrapper)"
// profiler events; a failing profile function makes the call raise.
template <class F>
Ref profiled_wrapper(Reported &w, F &&body) {
    if (!compat::profiler_active()) return body();
    compat::ProfiledCall call;
    PyCodeObject *code = w.code_object();
    if (!code || !call.call(code, g_globals)) raise();
    Ref result;
    try {
        result = body();
    } catch (const Error &) {
        call.ret(nullptr);  // a failed call still returns, with None
        throw;
    }
    if (!call.ret(result.get())) raise();
    return result;
}

PyObject *py_d2l(PyObject *, PyObject *arg) noexcept {
    return guard(r_d2l.qualname, [&] {
        double seconds = to_double(arg);
        return profiled_wrapper(w_d2l, [&] { return py_int(d2l(seconds, 0)); }).release();
    });
}

PyObject *py_l2d(PyObject *, PyObject *arg) noexcept {
    return guard(r_l2d.qualname, [&] {
        int64_t ticks = to_int64(arg);
        return profiled_wrapper(w_l2d, [&] { return py_float(l2d(ticks, 0)); }).release();
    });
}

template <Compare &Fn>
PyObject *py_compare(Reported &r, Reported &w, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    return guard(r.qualname, [&] {
        static const Params params(r.name, {"a", "b"}, 2);
        PyObject *v[2];
        params.parse(args, nargs, kwnames, v);
        double a = to_double(v[0]);
        double b = to_double(v[1]);
        return profiled_wrapper(w, [&] { return py_bool(Fn(a, b, 0)); }).release();
    });
}

PyObject *py_time_eq(PyObject *, PyObject *const *a, Py_ssize_t n, PyObject *k) noexcept {
    return py_compare<time_eq>(r_eq, w_eq, a, n, k);
}
PyObject *py_time_le(PyObject *, PyObject *const *a, Py_ssize_t n, PyObject *k) noexcept {
    return py_compare<time_le>(r_le, w_le, a, n, k);
}
PyObject *py_time_lt(PyObject *, PyObject *const *a, Py_ssize_t n, PyObject *k) noexcept {
    return py_compare<time_lt>(r_lt, w_lt, a, n, k);
}
PyObject *py_time_ge(PyObject *, PyObject *const *a, Py_ssize_t n, PyObject *k) noexcept {
    return py_compare<time_ge>(r_ge, w_ge, a, n, k);
}
PyObject *py_time_gt(PyObject *, PyObject *const *a, Py_ssize_t n, PyObject *k) noexcept {
    return py_compare<time_gt>(r_gt, w_gt, a, n, k);
}

#define TARNU_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
PyMethodDef methods[] = {
    {"d2l", py_d2l, METH_O, TARNU_SIGNATURE("d2l(x, /)")},
    {"l2d", py_l2d, METH_O, TARNU_SIGNATURE("l2d(x, /)")},
    {"time_eq", TARNU_TUPLE_ENTRY(py_time_eq), METH_VARARGS | METH_KEYWORDS, TARNU_SIGNATURE("time_eq(a, b)")},
    {"time_le", TARNU_TUPLE_ENTRY(py_time_le), METH_VARARGS | METH_KEYWORDS, TARNU_SIGNATURE("time_le(a, b)")},
    {"time_lt", TARNU_TUPLE_ENTRY(py_time_lt), METH_VARARGS | METH_KEYWORDS, TARNU_SIGNATURE("time_lt(a, b)")},
    {"time_ge", TARNU_TUPLE_ENTRY(py_time_ge), METH_VARARGS | METH_KEYWORDS, TARNU_SIGNATURE("time_ge(a, b)")},
    {"time_gt", TARNU_TUPLE_ENTRY(py_time_gt), METH_VARARGS | METH_KEYWORDS, TARNU_SIGNATURE("time_gt(a, b)")},
    {nullptr, nullptr, 0, nullptr},
};

Reported r_module{"<module>", "init tarnu.timeconv"};

// Step 4 of the execute step, then the module-level code: the native
// functions are published before the scale is set.
void publish(PyObject *module) {
    export_capi(module, "d2l", reinterpret_cast<void *>(&d2l), kD2LSignature);
    export_capi(module, "l2d", reinterpret_cast<void *>(&l2d), kL2DSignature);
    export_capi(module, "time_eq", reinterpret_cast<void *>(&time_eq), kCompareSignature);
    export_capi(module, "time_le", reinterpret_cast<void *>(&time_le), kCompareSignature);
    export_capi(module, "time_lt", reinterpret_cast<void *>(&time_lt), kCompareSignature);
    export_capi(module, "time_ge", reinterpret_cast<void *>(&time_ge), kCompareSignature);
    export_capi(module, "time_gt", reinterpret_cast<void *>(&time_gt), kCompareSignature);
    g_time_scale = 1000.0;
}

void exec_module(PyObject *module) {
    g_globals = PyModule_GetDict(module);
    // The whole execute step is one profiler call.
    compat::ProfiledCall call;
    if (compat::profiler_active()) {
        PyCodeObject *code = r_module.code_object();
        if (!code || !call.call(code, g_globals)) raise();
    }
    try {
        publish(module);
    } catch (const Error &) {
        call.ret(nullptr);
        throw;
    }
    if (!call.ret(Py_None)) raise();
}

ModuleDef module_def("timeconv", "tarnu.timeconv", methods, exec_module);

}  // namespace
}  // namespace tarnu::timeconv

PyMODINIT_FUNC PyInit_timeconv(void) { return tarnu::timeconv::module_def.init(); }
