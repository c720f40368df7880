// Binding to tarnu's native interface from any extension module.
//
// Every tarnu module publishes what other extensions may call natively in two
// ways: a type keeps the address of its native method table in a capsule
// under `__pyx_vtable__` in its dictionary, and a module keeps native
// functions and variables in its `__pyx_capi__` dict, each in a capsule named
// by its signature string. These functions fetch them with the C API alone,
// so an extension built against the headers that `tarnu.get_include()` names
// needs nothing else of tarnu. Each returns null (or -1) with a Python
// exception set on failure, and is meant to be called at module execution:
//
//     #include <tarnu/process.hpp>
//     #include <tarnu/native.hpp>
//
//     const tarnu::process::ProcessVTable *vtab;
//     PyTypeObject *process_type = tarnu::native::import_type(
//         "tarnu.process", "Process", sizeof(tarnu::process::Process), vtab);
//     auto *p = reinterpret_cast<tarnu::process::Process *>(obj);  // a Process instance
//     p->vtab->activate(p, time, reason, 0);  // through the object's own table
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace tarnu::native {

// The address published as `module_name.__pyx_capi__[name]`, whose capsule
// must be named `signature` exactly. `what` names the entry's kind in the
// messages ("function" or "variable").
inline void *import_capi(const char *module_name, const char *name, const char *signature,
                         const char *what = "function") noexcept {
    PyObject *module = PyImport_ImportModule(module_name);
    if (!module) return nullptr;
    PyObject *capi = PyObject_GetAttrString(module, "__pyx_capi__");
    Py_DECREF(module);
    if (!capi) return nullptr;
    PyObject *capsule = PyDict_Check(capi) ? PyDict_GetItemString(capi, name) : nullptr;
    void *address = nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, what, name);
    } else if (const char *found = PyCapsule_GetName(capsule); !found && PyErr_Occurred()) {
        // the capsule's own error stands
    } else if (!found || std::strcmp(found, signature) != 0) {
        PyErr_Format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     what, module_name, name, signature, found ? found : "(null)");
    } else {
        address = PyCapsule_GetPointer(capsule, found);
    }
    Py_DECREF(capi);
    return address;
}

// A published function, typed: `import_function(d2l, "tarnu.timeconv", "d2l", signature)`.
template <class Fn>
inline int import_function(Fn *&out, const char *module_name, const char *name, const char *signature) noexcept {
    out = reinterpret_cast<Fn *>(import_capi(module_name, name, signature, "function"));
    return out ? 0 : -1;
}

// A published variable, read through its address at each use.
template <class T>
inline int import_variable(T *&out, const char *module_name, const char *name, const char *signature) noexcept {
    out = static_cast<T *>(import_capi(module_name, name, signature, "variable"));
    return out ? 0 : -1;
}

// The native method table of `type` (borrowed for the life of the process),
// from the type's own dictionary, read through `__dict__` so that this is
// the same on every interpreter version.
inline void *type_vtable(PyTypeObject *type) noexcept {
    PyObject *dict = PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__dict__");
    if (!dict) return nullptr;
    PyObject *capsule = PyMapping_GetItemString(dict, "__pyx_vtable__");
    Py_DECREF(dict);
    if (!capsule) return nullptr;
    void *vtable = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    if (!vtable) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    }
    return vtable;
}

// `module_name.type_name` (a new reference), checked to be a type whose
// instances are at least `expected_size` bytes: the record layout the caller
// was built against. A larger record only warns.
inline PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size) noexcept {
    PyObject *module = PyImport_ImportModule(module_name);
    if (!module) return nullptr;
    PyObject *type = PyObject_GetAttrString(module, type_name);
    Py_DECREF(module);
    if (!type) return nullptr;
    if (!PyType_Check(type)) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        Py_DECREF(type);
        return nullptr;
    }
    Py_ssize_t actual = reinterpret_cast<PyTypeObject *>(type)->tp_basicsize;
    auto expected = static_cast<Py_ssize_t>(expected_size);
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                     "header, got %zd from PyObject",
                     module_name, type_name, expected, actual);
        Py_DECREF(type);
        return nullptr;
    }
    if (actual > expected) {
        char message[1000];
        std::snprintf(message, sizeof message,
                      "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got "
                      "%zd from PyObject",
                      module_name, type_name, expected, actual);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

// The same, also reading the type's native method table.
template <class VTable>
inline PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size,
                                 const VTable *&vtable) noexcept {
    PyTypeObject *type = import_type(module_name, type_name, expected_size);
    if (!type) return nullptr;
    vtable = static_cast<const VTable *>(type_vtable(type));
    if (!vtable) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
}

}  // namespace tarnu::native
