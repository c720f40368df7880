// tarnu.define: the constants the kernel reads natively, published as
// variables in __pyx_capi__ and as Python attributes.
#include "runtime/capi.hpp"
#include "runtime/module.hpp"

namespace tarnu::define {
namespace {

using namespace runtime;

// Read through their addresses by the importers at each use.
double g_time_forever = 1e12;  // seconds meaning never; finite so that ticks do not overflow
int g_time_passed = 0;
int g_time_reached = 1;
int g_lock_released = 2;

void exec_module(PyObject *module) {
    Ref doc = check(PyUnicode_FromString(
        "The wake-up reasons and the time that means never.\n\n"
        "TIME_PASSED, TIME_REACHED and LOCK_RELEASED are the reasons a process gives with its\n"
        "activation time and receives when it wakes; TIME_FOREVER is the time in seconds of a\n"
        "wake-up that never comes unless another process activates it. The kernel's modules\n"
        "read them natively through __pyx_capi__."));
    set_attr(module, "__doc__", doc.get());
    export_capi(module, "_TIME_FOREVER", &g_time_forever, "double");
    export_capi(module, "_TIME_PASSED", &g_time_passed, "int");
    export_capi(module, "_TIME_REACHED", &g_time_reached, "int");
    export_capi(module, "_LOCK_RELEASED", &g_lock_released, "int");
    set_attr(module, "TIME_FOREVER", check(PyFloat_FromDouble(g_time_forever)).get());
    set_attr(module, "TIME_PASSED", check(PyLong_FromLong(g_time_passed)).get());
    set_attr(module, "TIME_REACHED", check(PyLong_FromLong(g_time_reached)).get());
    set_attr(module, "LOCK_RELEASED", check(PyLong_FromLong(g_lock_released)).get());
}

ModuleDef module_def("define", "tarnu.define", nullptr, exec_module);

}  // namespace
}  // namespace tarnu::define

PyMODINIT_FUNC PyInit_define(void) { return tarnu::define::module_def.init(); }
