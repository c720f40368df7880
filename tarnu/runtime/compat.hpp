// Every use of interpreter internals lives here: thread-state fields read for
// profiling, frame creation for traceback entries and profiler events, code
// objects, the integer layout, the version tags that the dispatch memo keys
// on, and the declarations of the built-in types. Each version guard says
// what changed in which version. A later CPython needs this file changed,
// not the modules.
#pragma once
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030E0000
#error "tarnu supports CPython 3.9, 3.10, 3.11, 3.12 and 3.13"
#endif
#if PY_VERSION_HEX < 0x030A0000
#include <longintrepr.h>  // 3.10 included the integer layout in Python.h
#endif

#include <cstddef>
#include <cstdint>

namespace tarnu::runtime::compat {

// --- profiling ------------------------------------------------------------

// True when a profile function is installed on this thread and the thread is
// not already inside it.
inline bool profiler_active() noexcept {
    PyThreadState *ts = PyThreadState_GET();
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 dropped the use_tracing cache: the profile function is the test.
    return ts->c_profilefunc && !ts->tracing;
#elif PY_VERSION_HEX >= 0x030A0000
    // 3.10 moved use_tracing into the C frame record.
    return ts->cframe->use_tracing && !ts->tracing && ts->c_profilefunc;
#else
    return ts->use_tracing && !ts->tracing && ts->c_profilefunc;
#endif
}

// The thread state of the calling thread, for a loop that asks it more than
// once (each fetch is a call, and from 3.12 a thread-local lookup).
inline PyThreadState *thread_state() noexcept { return PyThreadState_GET(); }

// Whether an exception is set on `ts` (PyErr_Occurred without the fetch).
inline bool exception_set(const PyThreadState *ts) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 keeps the raised exception as one object.
    return ts->current_exception != nullptr;
#else
    return ts->curexc_type != nullptr;
#endif
}

// One profiler call/return pair around a native function. `code` names the
// function. `call` returns false with the profile function's error pending.
// The frame reported is the innermost frame while the call lasts, so that
// calls nested inside it report it as their caller.
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
    void unwind() noexcept;

    PyFrameObject *frame_ = nullptr;
    PyThreadState *ts_ = nullptr;
    PyFrameObject *outer_ = nullptr;  // uncounted: the innermost frame before this one
};

// --- frames, code objects and tracebacks -------------------------------------

// Adds a traceback entry (function name, file, line) to the pending error.
void push_traceback_entry(const char *funcname, const char *filename, int line) noexcept;

// A code object without a body whose `argc` positional parameters are named
// by the str tuple `varnames`, so that introspection reads a signature. New
// reference, or null with an error set.
PyObject *signature_code(PyObject *filename, PyObject *name, PyObject *varnames, int argc) noexcept;

// --- version tags -----------------------------------------------------------

// The type's version tag if it has a valid one, else 0 (nothing assigned).
inline uint64_t valid_type_version(PyTypeObject *tp) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 no longer maintains Py_TPFLAGS_VALID_VERSION_TAG: a tag of 0 means none.
    return tp->tp_version_tag;
#else
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}
// The type's version tag, assigned if the type has none yet; 0 when the type
// cannot carry one (then nothing may be memoised for it). `interned_name` is
// any interned str (a method-cache lookup of it assigns the tag where the
// interpreter offers no direct way). The tag changes whenever the type or any
// of its bases is modified, and is never given to another type.
uint64_t assign_type_version(PyTypeObject *tp, PyObject *interned_name) noexcept;
inline uint64_t type_version(PyTypeObject *tp, PyObject *interned_name) noexcept {
    uint64_t tag = valid_type_version(tp);
    return tag ? tag : assign_type_version(tp, interned_name);
}

// The instance dictionary of `obj`, borrowed, or null. From 3.11 an instance
// whose attributes are kept inline gets its dictionary made here.
inline PyObject *instance_dict(PyObject *obj) noexcept {
    PyObject **ptr = _PyObject_GetDictPtr(obj);
    return ptr ? *ptr : nullptr;
}

// The type's own dictionary (a new reference).
inline PyObject *type_dict(PyTypeObject *tp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12: a static built-in type's tp_dict may be null; PyType_GetDict is the accessor.
    return PyType_GetDict(tp);
#else
    Py_XINCREF(tp->tp_dict);
    return tp->tp_dict;
#endif
}

// A getset descriptor with the getter and setter of `descr` (a getset
// descriptor), bound to `owner`: it applies to the instances of `owner` and
// of all its subclasses. New reference, or null with an error set.
inline PyObject *rebind_getset(PyObject *descr, PyTypeObject *owner) noexcept {
    if (!PyObject_TypeCheck(descr, &PyGetSetDescr_Type)) {
        PyErr_SetString(PyExc_TypeError, "not a getset descriptor");
        return nullptr;
    }
    return PyDescr_NewGetSet(owner, reinterpret_cast<PyGetSetDescrObject *>(descr)->d_getset);
}

// --- type declarations ----------------------------------------------------------

#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long kTypeHasVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
// 3.10 made the vectorcall type flag public under this name.
constexpr unsigned long kTypeHasVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// The instance sizes the running interpreter declares for the built-in types
// that every module checks at import.
constexpr size_t kTypeSize = sizeof(PyHeapTypeObject);
constexpr size_t kComplexSize = sizeof(PyComplexObject);
#if PY_VERSION_HEX >= 0x030C0000
// 3.12: a bool reserves no digit, its instances end where the digits begin.
constexpr size_t kBoolSize = offsetof(PyLongObject, long_value.ob_digit);
#else
constexpr size_t kBoolSize = sizeof(PyLongObject);  // the full int record, one digit included
#endif

// --- modules --------------------------------------------------------------------

// Fills `slot` with the declaration that the module needs the GIL and returns
// 1, or returns 0 where the interpreter has no such declaration.
inline int gil_slot(PyModuleDef_Slot &slot) noexcept {
#ifdef Py_mod_gil
    // 3.13: a free-threaded build keeps the GIL on for a module that declares it uses it.
    slot = {Py_mod_gil, Py_MOD_GIL_USED};
    return 1;
#else
    (void)slot;
    return 0;
#endif
}

// --- generators ---------------------------------------------------------------

// Takes the value out of a pending StopIteration (None without one) and
// clears it; -1 with another exception left pending.
int fetch_stop_iteration_value(PyObject **value) noexcept;

// Raises StopIteration carrying `value` (which may itself be a tuple or an
// exception) as a generator's return does.
void set_stop_iteration_value(PyObject *value) noexcept;

// True where a generator's throw() with more than one argument is deprecated
// (3.12): the package's generators warn as Python's do, and an exception is
// passed on to a delegate's throw() as the instance alone.
constexpr bool kThrowSingleArgument = PY_VERSION_HEX >= 0x030C0000;

// Resumes an exact Python generator with `value` without a method call. A
// new reference, or null with an exception set (StopIteration when it ended,
// carrying the generator's return value).
#if PY_VERSION_HEX >= 0x030A0000
// 3.10 replaced _PyGen_Send by the public PyIter_Send, which hands back the
// return value instead of raising.
inline PyObject *gen_send(PyObject *gen, PyObject *value) noexcept {
    PyObject *result;
    PySendResult status = PyIter_Send(gen, value, &result);
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        set_stop_iteration_value(result);
        Py_DECREF(result);
    }
    return nullptr;
}
#else
inline PyObject *gen_send(PyObject *gen, PyObject *value) noexcept {
    return _PyGen_Send(reinterpret_cast<PyGenObject *>(gen), value);
}
#endif

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
    auto *l = reinterpret_cast<PyLongObject *>(o);
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 moved sign and size into a tag; "compact" is the one-digit case.
    if (!PyUnstable_Long_IsCompact(l)) return false;
    value = static_cast<long>(PyUnstable_Long_CompactValue(l));
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    value = static_cast<long>(size) * static_cast<long>(l->ob_digit[0]);
#endif
    return true;
}

// --- interpreter identity ----------------------------------------------------

// The current interpreter's ID, or -1 with an error set.
inline int64_t interpreter_id() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

}  // namespace tarnu::runtime::compat
