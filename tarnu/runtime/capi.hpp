// Publishing and binding the native interfaces between the modules: native
// method tables in each type's `__pyx_vtable__` capsule, and native functions
// and variables in a module's `__pyx_capi__` dict of capsules named by their
// signature strings.
#pragma once
#include <Python.h>

#include <cstddef>

#include "errors.hpp"

namespace tarnu::runtime {

// Absolute import of a package module by its full name.
Ref import_module(const char *full_name);

// Publishes a native function or variable in `module.__pyx_capi__` (created on
// first use) under `name`, in a capsule named `signature`.
void export_capi(PyObject *module, const char *name, void *address, const char *signature);

enum class CapiKind { function, variable };
// Looks `name` up in the `__pyx_capi__` of the module `module_name` and
// checks its signature string character for character.
void *import_capi(const char *module_name, const char *name, const char *signature, CapiKind kind);

template <class Fn>
inline void import_function(Fn *&out, const char *module_name, const char *name, const char *signature) {
    out = reinterpret_cast<Fn *>(import_capi(module_name, name, signature, CapiKind::function));
}
template <class T>
inline void import_variable(T *&out, const char *module_name, const char *name, const char *signature) {
    out = static_cast<T *>(import_capi(module_name, name, signature, CapiKind::variable));
}

// Stores the address of a native method table in the type's dictionary.
void publish_vtable(PyTypeObject *type, const void *vtable);
// Reads it back; errors as for an imported type.
void *read_vtable(PyTypeObject *type);

// Fetches `module_name.type_name`, checks that it is a type whose instances
// are at least `expected_size` bytes (larger only warns). A new reference.
PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size);
// The same for a package type, also reading its native method table.
template <class VTable>
inline PyTypeObject *import_type(const char *module_name, const char *type_name, size_t expected_size,
                                 VTable *&vtable) {
    PyTypeObject *type = import_type(module_name, type_name, expected_size);
    try {
        vtable = static_cast<VTable *>(read_vtable(type));
    } catch (...) {
        Py_DECREF(type);
        throw;
    }
    return type;
}

// The built-ins every module checks at import (type, bool, complex).
void check_builtin_types();

}  // namespace tarnu::runtime
