#include "capi.hpp"

#include <cstdio>
#include <cstring>

#include "compat.hpp"

namespace tarnu::runtime {

Ref import_module(const char *full_name) { return check(PyImport_ImportModule(full_name)); }

void export_capi(PyObject *module, const char *name, void *address, const char *signature) {
    Ref capi;
    PyObject *existing = PyDict_GetItemString(PyModule_GetDict(module), "__pyx_capi__");
    if (existing) {
        capi = borrow(existing);
    } else {
        capi = check(PyDict_New());
        check(PyObject_SetAttrString(module, "__pyx_capi__", capi.get()));
    }
    Ref capsule = check(PyCapsule_New(address, signature, nullptr));
    check(PyDict_SetItemString(capi.get(), name, capsule.get()));
}

void *import_capi(const char *module_name, const char *name, const char *signature, CapiKind kind) {
    const char *what = kind == CapiKind::function ? "function" : "variable";
    Ref module = import_module(module_name);
    Ref capi = check(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    PyObject *capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), name) : nullptr;
    if (!capsule) {
        raise_format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, what,
                     name);
    }
    const char *found = PyCapsule_GetName(capsule);
    if (!found && error_pending()) raise();
    if (!found || std::strcmp(found, signature) != 0) {
        raise_format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     what, module_name, name, signature, found ? found : "(null)");
    }
    void *address = PyCapsule_GetPointer(capsule, found);
    if (!address) raise();
    return address;
}

void publish_vtable(PyTypeObject *type, const void *vtable) {
    Ref capsule = check(PyCapsule_New(const_cast<void *>(vtable), nullptr, nullptr));
    Ref dict = check(compat::type_dict(type));
    check(PyDict_SetItemString(dict.get(), "__pyx_vtable__", capsule.get()));
    PyType_Modified(type);
}

void *read_vtable(PyTypeObject *type) {
    Ref dict = check(compat::type_dict(type));
    Ref capsule = check(PyMapping_GetItemString(dict.get(), "__pyx_vtable__"));
    void *vtable = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!vtable) {
        PyErr_Clear();
        raise(PyExc_RuntimeError, "invalid vtable found for imported type");
    }
    return vtable;
}

static void check_size(const char *module_name, const char *type_name, PyTypeObject *type,
                       size_t expected) {
    Py_ssize_t actual = type->tp_basicsize;
    if (static_cast<size_t>(actual) < expected) {
        raise_format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                     "from C header, got %zd from PyObject",
                     module_name, type_name, static_cast<Py_ssize_t>(expected), actual);
    }
    if (static_cast<size_t>(actual) > expected) {
        char message[1000];
        std::snprintf(message, sizeof message,
                      "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C "
                      "header, got %zd from PyObject",
                      module_name, type_name, static_cast<Py_ssize_t>(expected), actual);
        check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 0));
    }
}

PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size) {
    Ref module = import_module(module_name);
    Ref type = check(PyObject_GetAttrString(module.get(), type_name));
    if (!PyType_Check(type.get())) {
        raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
    }
    check_size(module_name, type_name, type.as<PyTypeObject>(), expected_size);
    return reinterpret_cast<PyTypeObject *>(type.release());
}

void check_builtin_types() {
    struct Builtin {
        const char *name;
        size_t size;
    };
    static const Builtin builtins[] = {
        {"type", compat::kTypeSize},
        {"bool", compat::kBoolSize},
        {"complex", compat::kComplexSize},
    };
    for (const Builtin &b : builtins) {
        Py_DECREF(import_type("builtins", b.name, b.size));
    }
}

}  // namespace tarnu::runtime
