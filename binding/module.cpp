// Initialisation of _vollan_native: the seven entries of py_api.cpp, one module per process.
#include "binding/module_init.hpp"
#include "binding/py_api.hpp"

namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vollan_native",
    "Native extension module of the vollan change-point detection package.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

vollan::py::ModuleState g_state{&kModuleDef};

}  // namespace

PyMODINIT_FUNC PyInit__vollan_native(void) {
    return vollan::py::init_module(g_state, {vollan::py::kEntries});
}
