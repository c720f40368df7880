// Argument parsing and conversions with the interpreter-wide messages, so
// every Python entry of the package reports bad calls the same way.
#pragma once
#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "errors.hpp"

namespace tarnu::runtime {

// "f() takes exactly 2 positional arguments (1 given)" and its variants.
[[noreturn]] void raise_arg_count(const char *func, Py_ssize_t min, Py_ssize_t max,
                                  Py_ssize_t given);

// A fixed list of parameters, the first `required` of them required. The
// first `positional` (all, by default) may be given by position or by
// keyword, the rest only by keyword. Names are interned on first use.
class Params {
public:
    static constexpr int kMax = 4;
    Params(const char *func, std::initializer_list<const char *> names, int required,
           int positional = kMax) noexcept;

    // Fills out[0..size) with borrowed arguments; a missing optional one is
    // left null.
    void parse(PyObject *args, PyObject *kwargs, PyObject **out) const;
    // Vectorcall form.
    void parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) const;

    const char *func() const noexcept { return func_; }
    int size() const noexcept { return n_; }

private:
    void intern() const;
    int index_of(PyObject *key) const;
    [[noreturn]] void raise_bad_keyword(PyObject *key, Py_ssize_t npos) const;

    const char *func_;
    const char *names_[kMax];
    mutable PyObject *interned_[kMax] = {};
    int n_;
    int required_;
    int positional_;
};

// A Python entry written for the vectorcall convention, registered with
// METH_VARARGS | METH_KEYWORDS. The interpreter checks the keywords of a
// vectorcall itself and rejects a non-string one without naming the
// function; with a tuple and a dict the keywords reach the entry's own parser,
// which reports "f() keywords must be strings".
using VectorEntry = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *call_vector_entry(VectorEntry entry, PyObject *self, PyObject *args, PyObject *kwargs) noexcept;
template <VectorEntry Entry>
PyObject *tuple_entry(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return call_vector_entry(Entry, self, args, kwargs);
}
#define TARNU_TUPLE_ENTRY(f) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&::tarnu::runtime::tuple_entry<f>))

// The head of a built-in's docstring that gives it a signature for
// `inspect.signature`: the interpreter reads "name(params)\n--\n\n" at the
// start of the docstring as `__text_signature__` and leaves it out of
// `__doc__`, so what follows is the docstring as Python sees it (None when
// nothing follows; a type's dict needs settle_signature_only_doc for that).
// Methods start with `$self, /`; defaults are literals, which
// inspect.signature evaluates (1e309 for infinity).
#define TARNU_SIGNATURE(sig) sig "\n--\n\n"

// For a static type whose docstring is a signature alone, after
// PyType_Ready: the type shows no docstring (`__doc__` None), but
// PyType_Ready stores "" in its dict, which its instances and vars() read.
// None goes there instead, as for a type without a docstring.
void settle_signature_only_doc(PyTypeObject *type);

// Refuses any argument: "f() takes exactly 0 positional arguments (n given)"
// or the keyword messages.
void parse_no_args(const char *func, PyObject *args, PyObject *kwargs);

// Float protocol: an exact float directly, anything else through the
// interpreter's float conversion.
inline double to_double(PyObject *o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && error_pending()) raise();
    return v;
}

// The integer conversion: an int (or subclass) directly, else the object's
// __int__ (so a float truncates); "an integer is required" without one.
Ref to_int_object(PyObject *o);
int64_t to_int64(PyObject *o);
int32_t to_int32(PyObject *o);

// "Argument 'name' has incorrect type (expected X, got Y)" unless `o` is an
// instance of `type` (or None, when allowed).
void check_arg_type(PyObject *o, PyTypeObject *type, const char *name, bool none_ok);
// "Cannot convert X to Y" unless `o` is None or an instance of `type`.
void check_convertible(PyObject *o, PyTypeObject *type);
// "Expected tuple, got X" unless `o` is exactly `type` (or None, when allowed).
void check_exact(PyObject *o, PyTypeObject *type, const char *expected, bool none_ok);

// A setter for a str attribute held in `field` (`__name__`, `__qualname__`):
// anything but a str is refused, as the interpreter's own objects do.
inline int set_str_attribute(PyObject *&field, PyObject *value, const char *what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    assign_field(field, value);
    return 0;
}

inline Ref py_bool(bool b) noexcept { return borrow(b ? Py_True : Py_False); }
inline Ref py_float(double d) { return check(PyFloat_FromDouble(d)); }
inline Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }

}  // namespace tarnu::runtime
