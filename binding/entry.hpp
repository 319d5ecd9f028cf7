// What every entry of both extension modules shares around its body: core calls that cannot take
// the interpreter down, and the fast-call signature turned into a method-table function.
#pragma once

#include "binding/pyref.hpp"

#include <exception>
#include <new>
#include <optional>
#include <stdexcept>

namespace vollan::py {

// Core code reports value problems as error texts; what it throws is exhaustion of memory
// (including sizes too large to allocate) or a broken invariant. Neither may take the
// interpreter down. Empty, with the exception set, when f threw.
template <class F>
auto run_core(F&& f) -> std::optional<decltype(f())> {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "vollan internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vollan internal error");
    }
    return std::nullopt;
}

// run_core with the interpreter lock released while f runs, so that other Python threads go on
// meanwhile: f must touch no Python object. What f throws is turned into an exception as
// run_core does, once the lock is held again.
template <class F>
auto run_core_released(F&& f) -> std::optional<decltype(f())> {
    using R = decltype(f());
    std::optional<R> value;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        value.emplace(f());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) return run_core([&]() -> R { std::rethrow_exception(failure); });
    return value;
}

// Results hold millions of new objects, none of them in a cycle: collections triggered while they
// are built would only walk them over and over.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Memory can run out outside the core too: converting a huge sequence, sorting a huge sample.
// That must become MemoryError rather than unwind into the interpreter; the owned references
// are released on the way out.
template <Entry F>
PyObject* guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return F(self, args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return PyErr_NoMemory();
}

// The entry F as the function of a METH_FASTCALL | METH_KEYWORDS method definition.
template <Entry F>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<F>));
}

}  // namespace vollan::py
