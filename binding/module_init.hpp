// Initialisation shared by the package's extension modules: single-phase, one module object per
// process, refused in a second interpreter, because the worker pool and the cached module are
// process-wide.
#pragma once

#include "binding/pyref.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace vollan::py {

// The process-wide state of one extension module.
struct ModuleState {
    PyModuleDef* def;
    std::atomic<std::int64_t> owner_interpreter{-1};
    PyObject* module = nullptr;
};

// The body of a PyInit function: the cached module, or a new one holding every function of the
// method tables (each terminated by a zeroed entry), in table order, each named in __all__.
// `prepare` then adds what else the module needs; false with an exception set on failure.
PyObject* init_module(ModuleState& state, std::initializer_list<PyMethodDef*> tables,
                      bool (*prepare)(PyObject* module) = nullptr);

}  // namespace vollan::py
