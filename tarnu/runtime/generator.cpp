#include "generator.hpp"

#include "args.hpp"
#include "compat.hpp"
#include "function.hpp"

namespace tarnu::runtime {
namespace {

// The layout every module's copy of this file must agree on to share the
// type. Bump kAbiVersion whenever `Generator` or `GeneratorBody` changes.
constexpr int kAbiVersion = 3;
constexpr const char *kCapsuleName = "tarnu.runtime.generator_type";
constexpr const char *kInterpKey = "tarnu.runtime.generator_type";
// The attribute of the patched inspect.isgenerator holding the set of types.
constexpr const char *kTypesAttr = "_tarnu_generator_types";

struct SharedType {
    int abi_version;
    size_t basicsize;
    PyTypeObject *type;
};

PyTypeObject *g_type = nullptr;  // this module's view of the shared type
SharedType g_shared;             // published when this module creates the type

PyObject *g_str_send = nullptr, *g_str_throw = nullptr, *g_str_close = nullptr;

inline PyObject *new_ref(PyObject *o) noexcept {
    Py_INCREF(o);
    return o;
}
inline Generator *as_gen(PyObject *o) noexcept { return reinterpret_cast<Generator *>(o); }
inline PyObject *as_obj(Generator *g) noexcept { return reinterpret_cast<PyObject *>(g); }
inline bool is_package_gen(PyObject *o) noexcept { return Py_TYPE(o) == g_type; }

// Drops what a finished generator no longer needs, breaking its cycles.
void release(Generator *gen) noexcept {
    gen->finished = true;
    Py_CLEAR(gen->delegate);
    Py_CLEAR(gen->state);
    Py_CLEAR(gen->context);
}

PyObject *send_ex(Generator *gen, PyObject *value, bool exc, bool for_iter) noexcept;
PyObject *close_impl(Generator *gen) noexcept;

// Turns a StopIteration that escaped the body into RuntimeError, chained to
// it, as a Python generator does.
void replace_stop_iteration() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (value) {
        Py_INCREF(value);
        PyException_SetCause(v2, value);    // steals
        PyException_SetContext(v2, value);  // steals
    }
    PyErr_Restore(t2, v2, tb2);
}

// Resumes the body with `value`, or with the pending exception thrown in
// when `value` is null, and handles the end of the generator.
PyObject *resume_body(Generator *gen, PyObject *value, bool for_iter) noexcept {
    PyObject *result;
    try {
        result = gen->body->resume(gen, value);
    } catch (const Error &) {
        result = nullptr;
    } catch (...) {
        set_from_cpp_exception();
        result = nullptr;
    }
    if (result) return result;
    release(gen);
    if (!PyErr_Occurred()) {
        if (!for_iter) PyErr_SetNone(PyExc_StopIteration);
    } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        replace_stop_iteration();
    }
    return nullptr;
}

// The delegate ended with an exception pending: StopIteration hands its
// value to the body as the result of the delegation; anything else is
// thrown into the body.
PyObject *delegate_ended(Generator *gen, bool for_iter) noexcept {
    Py_CLEAR(gen->delegate);
    PyObject *returned = nullptr;
    if (compat::fetch_stop_iteration_value(&returned) < 0) return resume_body(gen, nullptr, for_iter);
    PyObject *result = resume_body(gen, returned, for_iter);
    Py_DECREF(returned);
    return result;
}

PyObject *intern(PyObject *&slot, const char *text) noexcept {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

// Looks up an optional method: false with an exception pending on failure,
// true with `out` null when the object has none.
bool optional_method(PyObject *obj, PyObject *&slot, const char *name, Ref &out) noexcept {
    PyObject *key = intern(slot, name);
    if (!key) return false;
    out = steal(PyObject_GetAttr(obj, key));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

// Closes an iterator as `yield from` does on GeneratorExit: through its
// close method, if it has one. False with an exception pending on failure.
bool close_iter(PyObject *it) noexcept {
    if (is_package_gen(it)) {
        PyObject *r = close_impl(as_gen(it));
        Py_XDECREF(r);
        return r != nullptr;
    }
    Ref meth;
    if (!optional_method(it, g_str_close, "close", meth)) return false;
    if (!meth) return true;
    PyObject *r = PyObject_CallNoArgs(meth.get());
    Py_XDECREF(r);
    return r != nullptr;
}

// A resumption that goes to the delegate. The body resumes only when the
// delegate ends (or refuses an exception thrown into it).
PyObject *resume_delegate(Generator *gen, PyObject *value, bool exc, bool for_iter) noexcept {
    Ref delegate = borrow(gen->delegate);  // kept alive across the call
    PyObject *result;
    if (!exc) {
        result = send(delegate.get(), value);
        return result ? result : delegate_ended(gen, for_iter);
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        // Close the delegate first; an error from it replaces GeneratorExit.
        Py_CLEAR(gen->delegate);
        PyObject *type, *val, *tb;
        PyErr_Fetch(&type, &val, &tb);
        if (close_iter(delegate.get())) {
            PyErr_Restore(type, val, tb);
        } else {
            Py_XDECREF(type);
            Py_XDECREF(val);
            Py_XDECREF(tb);
        }
        return resume_body(gen, nullptr, for_iter);
    }
    if (is_package_gen(delegate.get())) {
        result = send_ex(as_gen(delegate.get()), nullptr, true, false);
        return result ? result : delegate_ended(gen, for_iter);
    }
    PyObject *type, *val, *tb;
    PyErr_Fetch(&type, &val, &tb);
    Ref meth;
    if (!optional_method(delegate.get(), g_str_throw, "throw", meth) || !meth) {
        if (!meth && !PyErr_Occurred()) {
            // No throw method: the exception goes to the body.
            Py_CLEAR(gen->delegate);
            PyErr_Restore(type, val, tb);
            return resume_body(gen, nullptr, for_iter);
        }
        Py_XDECREF(type);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return delegate_ended(gen, for_iter);
    }
    if constexpr (compat::kThrowSingleArgument) {
        // The exception instance alone: the three-argument form would warn.
        PyErr_NormalizeException(&type, &val, &tb);
        if (tb && val) PyException_SetTraceback(val, tb);
        result = PyObject_CallOneArg(meth.get(), val);
    } else {
        result = PyObject_CallFunctionObjArgs(meth.get(), type, val ? val : Py_None, tb ? tb : Py_None, nullptr);
    }
    Py_XDECREF(type);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return result ? result : delegate_ended(gen, for_iter);
}

// The one resumption routine behind send, throw, close and iteration.
// `exc`: the pending exception is thrown in. `for_iter`: the end of the
// generator is signalled by a null result without StopIteration.
PyObject *send_ex(Generator *gen, PyObject *value, bool exc, bool for_iter) noexcept {
    if (gen->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (gen->finished) {
        if (!exc && !for_iter) PyErr_SetNone(PyExc_StopIteration);
        return nullptr;  // a thrown exception propagates as it is
    }
    if (!gen->started) {
        if (exc) {
            // Raised before the first statement: nothing can catch it.
            release(gen);
            return nullptr;
        }
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return nullptr;
        }
        gen->started = true;
    }
    Ref self = borrow(gen);  // the body may drop the last outside reference
    gen->running = true;
    PyObject *result = gen->delegate ? resume_delegate(gen, value, exc, for_iter)
                                     : resume_body(gen, exc ? nullptr : value, for_iter);
    gen->running = false;
    return result;
}

PyObject *close_impl(Generator *gen) noexcept {
    if (gen->finished) Py_RETURN_NONE;
    if (!gen->started) {
        release(gen);
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *result = send_ex(gen, nullptr, true, false);
    if (result) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// --- slots and methods ------------------------------------------------------

PyObject *gen_send(PyObject *self, PyObject *value) noexcept { return send_ex(as_gen(self), value, false, false); }

PyObject *gen_throw(PyObject *self, PyObject *args) noexcept {
    PyObject *type, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &val, &tb)) return nullptr;
    if (compat::kThrowSingleArgument && PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0) {
        return nullptr;
    }
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(type);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(type)) {
        PyErr_NormalizeException(&type, &val, &tb);
    } else if (PyExceptionInstance_Check(type)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            goto failed;
        }
        Py_XDECREF(val);
        val = type;
        type = reinterpret_cast<PyObject *>(Py_TYPE(val));
        Py_INCREF(type);
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        goto failed;
    }
    PyErr_Restore(type, val, tb);
    return send_ex(as_gen(self), nullptr, true, false);
failed:
    Py_DECREF(type);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return nullptr;
}

PyObject *gen_close(PyObject *self, PyObject *) noexcept { return close_impl(as_gen(self)); }

PyObject *gen_iternext(PyObject *self) noexcept { return send_ex(as_gen(self), Py_None, false, true); }

// A generator dropped while suspended is closed, as Python's are.
void gen_finalize(PyObject *self) noexcept {
    Generator *gen = as_gen(self);
    if (!gen->started || gen->finished) return;
    SavedError saved;
    PyObject *r = close_impl(gen);
    if (r) {
        Py_DECREF(r);
    } else {
        PyErr_WriteUnraisable(self);
    }
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Generator *gen = as_gen(self);
    Py_VISIT(gen->state);
    Py_VISIT(gen->context);
    Py_VISIT(gen->delegate);
    return 0;
}

// A generator cleared by the collector has lost its state: from then on it
// is finished, as a Python generator whose frame was cleared is, so that a
// finaliser or weak reference that still reaches it cannot resume it.
int gen_clear(PyObject *self) noexcept {
    release(as_gen(self));
    return 0;
}

void gen_dealloc(PyObject *self) noexcept {
    Generator *gen = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (gen->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    gen_clear(self);
    Py_CLEAR(gen->name);
    Py_CLEAR(gen->qualname);
    PyObject_GC_Del(self);
}

PyObject *gen_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_gen(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept { return new_ref(as_gen(self)->name); }
PyObject *get_qualname(PyObject *self, void *) noexcept { return new_ref(as_gen(self)->qualname); }

int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attribute(as_gen(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attribute(as_gen(self)->qualname, value, "__qualname__");
}
PyObject *get_running(PyObject *self, void *) noexcept { return PyBool_FromLong(as_gen(self)->running); }
PyObject *get_yieldfrom(PyObject *self, void *) noexcept {
    PyObject *d = as_gen(self)->delegate;
    return new_ref(d ? d : Py_None);
}

PyObject *get_module(PyObject *self, void *) noexcept {
    const char *module = as_gen(self)->body->module;
    return module ? PyUnicode_FromString(module) : new_ref(Py_None);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", gen_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise StopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, "object being iterated by yield from, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() noexcept {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "tarnu.runtime.generator";
    t.tp_basicsize = sizeof(Generator);
    t.tp_dealloc = gen_dealloc;
    t.tp_repr = gen_repr;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = gen_traverse;
    t.tp_clear = gen_clear;
    t.tp_weaklistoffset = offsetof(Generator, weakreflist);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = gen_iternext;
    t.tp_methods = gen_methods;
    t.tp_getset = gen_getset;
    t.tp_finalize = gen_finalize;
    return t;
}

PyTypeObject g_static_type = make_type();

// inspect.isgenerator(object) as patched: the package generator types, then
// the original function. Native, so that it adds no Python frames (and no
// profiler events) of its own. It captures the original and the types.
PyObject *isgenerator_body(PyObject *function, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    return guard("isgenerator", [&] {
        static const Params params("isgenerator", {"object"}, 1);
        PyObject *v[1];
        params.parse(args, nargs, kwnames, v);
        // Held across the calls: the collector may clear the function meanwhile.
        Ref original = borrow(captured(function)[0]), types = borrow(captured(function)[1]);
        if (!original || !types) raise(PyExc_RuntimeError, "isgenerator: the wrapper was cleared");
        if (check(PySet_Contains(types.get(), reinterpret_cast<PyObject *>(Py_TYPE(v[0]))))) {
            return new_ref(Py_True);
        }
        return check(PyObject_CallOneArg(original.get(), v[0])).release();
    });
}

}  // namespace

void init_generator_type() {
    if (g_type) return;
    PyObject *interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interp_dict) raise(PyExc_RuntimeError, "no interpreter dictionary to share the generator type");
    Ref key = check(PyUnicode_FromString(kInterpKey));
    PyObject *capsule = PyDict_GetItemWithError(interp_dict, key.get());
    if (capsule) {
        auto *shared = static_cast<SharedType *>(PyCapsule_GetPointer(capsule, kCapsuleName));
        if (!shared) raise();
        if (shared->abi_version != kAbiVersion || shared->basicsize != sizeof(Generator)) {
            raise_format(PyExc_RuntimeError,
                         "the shared generator type has an incompatible layout (version %d, size %zd; "
                         "expected version %d, size %zd)",
                         shared->abi_version, static_cast<Py_ssize_t>(shared->basicsize), kAbiVersion,
                         static_cast<Py_ssize_t>(sizeof(Generator)));
        }
        g_type = shared->type;
        return;
    }
    if (error_pending()) raise();
    check(PyType_Ready(&g_static_type));
    g_shared = {kAbiVersion, sizeof(Generator), &g_static_type};
    Ref published = check(PyCapsule_New(&g_shared, kCapsuleName, nullptr));
    check(PyDict_SetItem(interp_dict, key.get(), published.get()));
    g_type = &g_static_type;
}

PyTypeObject *generator_type() noexcept { return g_type; }

void register_generator_abc() {
    Ref abc = steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        report_unraisable("collections.abc");
        if (PyErr_WarnEx(PyExc_RuntimeWarning,
                         "the tarnu generator type could not be registered with collections.abc", 1) < 0) {
            raise();
        }
        return;
    }
    Ref generator = check(PyObject_GetAttrString(abc.get(), "Generator"));
    check(PyObject_CallMethod(generator.get(), "register", "O", g_type));
    // Optional: any failure there is ignored.
    Ref backports = steal(PyImport_ImportModule("backports_abc"));
    if (backports) {
        Ref bgen = steal(PyObject_GetAttrString(backports.get(), "Generator"));
        if (bgen) steal(PyObject_CallMethod(bgen.get(), "register", "O", g_type));
    }
    PyErr_Clear();
}

void patch_inspect_isgenerator() {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref current = check(PyObject_GetAttrString(inspect.get(), "isgenerator"));
    Ref types = steal(PyObject_GetAttrString(current.get(), kTypesAttr));
    if (types) {
        if (!PySet_Check(types.get())) raise_format(PyExc_TypeError, "inspect.isgenerator.%s is not a set", kTypesAttr);
        check(PySet_Add(types.get(), reinterpret_cast<PyObject *>(g_type)));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    types = check(PySet_New(nullptr));
    check(PySet_Add(types.get(), reinterpret_cast<PyObject *>(g_type)));
    Ref module = steal(PyObject_GetAttrString(current.get(), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        module = check(PyUnicode_FromString("inspect"));
    }
    const char *module_name = PyUnicode_AsUTF8(module.get());
    if (!module_name) raise();
    Ref wrapper = new_function(isgenerator_body, {current.get(), types.get()}, "isgenerator", "isgenerator",
                               module_name, {"object"});
    Ref doc = steal(PyObject_GetAttrString(current.get(), "__doc__"));
    if (!doc) raise();
    check(PyObject_SetAttrString(wrapper.get(), "__doc__", doc.get()));
    check(PyObject_SetAttrString(wrapper.get(), "__wrapped__", current.get()));
    check(PyObject_SetAttrString(wrapper.get(), kTypesAttr, types.get()));
    check(PyObject_SetAttrString(inspect.get(), "isgenerator", wrapper.get()));
}

Ref new_generator(const GeneratorBody *body, Ref state, PyObject *name, PyObject *qualname, Ref context) {
    if (!g_type) raise(PyExc_RuntimeError, "the generator type is not initialised");
    if (!name) raise(PyExc_SystemError, "a generator needs a name");
    Generator *gen = PyObject_GC_New(Generator, g_type);
    if (!gen) raise();
    gen->body = body;
    gen->state = state.release();
    gen->context = context.release();
    gen->delegate = nullptr;
    gen->name = new_ref(name);
    gen->qualname = new_ref(qualname ? qualname : name);
    gen->weakreflist = nullptr;
    gen->point = 0;
    gen->flags = 0;
    gen->started = false;
    gen->running = false;
    gen->finished = false;
    PyObject_GC_Track(gen);
    return steal(as_obj(gen));
}

Ref yield_from(Generator *gen, PyObject *iterable) {
    Ref it;
    if (PyGen_CheckExact(iterable) || is_package_gen(iterable)) {
        it = borrow(iterable);
    } else if (PyCoro_CheckExact(iterable)) {
        raise(PyExc_TypeError, "cannot 'yield from' a coroutine object in a non-coroutine generator");
    } else {
        it = check(PyObject_GetIter(iterable));
    }
    PyObject *first = send(it.get(), Py_None);
    if (first) {
        assign_field(gen->delegate, it.get());
        return steal(first);
    }
    PyObject *returned = nullptr;
    if (compat::fetch_stop_iteration_value(&returned) < 0) raise();
    Py_XDECREF(returned);
    return {};
}

// send_ex for the common case of a step: a package generator suspended in a
// delegation to a Python generator, which yields again. Anything else (the
// delegate ends or raises) continues as send_ex does.
static PyObject *send_to_delegate(Generator *gen, PyObject *value) noexcept {
    Ref self = borrow(gen);  // the delegate's code may drop the last outside reference
    Ref delegate = borrow(gen->delegate);
    gen->running = true;
    PyObject *result = compat::gen_send(delegate.get(), value);
    if (!result) result = delegate_ended(gen, false);
    gen->running = false;
    return result;
}

PyObject *send(PyObject *gen, PyObject *value) noexcept {
    if (PyGen_CheckExact(gen)) return compat::gen_send(gen, value);
    if (is_package_gen(gen)) {
        Generator *g = as_gen(gen);
        if (g->delegate && !g->running && PyGen_CheckExact(g->delegate)) return send_to_delegate(g, value);
        return send_ex(g, value, false, false);
    }
    if (value == Py_None && Py_TYPE(gen)->tp_iternext) {
        PyObject *r = Py_TYPE(gen)->tp_iternext(gen);
        if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return r;
    }
    PyObject *name = intern(g_str_send, "send");
    if (!name) return nullptr;
    return PyObject_CallMethodOneArg(gen, name, value);
}

void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // A tuple would become the exception's arguments, an exception the
    // exception itself: those travel inside an instance.
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
        return;
    }
    Ref e = steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (e) PyErr_SetObject(PyExc_StopIteration, e.get());
}

}  // namespace tarnu::runtime
