#include "dispatch.hpp"

#include "compat.hpp"

namespace tarnu::runtime {

bool Overridable::is_builtin(PyObject *attr) const noexcept {
    return PyCFunction_Check(attr) &&
           reinterpret_cast<const void *>(PyCFunction_GET_FUNCTION(attr)) == builtin_;
}

Ref Overridable::find_slow(PyObject *self) {
    if (!interned_) interned_ = check(PyUnicode_InternFromString(name_)).release();
    PyTypeObject *tp = Py_TYPE(self);
    // An instance attribute of that name shadows the method (it is a
    // non-data descriptor), so the memo also needs the instance dictionary
    // not to hold it.
    PyObject *dict = compat::instance_dict(self);
    bool generic = tp->tp_getattro == PyObject_GenericGetAttr;
    if (type_tag_ && generic && compat::type_version(tp, interned_) == type_tag_) {
        if (!dict) return {};
        PyObject *shadow = PyDict_GetItemWithError(dict, interned_);
        if (!shadow) {
            if (error_pending()) raise();
            return {};
        }
    }
    uint64_t before = generic ? compat::type_version(tp, interned_) : 0;
    Ref attr = check(PyObject_GetAttr(self, interned_));
    if (!is_builtin(attr.get())) return attr;
    // Remember only when the class did not change during the lookup and the
    // built-in was found on the class, not in the instance.
    if (before && compat::type_version(tp, interned_) == before) type_tag_ = before;
    return {};
}

}  // namespace tarnu::runtime
