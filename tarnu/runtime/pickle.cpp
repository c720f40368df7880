#include "pickle.hpp"

#include <cstring>

#include "compat.hpp"

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

bool in_own_dict(PyTypeObject *type, const char *name) {
    Ref dict = check(compat::type_dict(type));
    PyObject *v = PyDict_GetItemString(dict.get(), name);
    return v != nullptr;
}

// Moves `from` to `to` in the class dictionary. When `from` is gone and `to`
// already holds the function of that name, an earlier set-up did the move.
void move_entry(PyTypeObject *type, PyObject *current, const char *from, const char *to) {
    if (!in_own_dict(type, from) && current && has_name(current, from)) return;
    Ref function = check(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), from));
    Ref dict = check(compat::type_dict(type));
    check(PyDict_SetItemString(dict.get(), to, function.get()));
    check(PyDict_DelItemString(dict.get(), from));
}

void install(PyTypeObject *type) {
    PyObject *tp = reinterpret_cast<PyObject *>(type);
    PyObject *object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    // From 3.11 every class inherits object's own __getstate__, which does
    // not count: only one that the class or a base defines stops the set-up.
    Ref getstate = get_optional(tp, "__getstate__");
    if (getstate && !getstate.is(get_optional(object, "__getstate__").get())) return;
    Ref reduce_ex = check(PyObject_GetAttrString(tp, "__reduce_ex__"));
    Ref object_reduce_ex = check(PyObject_GetAttrString(object, "__reduce_ex__"));
    if (!reduce_ex.is(object_reduce_ex.get())) return;

    Ref reduce = check(PyObject_GetAttrString(tp, "__reduce__"));
    Ref object_reduce = check(PyObject_GetAttrString(object, "__reduce__"));
    if (!reduce.is(object_reduce.get()) && !has_name(reduce.get(), "__reduce_cython__")) return;
    move_entry(type, reduce.get(), "__reduce_cython__", "__reduce__");

    Ref setstate = get_optional(tp, "__setstate__");
    if (!setstate || has_name(setstate.get(), "__setstate_cython__")) {
        move_entry(type, setstate.get(), "__setstate_cython__", "__setstate__");
    }
    PyType_Modified(type);
}

// `name` from the module's namespace, else from the builtins.
Ref lookup_global(PyObject *globals, const char *name) {
    Ref key = check(PyUnicode_InternFromString(name));
    PyObject *v = PyDict_GetItemWithError(globals, key.get());
    if (!v && !error_pending()) v = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.get());
    if (!v) {
        if (!error_pending()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
        raise();
    }
    return borrow(v);
}

// `from pickle import PickleError`, at the time of use.
Ref pickle_error() {
    Ref module = check(PyImport_ImportModule("pickle"));
    PyObject *v = PyObject_GetAttrString(module.get(), "PickleError");
    if (v) return steal(v);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref name = check(PyUnicode_FromString("PickleError"));
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    }
    raise();
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

PyObject *reduce_instance(const PickleLayout &layout, PyObject *self, PyObject *globals, Ref fields,
                          bool any_object, Ref options) {
    Ref state = std::move(fields);
    Ref dict = get_optional(self, "__dict__");
    if (dict && dict.is(Py_None)) dict.reset();
    if (dict) {
        Ref extra = check(PyTuple_Pack(1, dict.get()));
        state = check(PySequence_Concat(state.get(), extra.get()));
    }
    if (options) {
        Ref extra = check(PyTuple_Pack(1, options.get()));
        state = check(PySequence_Concat(state.get(), extra.get()));
    }
    Ref rebuild = lookup_global(globals, layout.rebuild);
    Ref checksum = py_int(layout.checksum);
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    // The set-state form lets the pickler memoise the bare instance before
    // its state, so state that refers back to it (process -> environment ->
    // process) is restored.
    if (dict || any_object) {
        Ref args = check(PyTuple_Pack(3, type, checksum.get(), Py_None));
        return check(PyTuple_Pack(3, rebuild.get(), args.get(), state.get())).release();
    }
    Ref args = check(PyTuple_Pack(3, type, checksum.get(), state.get()));
    return check(PyTuple_Pack(2, rebuild.get(), args.get())).release();
}

void check_state(const PickleLayout &layout, PyObject *state) {
    if (state == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    Py_ssize_t n = PyTuple_GET_SIZE(state);
    if (n < layout.n_fields) {
        raise_format(PyExc_IndexError, "the pickled state of %.200s holds %zd item%s, expected at least %zd",
                     layout.type->tp_name, n, n == 1 ? "" : "s", layout.n_fields);
    }
}

void merge_state_dict(const PickleLayout &layout, PyObject *self, PyObject *state) {
    if (PyTuple_GET_SIZE(state) <= layout.n_fields) return;
    PyObject *dict = PyObject_GetAttrString(self, "__dict__");
    if (!dict) {
        PyErr_Clear();
        return;
    }
    Ref owned = steal(dict);
    check(PyObject_CallMethod(dict, "update", "(O)", PyTuple_GET_ITEM(state, layout.n_fields)));
}

PyObject *state_options(const PickleLayout &layout, PyObject *self, PyObject *state) {
    Py_ssize_t at = layout.n_fields;
    if (PyTuple_GET_SIZE(state) > at) {
        // The instance dict comes first when the instance has one.
        if (Ref dict = steal(PyObject_GetAttrString(self, "__dict__"))) {
            ++at;
        } else {
            PyErr_Clear();
        }
    }
    if (PyTuple_GET_SIZE(state) <= at) return nullptr;
    PyObject *options = PyTuple_GET_ITEM(state, at);
    if (!PyDict_Check(options)) {
        raise_format(PyExc_TypeError, "the options in the pickled state of %.200s must be a dict, not %.200s",
                     layout.type->tp_name, Py_TYPE(options)->tp_name);
    }
    return options;
}

PyObject *set_state_entry(const PickleLayout &layout, PyObject *self, PyObject *state) {
    check_exact(state, &PyTuple_Type, "tuple", true);
    layout.set_state(self, state);
    return none().release();
}

PyObject *unpickle(const PickleLayout &layout, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *v[3];
    layout.params.parse(args, nargs, kwnames, v);
    int32_t checksum = to_int32(v[1]);
    if (checksum != layout.checksum) {
        Ref error = pickle_error();
        PyErr_Format(error.get(), "Incompatible checksums (%d vs %s)", static_cast<int>(checksum), layout.fields);
        raise();
    }
    Ref result = check(PyObject_CallMethod(reinterpret_cast<PyObject *>(layout.type), "__new__", "(O)", v[0]));
    if (v[2] != Py_None) {
        check_exact(v[2], &PyTuple_Type, "tuple", false);
        layout.set_state(result.get(), v[2]);
    }
    return result.release();
}

}  // namespace tarnu::runtime
