// Overridable methods: a native entry that first asks whether a Python
// subclass (or the instance) replaced the method, and otherwise runs the
// built-in body.
//
// Only objects whose class is defined in Python, or whose instances have a
// dictionary, can carry an override; every other object costs one flag test.
// A lookup that found no override is remembered per operation, keyed on the
// class's version tag (which changes whenever the class or any base class is
// modified) and on whether the instance dictionary holds the name, so an
// override added later anywhere is always seen and classes without overrides
// pay no attribute lookup after the first.
#pragma once
#include <Python.h>

#include <cstdint>

#include "errors.hpp"

namespace tarnu::runtime {

class Overridable {
public:
    // `name` is the Python name of the operation; `builtin` the C function
    // that the class's method table registers under that name (for an entry
    // registered through TARNU_TUPLE_ENTRY, that wrapper), which does not
    // count as an override.
    constexpr Overridable(const char *name, const void *builtin) noexcept
        : name_(name), builtin_(builtin) {}
    Overridable(const char *name, PyCFunction builtin) noexcept
        : name_(name), builtin_(reinterpret_cast<const void *>(builtin)) {}

    // The override to call (a new reference), or an empty Ref when the
    // built-in body should run. Throws `Error` when the lookup fails.
    Ref find(PyObject *self) {
        PyTypeObject *tp = Py_TYPE(self);
        if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && tp->tp_dictoffset == 0) return {};
        return find_slow(self);
    }

    const char *name() const noexcept { return name_; }

private:
    Ref find_slow(PyObject *self);
    bool is_builtin(PyObject *attr) const noexcept;

    const char *name_;
    const void *builtin_;
    PyObject *interned_ = nullptr;
    uint64_t type_tag_ = 0;  // version tag of a class known to have no override
};

}  // namespace tarnu::runtime
