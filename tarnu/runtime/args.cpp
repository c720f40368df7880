#include "args.hpp"

#include <climits>

#include "compat.hpp"

namespace tarnu::runtime {

void settle_signature_only_doc(PyTypeObject *type) {
    Ref dict = check(compat::type_dict(type));
    Ref key = check(PyUnicode_InternFromString("__doc__"));
    PyObject *doc = PyDict_GetItemWithError(dict.get(), key.get());
    if (!doc) {
        if (error_pending()) raise();
        return;
    }
    if (!PyUnicode_Check(doc) || PyUnicode_GET_LENGTH(doc) > 0) return;
    check(PyDict_SetItem(dict.get(), key.get(), Py_None));
    PyType_Modified(type);
}

void raise_arg_count(const char *func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char *more_or_less;
    Py_ssize_t num;
    if (given < min) {
        more_or_less = min == max ? "exactly" : "at least";
        num = min;
    } else {
        more_or_less = min == max ? "exactly" : "at most";
        num = max;
    }
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, more_or_less, num, num == 1 ? "" : "s", given);
}

Params::Params(const char *func, std::initializer_list<const char *> names, int required, int positional) noexcept
    : func_(func), n_(0), required_(required), positional_(0) {
    for (const char *name : names) {
        if (n_ < kMax) names_[n_++] = name;
    }
    positional_ = positional < n_ ? positional : n_;
}

void Params::intern() const {
    if (n_ == 0 || interned_[n_ - 1]) return;
    for (int i = 0; i < n_; ++i) {
        if (!interned_[i]) interned_[i] = check(PyUnicode_InternFromString(names_[i])).release();
    }
}

int Params::index_of(PyObject *key) const {
    for (int i = 0; i < n_; ++i) {
        if (interned_[i] == key) return i;
    }
    for (int i = 0; i < n_; ++i) {
        int eq = PyUnicode_Compare(interned_[i], key);
        if (eq == -1 && error_pending()) raise();
        if (eq == 0) return i;
    }
    return -1;
}

void Params::raise_bad_keyword(PyObject *key, Py_ssize_t npos) const {
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", func_);
    int i = index_of(key);
    if (i >= 0 && i < npos)
        raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_, key);
    raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_, key);
}

void Params::parse(PyObject *args, PyObject *kwargs, PyObject **out) const {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > positional_) raise_arg_count(func_, required_, positional_, npos);
    for (int i = 0; i < n_; ++i) out[i] = i < npos ? PyTuple_GET_ITEM(args, i) : nullptr;
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        if (npos < required_) raise_arg_count(func_, required_, positional_, npos);
        return;
    }
    intern();
    for (int i = static_cast<int>(npos); i < n_; ++i) {
        PyObject *v = PyDict_GetItemWithError(kwargs, interned_[i]);
        if (v) {
            out[i] = v;
            --nkw;
        } else if (error_pending()) {
            raise();
        } else if (i < required_) {
            raise_arg_count(func_, required_, positional_, i);
        }
    }
    if (nkw > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int i = PyUnicode_Check(key) ? index_of(key) : -1;
            if (i < 0 || i < npos) raise_bad_keyword(key, npos);
        }
    }
}

void Params::parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) const {
    Py_ssize_t npos = nargs;
    if (npos > positional_) raise_arg_count(func_, required_, positional_, npos);
    for (int i = 0; i < n_; ++i) out[i] = i < npos ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (npos < required_) raise_arg_count(func_, required_, positional_, npos);
        return;
    }
    intern();
    // Keyword values follow the positional ones in `args`.
    Py_ssize_t unused = nkw;
    for (int i = static_cast<int>(npos); i < n_; ++i) {
        PyObject *v = nullptr;
        for (Py_ssize_t k = 0; k < nkw && !v; ++k) {
            if (PyTuple_GET_ITEM(kwnames, k) == interned_[i]) v = args[npos + k];
        }
        for (Py_ssize_t k = 0; k < nkw && !v; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_Compare(key, interned_[i]) == 0) v = args[npos + k];
        }
        if (v) {
            out[i] = v;
            --unused;
        } else if (i < required_) {
            raise_arg_count(func_, required_, positional_, i);
        }
    }
    if (unused > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int i = PyUnicode_Check(key) ? index_of(key) : -1;
            if (i < 0 || i < npos) raise_bad_keyword(key, npos);
        }
    }
}

PyObject *call_vector_entry(VectorEntry entry, PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return entry(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    constexpr Py_ssize_t kSmall = 8;
    PyObject *small[kSmall];
    PyObject **stack = nargs + nkw <= kSmall ? small : PyMem_New(PyObject *, nargs + nkw);
    if (!stack) return PyErr_NoMemory();
    PyObject *result = nullptr;
    if (PyObject *kwnames = PyTuple_New(nkw)) {
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        PyObject *key, *value;
        Py_ssize_t pos = 0, i = 0;
        // The dict is the caller's own copy; its items stay alive for the call.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, i, key);
            stack[nargs + i++] = value;
        }
        result = entry(self, stack, nargs, kwnames);
        Py_DECREF(kwnames);
    }
    if (stack != small) PyMem_Free(stack);
    return result;
}

void parse_no_args(const char *func, PyObject *args, PyObject *kwargs) {
    if (args && PyTuple_GET_SIZE(args) > 0) raise_arg_count(func, 0, 0, PyTuple_GET_SIZE(args));
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, &value);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", func);
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    }
}

Ref to_int_object(PyObject *o) {
    if (PyLong_Check(o)) return borrow(o);
    PyNumberMethods *m = Py_TYPE(o)->tp_as_number;
    if (!m || !m->nb_int) raise(PyExc_TypeError, "an integer is required");
    Ref r = check(m->nb_int(o));
    if (PyLong_CheckExact(r.get())) return r;
    if (PyLong_Check(r.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            raise();
        return r;
    }
    raise_format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(r.get())->tp_name);
}

int64_t to_int64(PyObject *o) {
    if (PyLong_CheckExact(o)) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && error_pending()) raise();
        return v;
    }
    Ref n = to_int_object(o);
    long long v = PyLong_AsLongLong(n.get());
    if (v == -1 && error_pending()) raise();
    return v;
}

int32_t to_int32(PyObject *o) {
    Ref n = PyLong_CheckExact(o) ? borrow(o) : to_int_object(o);
    long v = PyLong_AsLong(n.get());
    if (v == -1 && error_pending()) raise();
    if (v > INT_MAX || v < INT_MIN) raise(PyExc_OverflowError, "Python int too large to convert to C int");
    return static_cast<int32_t>(v);
}

void check_arg_type(PyObject *o, PyTypeObject *type, const char *name, bool none_ok) {
    if ((none_ok && o == Py_None) || PyObject_TypeCheck(o, type)) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, Py_TYPE(o)->tp_name);
}

void check_convertible(PyObject *o, PyTypeObject *type) {
    if (o == Py_None || PyObject_TypeCheck(o, type)) return;
    raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, type->tp_name);
}

void check_exact(PyObject *o, PyTypeObject *type, const char *expected, bool none_ok) {
    if ((none_ok && o == Py_None) || Py_TYPE(o) == type) return;
    raise_format(PyExc_TypeError, "Expected %.16s, got %.200s", expected, Py_TYPE(o)->tp_name);
}

}  // namespace tarnu::runtime
