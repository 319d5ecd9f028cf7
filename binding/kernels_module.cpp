// Initialisation of vollan._kernels, the package's private extension module: kernels on the same
// core as _vollan_native, whose seven functions stay as they are. One module per process, like
// _vollan_native: the core's worker pool is process-wide.
#include "binding/kernels.hpp"
#include "binding/module_init.hpp"

namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vollan._kernels",
    "Private kernels of the vollan package; their results are flat typed buffers.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

vollan::py::ModuleState g_state{&kModuleDef};

}  // namespace

PyMODINIT_FUNC PyInit__kernels(void) {
    return vollan::py::init_module(g_state, {vollan::py::kScanKernels, vollan::py::kStreamKernels});
}
