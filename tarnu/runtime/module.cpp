#include "module.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "compat.hpp"

namespace tarnu::runtime {

ModuleDef::ModuleDef(const char *short_name, const char *full_name, PyMethodDef *methods,
                     Body body, std::source_location where) noexcept
    : def_{}, slots_{}, short_name_(short_name), full_name_(full_name), body_(body), where_(where) {
    slots_[0] = {Py_mod_create, reinterpret_cast<void *>(&ModuleDef::create)};
    slots_[1] = {Py_mod_exec, reinterpret_cast<void *>(&ModuleDef::exec)};
    int n = 2 + compat::gil_slot(slots_[2]);
    slots_[n] = {0, nullptr};
    def_.m_base = PyModuleDef_HEAD_INIT;
    def_.m_name = short_name;
    def_.m_doc = nullptr;
    def_.m_size = 0;
    def_.m_methods = methods;
    def_.m_slots = slots_;
    instance_ = this;
}

// The runtime is linked into each extension module with hidden symbols, so
// every module has its own copy of this and defines exactly one ModuleDef.
ModuleDef *ModuleDef::instance_ = nullptr;

PyObject *ModuleDef::init() noexcept { return PyModuleDef_Init(&def_); }

ModuleDef *ModuleDef::from(PyModuleDef *def) noexcept {
    return reinterpret_cast<ModuleDef *>(reinterpret_cast<char *>(def) - offsetof(ModuleDef, def_));
}

void set_attr(PyObject *module, const char *name, PyObject *value) {
    check(PyObject_SetAttrString(module, name, value));
}

// Copies one attribute of the import spec onto the module; a missing one is
// skipped.
static void copy_spec_attr(PyObject *spec, PyObject *module, const char *from, const char *to,
                           bool skip_none) {
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Ref owned = steal(value);
    if (skip_none && value == Py_None) return;
    set_attr(module, to, value);
}

PyObject *ModuleDef::create(PyObject *spec, PyModuleDef *def) noexcept {
    ModuleDef *self = from(def);
    try {
        int64_t id = compat::interpreter_id();
        if (id == -1 && error_pending()) raise();
        if (self->interpreter_id_ == -1) {
            self->interpreter_id_ = id;
        } else if (self->interpreter_id_ != id) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
        }
        if (self->module_) return borrow(self->module_).release();
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        copy_spec_attr(spec, module.get(), "loader", "__loader__", false);
        copy_spec_attr(spec, module.get(), "origin", "__file__", false);
        copy_spec_attr(spec, module.get(), "parent", "__package__", false);
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true);
        return module.release();
    } catch (...) {
        if (!error_pending()) set_from_cpp_exception();
        return nullptr;
    }
}

// The module object may be any module (PyModule_ExecDef accepts one that has
// no definition), so the definition is not recovered from it.
int ModuleDef::exec(PyObject *module) noexcept { return instance_->run(module); }

// The interpreter's version string begins with its major and minor version
// ("3.12.1 (main, ...)"); the patch level does not matter.
static void check_version(const char *full_name) {
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    char runtime[16];
    size_t n = 0;
    for (int dots = 0; n + 1 < sizeof runtime && running[n]; ++n) {
        char c = running[n];
        if (c == '.' && ++dots == 2) break;
        if (c != '.' && (c < '0' || c > '9')) break;
    }
    std::memcpy(runtime, running, n);
    runtime[n] = 0;
    if (std::strcmp(compiled, runtime) != 0) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      compiled, full_name, runtime);
        check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
    }
}

int ModuleDef::run(PyObject *module) noexcept {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        return -1;
    }
    module_ = borrow(module).release();
    bool dict_ready = false;
    try {
        check_version(full_name_);
        check(PyModule_GetDict(module) ? 0 : -1);
        dict_ready = true;
        PyObject *builtins = PyImport_AddModule("builtins");
        if (!builtins) raise();
        set_attr(module, "__builtins__", builtins);
        PyObject *modules = PyImport_GetModuleDict();
        if (!PyDict_GetItemString(modules, full_name_)) check(PyDict_SetItemString(modules, full_name_, module));
        body_(module);
        Ref test = check(PyDict_New());
        set_attr(module, "__test__", test.get());
        return 0;
    } catch (const Error &) {
    } catch (...) {
        set_from_cpp_exception();
    }
    char entry[200];
    std::snprintf(entry, sizeof entry, "init %s", full_name_);
    if (dict_ready && error_pending()) add_traceback(Where(entry, where_));
    Py_CLEAR(module_);
    if (!error_pending()) PyErr_SetString(PyExc_ImportError, entry);
    return -1;
}

}  // namespace tarnu::runtime
