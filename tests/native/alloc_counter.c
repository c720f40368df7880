/* Counts the calls of the interpreter's allocators (all three domains) between
 * start() and stop(): a hook around each, as the C API allows, delegating to
 * the allocator it wraps. Built by the tests, not shipped. */
#include <Python.h>

static const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
static PyMemAllocatorEx wrapped[3];
static Py_ssize_t counted;
static int hooked;

static void *count_malloc(void *ctx, size_t size) {
    PyMemAllocatorEx *a = ctx;
    ++counted;
    return a->malloc(a->ctx, size);
}

static void *count_calloc(void *ctx, size_t n, size_t size) {
    PyMemAllocatorEx *a = ctx;
    ++counted;
    return a->calloc(a->ctx, n, size);
}

static void *count_realloc(void *ctx, void *p, size_t size) {
    PyMemAllocatorEx *a = ctx;
    ++counted;
    return a->realloc(a->ctx, p, size);
}

static void count_free(void *ctx, void *p) {
    PyMemAllocatorEx *a = ctx;
    a->free(a->ctx, p);
}

static PyObject *start(PyObject *self, PyObject *unused) {
    if (!hooked) {
        for (int i = 0; i < 3; ++i) {
            PyMem_GetAllocator(domains[i], &wrapped[i]);
            PyMemAllocatorEx hook = {&wrapped[i], count_malloc, count_calloc, count_realloc, count_free};
            PyMem_SetAllocator(domains[i], &hook);
        }
        hooked = 1;
    }
    counted = 0;
    Py_RETURN_NONE;
}

static PyObject *stop(PyObject *self, PyObject *unused) {
    Py_ssize_t n = counted;
    if (hooked) {
        for (int i = 0; i < 3; ++i) PyMem_SetAllocator(domains[i], &wrapped[i]);
        hooked = 0;
    }
    return PyLong_FromSsize_t(n);
}

static PyMethodDef methods[] = {
    {"start", start, METH_NOARGS, "Starts counting allocations."},
    {"stop", stop, METH_NOARGS, "Stops counting; returns the number of allocations since start()."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "alloc_counter", NULL, -1, methods};

PyMODINIT_FUNC PyInit_alloc_counter(void) { return PyModule_Create(&module); }
