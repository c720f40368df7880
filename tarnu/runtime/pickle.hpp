// Pickling support shared by the package's classes.
#pragma once
#include <Python.h>

#include "errors.hpp"

namespace tarnu::runtime {

// Installs the class's `__reduce_cython__` and `__setstate_cython__` as its
// `__reduce__` and `__setstate__` and removes the old names, unless the class
// already pickles another way (`__getstate__`, or its own `__reduce_ex__` or
// `__reduce__`). Raises RuntimeError "Unable to initialize pickling for X"
// when a needed function is missing or a step fails.
void setup_reduce(PyTypeObject *type);

}  // namespace tarnu::runtime
