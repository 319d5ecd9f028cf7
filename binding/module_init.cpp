#include "binding/module_init.hpp"

#include "binding/args.hpp"

namespace vollan::py {

namespace {

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

PyObject* create_module(PyModuleDef* def, std::initializer_list<PyMethodDef*> tables,
                        bool (*prepare)(PyObject*)) {
    Ref module = Ref::steal(PyModule_Create2(def, 1013));
    if (!module) return nullptr;
    Ref module_name = Ref::steal(PyUnicode_FromString(def->m_name));
    if (!module_name) return nullptr;
    for (PyMethodDef* table : tables) {
        for (PyMethodDef* entry = table; entry->ml_name != nullptr; ++entry) {
            Ref fn = Ref::steal(PyCMethod_New(entry, module.get(), module_name.get(), nullptr));
            if (!fn) return nullptr;
            Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
            if (!name) return nullptr;
            if (!append_to_all(module.get(), name.get())) return nullptr;
            if (PyObject_SetAttr(module.get(), name.get(), fn.get()) != 0) return nullptr;
        }
    }
    if (prepare != nullptr && !prepare(module.get())) return nullptr;
    return module.release();
}

}  // namespace

PyObject* init_module(ModuleState& state, std::initializer_list<PyMethodDef*> tables,
                      bool (*prepare)(PyObject*)) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        ensure_error_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!state.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be imported in the "
                     "interpreter that imported it first",
                     state.def->m_name);
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);
    PyObject* module = create_module(state.def, tables, prepare);
    if (module == nullptr) {
        ensure_error_set();
        return nullptr;
    }
    state.module = Py_NewRef(module);
    return module;
}

}  // namespace vollan::py
