// A native function object that behaves like a Python function where it
// matters: it binds as a method when found on a class, and carries
// `__name__`, `__qualname__`, `__module__`, `__doc__` and a `__code__`
// that names its parameters (so `inspect.signature` reads it). Its body is a
// C++ function over the objects the function captured when it was made,
// which it holds inline: no closure object of its own.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "errors.hpp"

namespace tarnu::runtime {

// The body: receives the function (borrowed; `captured` reads what it
// holds) and the call's arguments; returns a new reference or null with an
// exception set.
using FunctionBody = PyObject *(*)(PyObject *function, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

void init_function_type();

// The objects a function captured, in the order given when it was made.
// A function cleared by the collector holds nulls.
PyObject *const *captured(PyObject *function) noexcept;

// The parts of a function that many functions can share, made once: the
// names (str) and the code object from `function_code`. A caller that makes
// one function per call keeps these.
struct FunctionInfo {
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *code;
};
Ref function_code(const char *name, std::initializer_list<const char *> parameters);

// A new function capturing `n` objects (each referenced; null ones stay
// null). `parameters` names its positional parameters (for `__code__`); the
// body checks the arguments itself.
Ref new_function(FunctionBody body, PyObject *const *objects, Py_ssize_t n, const FunctionInfo &info);
Ref new_function(FunctionBody body, std::initializer_list<PyObject *> objects, const char *name,
                 const char *qualname, const char *module, std::initializer_list<const char *> parameters);

}  // namespace tarnu::runtime
