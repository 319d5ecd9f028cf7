#include "binding/kernels_buffer.hpp"

#include <cstddef>

namespace vollan::py {

namespace {

struct BufferObject {
    PyObject_HEAD
    detail::BufferOwner* owner;
    void* data;
    const char* format;
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// Where an empty buffer points: consumers may take a null address for a failed export.
alignas(16) std::byte g_empty[16];

BufferObject* as_buffer(PyObject* self) {
    return reinterpret_cast<BufferObject*>(self);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    const BufferObject* b = as_buffer(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "vollan's kernel results are read-only");
        return -1;
    }
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    // Without a shape the consumer sees plain bytes, which a format would contradict (memoryview
    // refuses the same request).
    if (!shaped && (flags & PyBUF_FORMAT) == PyBUF_FORMAT) {
        PyErr_SetString(PyExc_BufferError, "a typed buffer cannot be read as plain bytes");
        return -1;
    }
    Py_ssize_t items = b->shape[0];
    if (b->ndim == 2) items *= b->shape[1];
    view->obj = Py_NewRef(self);
    view->buf = b->data;
    view->len = items * b->itemsize;
    view->readonly = 1;
    view->itemsize = b->itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(b->format) : nullptr;
    view->ndim = shaped ? b->ndim : 1;
    view->shape = shaped ? const_cast<Py_ssize_t*>(b->shape) : nullptr;
    view->strides =
        (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(b->strides) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void dealloc(PyObject* self) {
    delete as_buffer(self)->owner;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory of a kernel result, read through a memoryview.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "vollan._kernels.Buffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

// Created on first use, under the interpreter lock, and kept for the life of the process like
// the module itself (one per process).
PyTypeObject* buffer_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&kSpec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* detail::memoryview_over(std::unique_ptr<BufferOwner> owner, void* data,
                                  const BufferLayout& layout) {
    PyTypeObject* type = buffer_type();
    if (type == nullptr) return nullptr;
    BufferObject* b = PyObject_New(BufferObject, type);
    if (b == nullptr) return nullptr;
    Ref holder = Ref::steal(reinterpret_cast<PyObject*>(b));
    b->owner = owner.release();
    b->data = layout.rows == 0 ? static_cast<void*>(g_empty) : data;
    b->format = layout.format;
    b->itemsize = layout.itemsize;
    if (layout.columns > 0) {
        b->ndim = 2;
        b->shape[0] = layout.rows;
        b->shape[1] = layout.columns;
        b->strides[0] = layout.columns * layout.itemsize;
        b->strides[1] = layout.itemsize;
    } else {
        b->ndim = 1;
        b->shape[0] = layout.rows;
        b->shape[1] = 0;
        b->strides[0] = layout.itemsize;
        b->strides[1] = 0;
    }
    return PyMemoryView_FromObject(holder.get());
}

}  // namespace vollan::py
