// Pickling support shared by the package's classes: the type set-up, and the
// pieces of the reduce / set-state / rebuild functions that do not depend on
// a class's fields.
#pragma once
#include <Python.h>

#include <cstdint>

#include "args.hpp"
#include "errors.hpp"

namespace tarnu::runtime {

// Installs the class's `__reduce_cython__` and `__setstate_cython__` as its
// `__reduce__` and `__setstate__` and removes the old names, unless the class
// already pickles another way (`__getstate__`, or its own `__reduce_ex__` or
// `__reduce__`). Running it again on a class already set up changes nothing,
// so a module whose import failed can be imported again. Raises RuntimeError
// "Unable to initialize pickling for X" when a needed function is missing or
// a step fails.
void setup_reduce(PyTypeObject *type);

// What a class's pickled form is made of.
struct PickleLayout {
    const char *rebuild;      // the module-level rebuild function, "__pyx_unpickle_X"
    PyTypeObject *type;       // the class whose __new__ makes bare instances
    int32_t checksum;         // names the field list
    const char *fields;       // "0x... = (a, b, ...)", for the mismatch message
    Py_ssize_t n_fields;      // items of a state tuple before the instance dict
    // Applies a state tuple (or None) field by field; adds its own traceback
    // entry on failure.
    void (*set_state)(PyObject *self, PyObject *state);
    // The rebuild function's parameters (interned once, kept for the life
    // of the process).
    Params params{rebuild, {"__pyx_type", "__pyx_checksum", "__pyx_state"}, 3};
};

// The reduce tuple of `self` for the state tuple `fields` (the pickled
// fields in order). The instance dict, when there is one, is appended and
// the set-state form used; so is it when `any_object` (some object field is
// not None). Otherwise the state travels inside the rebuild call. The rebuild
// function is looked up by name in `globals`, then in the builtins, at each
// call.
//
// `options`, when given, is a dict of settings that are not fields (an
// environment's error policy); it travels as the last item of the state,
// after the instance dict, where a loader that does not know it ignores it.
// A class whose settings are all at their defaults passes none, and pickles
// exactly as it would without them.
PyObject *reduce_instance(const PickleLayout &layout, PyObject *self, PyObject *globals, Ref fields,
                          bool any_object, Ref options = {});

// Checks a state before any item is read: None is not subscriptable, and a
// tuple shorter than the field list raises IndexError (nothing is ever read
// past its end).
void check_state(const PickleLayout &layout, PyObject *state);

// Merges the item after the fields into the instance dict when the state
// carries one and the instance has a dict (an error in looking the dict up
// counts as none).
void merge_state_dict(const PickleLayout &layout, PyObject *self, PyObject *state);

// The options dict that `reduce_instance` appended to `state`, or null when
// the state carries none. It follows the instance dict when `self` has one
// (the same test as for merging it), else the fields; anything there but a
// dict raises TypeError.
PyObject *state_options(const PickleLayout &layout, PyObject *self, PyObject *state);

// `__setstate__(state)`: an exact tuple or None, applied to `self`.
PyObject *set_state_entry(const PickleLayout &layout, PyObject *self, PyObject *state);

// The module-level rebuild function: (__pyx_type, __pyx_checksum,
// __pyx_state), positional or by name.
PyObject *unpickle(const PickleLayout &layout, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tarnu::runtime
