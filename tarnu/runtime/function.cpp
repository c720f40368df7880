#include "function.hpp"

#include <structmember.h>

#include "args.hpp"
#include "compat.hpp"

namespace tarnu::runtime {
namespace {

struct Function {
    PyObject_VAR_HEAD    // ob_size: the number of captured objects
    vectorcallfunc vectorcall;
    FunctionBody body;
    PyObject *name;      // owned str
    PyObject *qualname;  // owned str
    PyObject *module;    // owned
    PyObject *doc;       // owned
    PyObject *code;      // owned code object naming the parameters
    PyObject *dict;      // owned, created on demand
    PyObject *captured[1];  // owned (or null), ob_size of them
};

inline Function *as_function(PyObject *o) noexcept { return reinterpret_cast<Function *>(o); }

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    return as_function(self)->body(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Function *f = as_function(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(f->captured[i]);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    Function *f = as_function(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(f->captured[i]);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    Function *f = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

// Found on a class, the function binds to the instance as a method.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (!obj || obj == Py_None) return borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept {
    return borrow(reinterpret_cast<Function *>(self)->name).release();
}
int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attribute(reinterpret_cast<Function *>(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) noexcept {
    return borrow(reinterpret_cast<Function *>(self)->qualname).release();
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attribute(reinterpret_cast<Function *>(self)->qualname, value, "__qualname__");
}
PyObject *get_none(PyObject *, void *) noexcept { return none().release(); }
PyObject *get_annotations(PyObject *, void *) noexcept { return PyDict_New(); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.runtime.function";
    t.tp_basicsize = offsetof(Function, captured);
    t.tp_itemsize = sizeof(PyObject *);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::kTypeHasVectorcall |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_repr = function_repr;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

// A code object with the given positional parameters and no body, so that
// introspection sees the function's signature.
Ref make_code(const char *name, std::initializer_list<const char *> parameters) {
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(parameters.size())));
    Py_ssize_t i = 0;
    for (const char *p : parameters) {
        PyTuple_SET_ITEM(varnames.get(), i++, check(PyUnicode_InternFromString(p)).release());
    }
    Ref filename = check(PyUnicode_FromString(source_path(__FILE__)));
    Ref funcname = check(PyUnicode_FromString(name));
    return check(compat::signature_code(filename.get(), funcname.get(), varnames.get(),
                                        static_cast<int>(parameters.size())));
}

}  // namespace

void init_function_type() {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&function_type));
}

Ref function_code(const char *name, std::initializer_list<const char *> parameters) {
    return make_code(name, parameters);
}

PyObject *const *captured(PyObject *function) noexcept { return as_function(function)->captured; }

Ref new_function(FunctionBody body, PyObject *const *objects, Py_ssize_t n, const FunctionInfo &info) {
    init_function_type();
    auto *f = PyObject_GC_NewVar(Function, &function_type, n);
    if (!f) raise();
    f->vectorcall = function_vectorcall;
    f->body = body;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_XINCREF(objects[i]);
        f->captured[i] = objects[i];
    }
    f->name = borrow(info.name).release();
    f->qualname = borrow(info.qualname).release();
    f->module = borrow(info.module).release();
    f->doc = none().release();
    f->code = borrow(info.code).release();
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject *>(f));
}

Ref new_function(FunctionBody body, std::initializer_list<PyObject *> objects, const char *name,
                 const char *qualname, const char *module, std::initializer_list<const char *> parameters) {
    Ref name_obj = check(PyUnicode_FromString(name));
    Ref qualname_obj = check(PyUnicode_FromString(qualname));
    Ref module_obj = check(PyUnicode_FromString(module));
    Ref code = make_code(name, parameters);
    return new_function(body, objects.begin(), static_cast<Py_ssize_t>(objects.size()),
                        FunctionInfo{name_obj.get(), qualname_obj.get(), module_obj.get(), code.get()});
}

}  // namespace tarnu::runtime
