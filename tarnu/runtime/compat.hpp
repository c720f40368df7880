// Every use of interpreter internals lives here: thread-state fields read for
// profiling, frame creation for traceback entries and profiler events, and the
// version tags that the dispatch memo keys on. A later CPython needs this file
// changed, not the modules.
#pragma once
#include <Python.h>
#include <frameobject.h>
#include <longintrepr.h>

#include <cstdint>

namespace tarnu::runtime::compat {

// --- profiling ------------------------------------------------------------

// True when a profile function is installed on this thread and the thread is
// not already inside it.
inline bool profiler_active() noexcept {
    PyThreadState *ts = PyThreadState_GET();
    return ts->use_tracing && !ts->tracing && ts->c_profilefunc;
}

// One profiler call/return pair around a native function. `code` names the
// function. `call` returns false with the profile function's error pending.
class ProfiledCall {
public:
    bool call(PyCodeObject *code, PyObject *globals) noexcept;
    // Reports the return event with `result` (None when null) and unwinds the
    // frame. Returns false, with the profile function's error pending, when
    // it fails on a successful call; on a call that already failed, the
    // call's own exception is kept and the profile function's dropped.
    bool ret(PyObject *result) noexcept;
    ~ProfiledCall();

private:
    PyFrameObject *frame_ = nullptr;
    PyThreadState *ts_ = nullptr;
};

// --- frames and tracebacks -------------------------------------------------

// Adds a traceback entry (function name, file, line) to the pending error.
void push_traceback_entry(const char *funcname, const char *filename, int line) noexcept;

// --- version tags -----------------------------------------------------------

// The type's version tag, assigned if the type has none yet; 0 when the type
// cannot carry one (then nothing may be memoised for it). `interned_name` is
// any interned str: a method-cache lookup of it assigns the tag.
uint64_t type_version(PyTypeObject *tp, PyObject *interned_name) noexcept;
// The type's version tag if it has a valid one, else 0 (nothing assigned).
inline uint64_t valid_type_version(PyTypeObject *tp) noexcept {
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}
// The dictionary's version tag (unique across all dictionaries and changes).
inline uint64_t dict_version(PyObject *dict) noexcept {
    return dict ? reinterpret_cast<PyDictObject *>(dict)->ma_version_tag : 0;
}
// The instance dictionary of `obj`, borrowed, or null.
inline PyObject *instance_dict(PyObject *obj) noexcept {
    PyObject **ptr = _PyObject_GetDictPtr(obj);
    return ptr ? *ptr : nullptr;
}

// --- generators ---------------------------------------------------------------

// Resumes an exact Python generator with `value` without a method call. A
// new reference, or null with an exception set (StopIteration when it ended).
inline PyObject *gen_send(PyObject *gen, PyObject *value) noexcept {
    return _PyGen_Send(reinterpret_cast<PyGenObject *>(gen), value);
}
// Takes the value out of a pending StopIteration (None without one) and
// clears it; -1 with another exception left pending.
inline int fetch_stop_iteration_value(PyObject **value) noexcept {
    return _PyGen_FetchStopIterationValue(value);
}

// A native iterator's resumption that may end with a value: 1 when it
// yields `*result`, 0 when it returns `*result` (what `yield from`
// evaluates to), -1 with an exception set. `result` is a new reference.
using SendStep = int (*)(PyObject *self, PyObject *value, PyObject **result) noexcept;

#if PY_VERSION_HEX >= 0x030A0000
template <SendStep Step>
PySendResult send_slot(PyObject *self, PyObject *value, PyObject **result) noexcept {
    int status = Step(self, value, result);
    return status < 0 ? PYGEN_ERROR : status ? PYGEN_NEXT : PYGEN_RETURN;
}
#endif

// Gives a type the interpreter's send slot where it has one (3.10 and
// later), through which `yield from` takes a returned value directly,
// without a StopIteration; elsewhere the type's tp_iternext serves.
template <SendStep Step>
inline void install_send_slot([[maybe_unused]] PyAsyncMethods &slots) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    slots.am_send = send_slot<Step>;
#endif
}

// --- integers -------------------------------------------------------------------

// The value of an exact int of at most one digit (every reason in practice)
// without a call; false for anything else.
inline bool small_int_value(PyObject *o, long &value) noexcept {
    if (!PyLong_CheckExact(o)) return false;
    Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    value = static_cast<long>(size) * static_cast<long>(reinterpret_cast<PyLongObject *>(o)->ob_digit[0]);
    return true;
}

// --- interpreter identity ----------------------------------------------------

// The current interpreter's ID, or -1 with an error set.
inline int64_t interpreter_id() noexcept {
    return PyInterpreterState_GetID(PyThreadState_GET()->interp);
}

}  // namespace tarnu::runtime::compat
