// Module initialisation: single-phase, one module object per process, refused in a second
// interpreter because the worker pool and the cached module are process-wide.
#include <atomic>
#include <cstdint>

#include "binding/args.hpp"
#include "binding/py_api.hpp"
#include "binding/pyref.hpp"

namespace {

using vollan::py::Ref;

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

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

bool append_to_all(PyObject* module, PyObject* name) {
    Ref all_name = Ref::steal(PyUnicode_FromString("__all__"));
    if (!all_name) return false;
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return false;
        if (PyObject_SetAttr(module, all_name.get(), all.get()) != 0) return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create2(&kModuleDef, 1013));
    if (!module) return nullptr;
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleDef.m_name));
    if (!module_name) return nullptr;
    for (PyMethodDef* def = vollan::py::kEntries; def->ml_name != nullptr; ++def) {
        Ref fn = Ref::steal(PyCMethod_New(def, module.get(), module_name.get(), nullptr));
        if (!fn) return nullptr;
        Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
        if (!name) return nullptr;
        if (!append_to_all(module.get(), name.get())) return nullptr;
        if (PyObject_SetAttr(module.get(), name.get(), fn.get()) != 0) return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__vollan_native(void) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        vollan::py::ensure_error_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_vollan_native does not support sub-interpreters: it can only be imported "
                        "in the interpreter that imported it first");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* module = create_module();
    if (module == nullptr) {
        vollan::py::ensure_error_set();
        return nullptr;
    }
    g_module = Py_NewRef(module);
    return module;
}
