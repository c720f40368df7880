#include "compat.hpp"

#include "ref.hpp"

namespace tarnu::runtime::compat {

// Runs the profile function the way the interpreter does: with tracing
// suspended so that it is not reported to itself.
static int call_profiler(PyThreadState *ts, PyFrameObject *frame, int what, PyObject *arg) {
    ts->tracing++;
    ts->use_tracing = 0;
    int status = ts->c_profilefunc(ts->c_profileobj, frame, what, arg);
    ts->use_tracing = (ts->c_tracefunc != nullptr || ts->c_profilefunc != nullptr);
    ts->tracing--;
    return status;
}

bool ProfiledCall::call(PyCodeObject *code, PyObject *globals) noexcept {
    ts_ = PyThreadState_GET();
    frame_ = PyFrame_New(ts_, code, globals, nullptr);
    if (!frame_) return false;
    frame_->f_lineno = code->co_firstlineno;
    ts_->frame = frame_;
    if (call_profiler(ts_, frame_, PyTrace_CALL, nullptr) < 0) {
        ts_->frame = frame_->f_back;
        Py_CLEAR(frame_);
        return false;
    }
    return true;
}

bool ProfiledCall::ret(PyObject *result) noexcept {
    if (!frame_) return true;
    bool ok = true;
    if (ts_->use_tracing && ts_->c_profilefunc) {
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
    ts_->frame = frame_->f_back;
    Py_CLEAR(frame_);
    return ok;
}

ProfiledCall::~ProfiledCall() {
    if (frame_) {
        ts_->frame = frame_->f_back;
        Py_CLEAR(frame_);
    }
}

void push_traceback_entry(const char *funcname, const char *filename, int line) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject *code = PyCode_NewEmpty(filename, funcname, line);
    Ref globals = steal(PyDict_New());
    PyFrameObject *frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_GET(), code, globals.get(), nullptr);
    Py_XDECREF(code);
    if (!frame) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    frame->f_lineno = line;
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

uint64_t type_version(PyTypeObject *tp, PyObject *interned_name) noexcept {
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) {
        // A lookup through the method cache assigns a tag when it can.
        _PyType_Lookup(tp, interned_name);
    }
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}

}  // namespace tarnu::runtime::compat
