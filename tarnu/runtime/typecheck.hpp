// Instance tests for hot paths. The exact type and its direct subclasses are
// recognised by two comparisons; deeper subclasses by a memo of the last one
// that passed. The memo holds no reference (it would keep a model's classes,
// and what their closures hold, alive): it remembers the type's address with
// its version tag, which is never reused by another type, so a new type
// allocated at a freed type's address does not match.
#pragma once
#include <Python.h>

#include <cstdint>

#include "compat.hpp"

namespace tarnu::runtime {

class SubtypeCheck {
public:
    bool operator()(PyObject *o, PyTypeObject *base) noexcept {
        PyTypeObject *tp = Py_TYPE(o);
        if (tp == base || tp->tp_base == base) return true;
        if (tp == last_ && compat::valid_type_version(tp) == tag_ && tag_) return true;
        return slow(tp, base);
    }

private:
    bool slow(PyTypeObject *tp, PyTypeObject *base) noexcept;

    PyTypeObject *last_ = nullptr;  // uncounted: compared, never dereferenced
    uint64_t tag_ = 0;
};

}  // namespace tarnu::runtime
