// The start-up every module of the package shares: multi-phase
// initialisation with a create step (one interpreter per process, the same
// module object on a repeated import) and an execute step that runs the
// module's own steps and unwinds cleanly when one fails.
#pragma once
#include <Python.h>

#include <source_location>

#include "errors.hpp"

namespace tarnu::runtime {

class ModuleDef {
public:
    // `body` runs the module's own execute steps (its constants, types,
    // imports, module-level code); it throws `Error` on failure.
    using Body = void (*)(PyObject *module);

    ModuleDef(const char *short_name, const char *full_name, PyMethodDef *methods, Body body,
              std::source_location where = std::source_location::current()) noexcept;

    // The entry point's result.
    PyObject *init() noexcept;

    const char *short_name() const noexcept { return short_name_; }
    const char *full_name() const noexcept { return full_name_; }
    // The module object while it is initialised or initialising (borrowed).
    PyObject *module() const noexcept { return module_; }

private:
    static PyObject *create(PyObject *spec, PyModuleDef *def) noexcept;
    static int exec(PyObject *module) noexcept;
    static ModuleDef *from(PyModuleDef *def) noexcept;
    static ModuleDef *instance_;  // the one definition of this extension module
    int run(PyObject *module) noexcept;

    PyModuleDef def_;  // first member: the create step recovers `this` from it
    PyModuleDef_Slot slots_[4];  // create, exec, the GIL declaration where there is one, end
    const char *short_name_;
    const char *full_name_;
    Body body_;
    std::source_location where_;  // the module's own source, named in its "init" entry
    // Strong: a module, once initialised, lives for the life of the process
    // (its published addresses and the frames it reports need its dict), even
    // if the program drops it from sys.modules.
    PyObject *module_ = nullptr;
    int64_t interpreter_id_ = -1;
};

// Sets `module.name` (the reference is not stolen).
void set_attr(PyObject *module, const char *name, PyObject *value);

}  // namespace tarnu::runtime
