#include "pickle.hpp"

#include <cstring>

namespace tarnu::runtime {
namespace {

// The attribute `name` of `o`, or an empty Ref when it has none.
Ref get_optional(PyObject *o, const char *name) {
    PyObject *v = PyObject_GetAttrString(o, name);
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return {};
}

bool has_name(PyObject *function, const char *name) {
    Ref n = get_optional(function, "__name__");
    if (!n || !PyUnicode_Check(n.get())) return false;
    const char *s = PyUnicode_AsUTF8(n.get());
    if (!s) raise();
    return std::strcmp(s, name) == 0;
}

void install(PyTypeObject *type) {
    PyObject *tp = reinterpret_cast<PyObject *>(type);
    PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    if (get_optional(tp, "__getstate__")) return;
    Ref reduce_ex = check(PyObject_GetAttrString(tp, "__reduce_ex__"));
    Ref object_reduce_ex = check(PyObject_GetAttrString(object, "__reduce_ex__"));
    if (!reduce_ex.is(object_reduce_ex.get())) return;

    Ref reduce = check(PyObject_GetAttrString(tp, "__reduce__"));
    Ref object_reduce = check(PyObject_GetAttrString(object, "__reduce__"));
    if (!reduce.is(object_reduce.get()) && !has_name(reduce.get(), "__reduce_cython__")) return;

    Ref reduce_cython = check(PyObject_GetAttrString(tp, "__reduce_cython__"));
    check(PyDict_SetItemString(type->tp_dict, "__reduce__", reduce_cython.get()));
    check(PyDict_DelItemString(type->tp_dict, "__reduce_cython__"));

    Ref setstate = get_optional(tp, "__setstate__");
    if (!setstate || has_name(setstate.get(), "__setstate_cython__")) {
        Ref setstate_cython = check(PyObject_GetAttrString(tp, "__setstate_cython__"));
        check(PyDict_SetItemString(type->tp_dict, "__setstate__", setstate_cython.get()));
        check(PyDict_DelItemString(type->tp_dict, "__setstate_cython__"));
    }
    PyType_Modified(type);
}

}  // namespace

void setup_reduce(PyTypeObject *type) {
    try {
        install(type);
    } catch (const Error &) {
        // The underlying failure is replaced: the import reports the class.
        PyErr_Clear();
        raise_format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
    }
}

}  // namespace tarnu::runtime
