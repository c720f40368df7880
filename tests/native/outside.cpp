// An extension outside tarnu, built by the tests against the headers that
// tarnu.get_include() names: it binds to the kernel and to tarnu.resources
// only through what they publish (method tables and __pyx_capi__ entries).
#include <Python.h>

#include <tarnu/native.hpp>
#include <tarnu/process.hpp>
#include <tarnu/resources.hpp>
#include <tarnu/timeconv.hpp>

namespace {

PyTypeObject *g_process_type;
const tarnu::process::ProcessVTable *g_process_vtab;
PyTypeObject *g_resource_type;
const tarnu::resources::ResourceVTable *g_resource_vtab;
tarnu::timeconv::D2L *g_d2l;
int *g_lock_released, *g_preempted;

bool is_process(PyObject *o) { return PyObject_TypeCheck(o, g_process_type); }

// wake(process, time, reason): activate through the process's own method table.
PyObject *wake(PyObject *, PyObject *args) {
    PyObject *p;
    double time;
    int reason;
    if (!PyArg_ParseTuple(args, "Odi", &p, &time, &reason)) return nullptr;
    if (!is_process(p)) {
        PyErr_SetString(PyExc_TypeError, "a Process is needed");
        return nullptr;
    }
    auto *process = reinterpret_cast<tarnu::process::Process *>(p);
    process->vtab->activate(process, time, reason, 0);
    Py_RETURN_NONE;
}

// acquire(resource, process, priority): the Resource's native acquire.
PyObject *acquire(PyObject *, PyObject *args) {
    PyObject *r, *p;
    double priority;
    if (!PyArg_ParseTuple(args, "OOd", &r, &p, &priority)) return nullptr;
    if (!PyObject_TypeCheck(r, g_resource_type) || !is_process(p)) {
        PyErr_SetString(PyExc_TypeError, "a Resource and a Process are needed");
        return nullptr;
    }
    auto *resource = reinterpret_cast<tarnu::resources::Resource *>(r);
    tarnu::resources::AcquireOptions options{priority, 0.0, 0, 1};
    return resource->vtab->acquire(resource, reinterpret_cast<tarnu::process::Process *>(p), &options);
}

// release(resource, process) through the table; count(resource) read from the record.
PyObject *release(PyObject *, PyObject *args) {
    PyObject *r, *p;
    if (!PyArg_ParseTuple(args, "OO", &r, &p)) return nullptr;
    if (!PyObject_TypeCheck(r, g_resource_type) || !is_process(p)) {
        PyErr_SetString(PyExc_TypeError, "a Resource and a Process are needed");
        return nullptr;
    }
    auto *resource = reinterpret_cast<tarnu::resources::Resource *>(r);
    if (resource->vtab->release(resource, reinterpret_cast<tarnu::process::Process *>(p)) < 0) return nullptr;
    return PyLong_FromSsize_t(resource->users.end - resource->users.head);
}

PyObject *constants(PyObject *, PyObject *) {
    return Py_BuildValue("(iiL)", *g_lock_released, *g_preempted, static_cast<long long>(g_d2l(1.0005, 0)));
}

PyMethodDef methods[] = {
    {"wake", wake, METH_VARARGS, nullptr},
    {"acquire", acquire, METH_VARARGS, nullptr},
    {"release", release, METH_VARARGS, nullptr},
    {"constants", constants, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "outside", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_outside(void) {
    using namespace tarnu;
    g_process_type = native::import_type(process::kModule, "Process", sizeof(process::Process), g_process_vtab);
    if (!g_process_type) return nullptr;
    g_resource_type = native::import_type(resources::kModule, "Resource", sizeof(resources::Resource), g_resource_vtab);
    if (!g_resource_type) return nullptr;
    if (native::import_function(g_d2l, timeconv::kModule, "d2l", timeconv::kD2LSignature) < 0) return nullptr;
    if (native::import_variable(g_lock_released, "tarnu.define", "_LOCK_RELEASED", "int") < 0) return nullptr;
    if (native::import_variable(g_preempted, resources::kModule, "_PREEMPTED", resources::kPreemptedSignature) < 0) {
        return nullptr;
    }
    return PyModule_Create(&module);
}
