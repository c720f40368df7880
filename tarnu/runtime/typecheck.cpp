#include "typecheck.hpp"

namespace tarnu::runtime {

bool SubtypeCheck::slow(PyTypeObject *tp, PyTypeObject *base) noexcept {
    if (!PyType_IsSubtype(tp, base)) return false;
    // Any interned name serves to have the type's tag assigned.
    static PyObject *name = PyUnicode_InternFromString("__class__");
    if (!name) {
        PyErr_Clear();
        return true;
    }
    last_ = tp;
    tag_ = compat::type_version(tp, name);
    return true;
}

}  // namespace tarnu::runtime
