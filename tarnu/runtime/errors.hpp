// How native code says "a Python exception is set", and the two ways an
// operation ends with one: propagated with a traceback entry, or reported as
// unraisable.
#pragma once
#include <Python.h>

#include <exception>
#include <new>
#include <source_location>

#include "ref.hpp"

namespace tarnu::runtime {

// Thrown only while the interpreter's error indicator is set.
struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise_format(PyObject *type, const char *format, ...);

// The C API's two error conventions, turned into `Error`.
inline Ref check(PyObject *result) {
    if (!result) raise();
    return steal(result);
}
inline int check(int status) {
    if (status < 0) raise();
    return status;
}
// For conversions whose failure value is also a valid result.
inline bool error_pending() noexcept { return PyErr_Occurred() != nullptr; }

// Whether the pending exception asks the program to stop rather than
// reporting a failure: anything that is not an Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit, other BaseException subclasses). An operation
// whose callers can take an exception passes such an exception on instead
// of reporting it as unraisable (see guard_policy).
inline bool interrupt_pending() noexcept {
    PyObject *type = PyErr_Occurred();
    return type && !PyErr_GivenExceptionMatches(type, PyExc_Exception);
}

// Where a traceback entry points: the qualified name of the operation and the
// source line that raised. On a hot path, a `static constexpr Where` costs
// nothing until it is used.
struct Where {
    const char *qualname;
    std::source_location loc;
    constexpr Where(const char *q, std::source_location l = std::source_location::current()) noexcept
        : qualname(q), loc(l) {}
};

// A source file's path relative to the project ("tarnu/sim.cpp"), as
// traceback entries and profiler events name it.
const char *source_path(const char *file) noexcept;

// Append a traceback entry named `where.qualname` to the pending exception.
void add_traceback(const Where &where) noexcept;

// Print the pending exception with its traceback, hand it to the
// interpreter's unraisable hook with `qualname` (a str) as the object, and
// clear it.
void report_unraisable(const char *qualname) noexcept;

// Turn a stray C++ exception into a pending Python exception.
void set_from_cpp_exception() noexcept;

// Run `body`; on failure add the traceback entry and return the C API's
// failure value (NULL or -1).
template <class F>
inline PyObject *guard(const Where &where, F &&body) noexcept {
    try {
        return body();
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    add_traceback(where);
    return nullptr;
}
template <class F>
inline int guard_int(const Where &where, F &&body) noexcept {
    try {
        return body();
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    add_traceback(where);
    return -1;
}
// Run `body`; on failure add the traceback entry, then ask `propagates()`:
// true leaves the exception set for the caller, who tests the error
// indicator; false reports it as unraisable. Returns false when it failed.
template <class P, class F>
inline bool guard_policy(const Where &where, P &&propagates, F &&body) noexcept {
    try {
        body();
        return true;
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    add_traceback(where);
    if (!propagates()) report_unraisable(where.qualname);
    return false;
}
// Run `body`; on failure add the traceback entry and report it as
// unraisable. Returns false when it failed.
template <class F>
inline bool guard_report(const Where &where, F &&body) noexcept {
    return guard_policy(where, [] { return false; }, body);
}

// Saves the pending exception (if any) and restores it on scope exit, so that
// clean-up code cannot clobber it.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

}  // namespace tarnu::runtime
