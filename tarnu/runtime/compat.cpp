#include "compat.hpp"

#include "ref.hpp"

namespace tarnu::runtime::compat {
namespace {

#if PY_VERSION_HEX >= 0x030B0000
// 3.11 made PyFrameObject opaque. Its leading fields keep these places
// through 3.13; the frame owns its f_back.
struct FrameHead {
    PyObject_HEAD
    PyFrameObject *f_back;
    void *f_frame;
    PyObject *f_trace;
    int f_lineno;
};

// The innermost frame reported to the profiler on this thread (uncounted:
// each frame holds its caller through f_back), so that nested calls name it
// as their caller. Before 3.11 the thread state's own frame pointer does this.
thread_local PyFrameObject *t_innermost = nullptr;
#endif

// A frame running `code` at `line`, called from the current frame. A new
// reference, or null with an error set.
PyFrameObject *new_frame(PyThreadState *ts, PyCodeObject *code, PyObject *globals, int line) noexcept {
    PyFrameObject *frame = PyFrame_New(ts, code, globals, nullptr);
    if (!frame) return nullptr;
#if PY_VERSION_HEX >= 0x030B0000
    // 3.11: PyFrame_New no longer links the frame to its caller.
    PyFrameObject *back = t_innermost ? t_innermost : PyEval_GetFrame();
    Py_XINCREF(back);
    reinterpret_cast<FrameHead *>(frame)->f_back = back;
    reinterpret_cast<FrameHead *>(frame)->f_lineno = line;
#else
    frame->f_lineno = line;
#endif
    return frame;
}

// Runs the profile function the way the interpreter does: with tracing
// suspended so that it is not reported to itself.
int call_profiler(PyThreadState *ts, PyFrameObject *frame, int what, PyObject *arg) {
#if PY_VERSION_HEX >= 0x030B0000
    // 3.11 added the public form of suspending tracing.
    PyThreadState_EnterTracing(ts);
    int status = ts->c_profilefunc(ts->c_profileobj, frame, what, arg);
    PyThreadState_LeaveTracing(ts);
    // 3.11: the profile function's error no longer gets the reported frame
    // in its traceback; the report of a failure shows it, as before.
    if (status < 0) PyTraceBack_Here(frame);
#elif PY_VERSION_HEX >= 0x030A0000
    // 3.10 moved use_tracing into the C frame record.
    ts->tracing++;
    ts->cframe->use_tracing = 0;
    int status = ts->c_profilefunc(ts->c_profileobj, frame, what, arg);
    ts->cframe->use_tracing = (ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr);
    ts->tracing--;
#else
    ts->tracing++;
    ts->use_tracing = 0;
    int status = ts->c_profilefunc(ts->c_profileobj, frame, what, arg);
    ts->use_tracing = (ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr);
    ts->tracing--;
#endif
    return status;
}

}  // namespace

bool ProfiledCall::call(PyCodeObject *code, PyObject *globals) noexcept {
    ts_ = PyThreadState_GET();
    frame_ = new_frame(ts_, code, globals, code->co_firstlineno);
    if (!frame_) return false;
#if PY_VERSION_HEX >= 0x030B0000
    outer_ = t_innermost;
    t_innermost = frame_;
#else
    // Before 3.11 the thread state points at the running frame.
    outer_ = ts_->frame;
    ts_->frame = frame_;
#endif
    if (call_profiler(ts_, frame_, PyTrace_CALL, nullptr) < 0) {
        unwind();
        return false;
    }
    return true;
}

void ProfiledCall::unwind() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    t_innermost = outer_;
#else
    ts_->frame = outer_;
#endif
    Py_CLEAR(frame_);
}

bool ProfiledCall::ret(PyObject *result) noexcept {
    if (!frame_) return true;
    bool ok = true;
    // The profile function may have been removed meanwhile (a failing one is).
    if (ts_->c_profilefunc) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (call_profiler(ts_, frame_, PyTrace_RETURN, result ? result : Py_None) < 0) {
            if (type) {
                PyErr_Clear();
                PyErr_Restore(type, value, tb);
            } else {
                ok = false;
            }
        } else {
            PyErr_Restore(type, value, tb);
        }
    }
    unwind();
    return ok;
}

ProfiledCall::~ProfiledCall() {
    if (frame_) unwind();
}

void push_traceback_entry(const char *funcname, const char *filename, int line) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject *code = PyCode_NewEmpty(filename, funcname, line);
    Ref globals = steal(PyDict_New());
    PyFrameObject *frame = nullptr;
    if (code && globals) frame = new_frame(PyThreadState_GET(), code, globals.get(), line);
    Py_XDECREF(code);
    if (!frame) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject *signature_code(PyObject *filename, PyObject *name, PyObject *varnames, int argc) noexcept {
    Ref empty_bytes = steal(PyBytes_FromString(""));
    Ref empty_tuple = steal(PyTuple_New(0));
    if (!empty_bytes || !empty_tuple) return nullptr;
    PyObject *b = empty_bytes.get(), *t = empty_tuple.get();
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 named the code constructor unstable.
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(argc, 0, 0, argc, 0, flags, b, t, t, varnames, t, t,
                                                            filename, name, name, 1, b, b);
#elif PY_VERSION_HEX >= 0x030B0000
    // 3.11 added the qualified name and the exception table.
    PyCodeObject *code =
        PyCode_NewWithPosOnlyArgs(argc, 0, 0, argc, 0, flags, b, t, t, varnames, t, t, filename, name, name, 1, b, b);
#else
    PyCodeObject *code =
        PyCode_NewWithPosOnlyArgs(argc, 0, 0, argc, 0, flags, b, t, t, varnames, t, t, filename, name, 1, b);
#endif
    return reinterpret_cast<PyObject *>(code);
}

uint64_t assign_type_version(PyTypeObject *tp, PyObject *interned_name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 offers a direct way to have the tag assigned.
    (void)interned_name;
    PyUnstable_Type_AssignVersionTag(tp);
#else
    // A lookup through the method cache assigns a tag when it can.
    _PyType_Lookup(tp, interned_name);
#endif
    return valid_type_version(tp);
}

int fetch_stop_iteration_value(PyObject **result) noexcept {
    PyObject *value = nullptr;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *type, *ev, *tb;
        PyErr_Fetch(&type, &ev, &tb);
        if (ev) {
            if (PyObject_TypeCheck(ev, reinterpret_cast<PyTypeObject *>(type))) {
                // Usually normalised already.
                value = reinterpret_cast<PyStopIterationObject *>(ev)->value;
                Py_INCREF(value);
                Py_DECREF(ev);
            } else if (type == PyExc_StopIteration && !PyTuple_Check(ev)) {
                // Not normalised: the raw value is the value (a tuple would be
                // the constructor's arguments).
                value = ev;
            } else {
                PyErr_NormalizeException(&type, &ev, &tb);
                if (!PyObject_TypeCheck(ev, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration))) {
                    PyErr_Restore(type, ev, tb);
                    return -1;
                }
                value = reinterpret_cast<PyStopIterationObject *>(ev)->value;
                Py_INCREF(value);
                Py_DECREF(ev);
            }
        }
        Py_XDECREF(type);
        Py_XDECREF(tb);
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (!value) {
        value = Py_None;
        Py_INCREF(value);
    }
    *result = value;
    return 0;
}

void set_stop_iteration_value(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
    } else {
        // Made explicitly: given a tuple or an exception, PyErr_SetObject
        // would take it for the arguments or for the exception itself.
        PyObject *e = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (!e) return;
        PyErr_SetObject(PyExc_StopIteration, e);
        Py_DECREF(e);
    }
}

}  // namespace tarnu::runtime::compat
