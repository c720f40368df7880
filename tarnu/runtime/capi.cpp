#include "capi.hpp"

#include "../native.hpp"

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
    void *address =
        native::import_capi(module_name, name, signature, kind == CapiKind::function ? "function" : "variable");
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
    void *vtable = native::type_vtable(type);
    if (!vtable) raise();
    return vtable;
}

PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size) {
    PyTypeObject *type = native::import_type(module_name, type_name, expected_size);
    if (!type) raise();
    return type;
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
