#include "errors.hpp"

#include <cstdarg>
#include <cstring>

#include "compat.hpp"

namespace tarnu::runtime {

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw Error{};
}

void raise_format(PyObject *type, const char *format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw Error{};
}

const char *source_path(const char *path) noexcept {
    // The last "tarnu/" directory in the path is the package itself, even
    // when the checkout is also called tarnu.
    const char *best = path;
    for (const char *p = std::strstr(path, "tarnu/"); p; p = std::strstr(p + 1, "tarnu/")) {
        if (p == path || p[-1] == '/') best = p;
    }
    return best;
}

void add_traceback(const Where &where) noexcept {
    if (!PyErr_Occurred()) return;
    compat::push_traceback_entry(where.qualname, source_path(where.loc.file_name()),
                                 static_cast<int>(where.loc.line()));
}

void report_unraisable(const char *qualname) noexcept {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    // Printed without going through sys.excepthook, which would end the
    // process on SystemExit.
    PyErr_Display(type, value, tb);
    PyErr_Clear();
    Ref name = steal(PyUnicode_FromString(qualname));
    if (!name) {
        PyErr_Clear();
        name = none();
    }
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(name.get());
}

void set_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace tarnu::runtime
