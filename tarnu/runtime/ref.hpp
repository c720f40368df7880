// Owning references to Python objects.
//
// Ownership rules:
//  1. A `Ref` owns exactly one strong reference, or is empty.
//  2. A raw `PyObject*` becomes owned only through a named factory:
//     `steal(p)` takes over a reference the caller already owns (the result
//     of a C API call returning a new reference); `borrow(p)` adds one.
//  3. Copying a `Ref` adds a reference; moving transfers it.
//  4. `release()` is the only way to hand the reference back to CPython
//     (a return value, or a slot that steals).
//  5. `get()` lends the object for the lifetime of the `Ref`.
#pragma once
#include <Python.h>

#include <utility>

namespace tarnu::runtime {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref &operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference for the caller, this Ref keeps its own.
    PyObject *new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(const PyObject *o) const noexcept { return p_ == o; }

    template <class T> T *as() const noexcept { return reinterpret_cast<T *>(p_); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

inline Ref steal(PyObject *p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject *p) noexcept { return Ref::borrow(p); }
template <class T> inline Ref borrow(T *p) noexcept {
    return Ref::borrow(reinterpret_cast<PyObject *>(p));
}
inline Ref none() noexcept { return Ref::borrow(Py_None); }

// Replace an owned object field of a record: the new value is referenced
// before the old one is released, so a finaliser that runs during the
// release sees a consistent record.
template <class T> inline void assign_field(T *&field, PyObject *value) noexcept {
    Py_XINCREF(value);
    PyObject *old = reinterpret_cast<PyObject *>(field);
    field = reinterpret_cast<T *>(value);
    Py_XDECREF(old);
}
inline void assign_field(PyObject *&field, PyObject *value) noexcept {
    Py_XINCREF(value);
    PyObject *old = field;
    field = value;
    Py_XDECREF(old);
}

}  // namespace tarnu::runtime
