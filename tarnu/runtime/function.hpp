// A native function object that behaves like a Python function where it
// matters: it binds as a method when found on a class, and carries
// `__name__`, `__qualname__`, `__module__`, `__doc__` and a `__code__`
// that names its parameters (so `inspect.signature` reads it). Its body is a
// C++ function over a closure object.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "errors.hpp"

namespace tarnu::runtime {

// The body: receives the closure (borrowed) and the call's arguments;
// returns a new reference or null with an exception set.
using FunctionBody = PyObject *(*)(PyObject *closure, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

void init_function_type();

// A new function. `parameters` names its positional parameters (for
// `__code__`); the body checks the arguments itself.
Ref new_function(FunctionBody body, Ref closure, const char *name, const char *qualname,
                 const char *module, std::initializer_list<const char *> parameters);

// The parts of a function that many functions can share, made once: the
// names (str) and the code object from `function_code`. A caller that makes
// one function per call keeps these and uses the cheaper form below.
struct FunctionInfo {
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *code;
};
Ref function_code(const char *name, std::initializer_list<const char *> parameters);
Ref new_function(FunctionBody body, Ref closure, const FunctionInfo &info);

}  // namespace tarnu::runtime
