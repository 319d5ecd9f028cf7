// The stream's adjacent windows (core/stream.hpp) for vollan.Monitor: a capsule holds one
// StreamWindows; values, indices and outputs travel as contiguous buffers (numpy arrays), so
// that a chunk of a stream costs one call. The interpreter lock stays held: a monitor's calls
// are short and ordered.
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "binding/kernels.hpp"
#include "binding/words.hpp"
#include "core/stream.hpp"

namespace vollan::py {

namespace {

constexpr const char* kCapsuleName = "vollan._kernels.StreamWindows";

void destroy_windows(PyObject* capsule) {
    delete static_cast<StreamWindows*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A contiguous buffer of 8-byte items of the given kind ('d' doubles, 'q' integers), released on
// every path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool get(PyObject* object, const char* name, char kind, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) != 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a contiguous%s buffer", name,
                         writable ? " writable" : "");
            return false;
        }
        held_ = true;
        std::string_view format = view_.format != nullptr ? view_.format : "B";
        if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) {
            format.remove_prefix(1);
        }
        const bool integer = format == "q" || format == "l";
        const bool ok = view_.itemsize == 8 && (kind == 'd' ? format == "d" : integer);
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "%s must hold %s", name,
                         kind == 'd' ? "float64 values" : "int64 values");
            return false;
        }
        return true;
    }

    std::size_t size() const { return static_cast<std::size_t>(view_.len / 8); }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

StreamWindows* windows_of(PyObject* capsule) {
    auto* windows = static_cast<StreamWindows*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (windows == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "handle must come from stream_windows");
    }
    return windows;
}

bool positional(const char* fn, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t wanted) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes positional arguments only", fn);
        return false;
    }
    if (nargs != wanted) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", fn, wanted, nargs);
        return false;
    }
    return true;
}

bool values_and_indices(Buffer& values, Buffer& indices, PyObject* const* args) {
    if (!values.get(args[0], "values", 'd', false)) return false;
    if (!indices.get(args[1], "indices", 'q', false)) return false;
    if (indices.size() != values.size()) {
        PyErr_SetString(PyExc_ValueError, "indices must have as many entries as values");
        return false;
    }
    return true;
}

// stream_windows(sizes, change_type, low, high) -> handle
PyObject* stream_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!positional("stream_windows", nargs, kwnames, 4)) return nullptr;
    StreamWindowsParams params;
    Ref sizes = Ref::steal(PySequence_Fast(args[0], "sizes must be a sequence of integers"));
    if (!sizes) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sizes.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long long w =
            PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(sizes.get(), i));
        if (PyErr_Occurred()) return nullptr;
        params.sizes.push_back(w);
    }
    Py_ssize_t length = 0;
    const char* word = PyUnicode_AsUTF8AndSize(args[1], &length);
    if (word == nullptr) return nullptr;
    auto type = parse_change_type(std::string_view(word, static_cast<std::size_t>(length)));
    if (!type) {
        PyErr_SetString(PyExc_ValueError, "change_type must be mean, var or distribution");
        return nullptr;
    }
    params.change_type = *type;
    params.low = PyFloat_AsDouble(args[2]);
    if (PyErr_Occurred()) return nullptr;
    params.high = PyFloat_AsDouble(args[3]);
    if (PyErr_Occurred()) return nullptr;
    auto created = run_core([&] { return StreamWindows::create(std::move(params)); });
    if (!created) return nullptr;
    if (!*created) {
        PyErr_SetString(PyExc_ValueError, created->error().c_str());
        return nullptr;
    }
    auto* windows = new StreamWindows(std::move(**created));
    PyObject* capsule = PyCapsule_New(windows, kCapsuleName, destroy_windows);
    if (capsule == nullptr) delete windows;
    return capsule;
}

// stream_statistics(handle, values, indices, out): out[j * sizes + k], the statistic of size k
// after value j.
PyObject* stream_statistics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!positional("stream_statistics", nargs, kwnames, 4)) return nullptr;
    StreamWindows* windows = windows_of(args[0]);
    if (windows == nullptr) return nullptr;
    Buffer values, indices, out;
    if (!values_and_indices(values, indices, args + 1)) return nullptr;
    if (!out.get(args[3], "out", 'd', true)) return nullptr;
    if (out.size() != values.size() * windows->params().sizes.size()) {
        PyErr_SetString(PyExc_ValueError, "out must hold one statistic per value and size");
        return nullptr;
    }
    auto done = run_core([&] {
        return windows->statistics({values.data<const double>(), values.size()},
                                   {indices.data<const std::int64_t>(), indices.size()},
                                   out.data<double>());
    });
    if (!done) return nullptr;
    if (!*done) {
        PyErr_SetString(PyExc_ValueError, done->error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// stream_watch(handle, values, indices, center, scale, threshold) -> (consumed, size, z)
PyObject* stream_watch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!positional("stream_watch", nargs, kwnames, 6)) return nullptr;
    StreamWindows* windows = windows_of(args[0]);
    if (windows == nullptr) return nullptr;
    Buffer values, indices, center, scale;
    if (!values_and_indices(values, indices, args + 1)) return nullptr;
    if (!center.get(args[3], "center", 'd', false)) return nullptr;
    if (!scale.get(args[4], "scale", 'd', false)) return nullptr;
    const double threshold = PyFloat_AsDouble(args[5]);
    if (PyErr_Occurred()) return nullptr;
    auto alarm = run_core([&] {
        return windows->watch({values.data<const double>(), values.size()},
                              {indices.data<const std::int64_t>(), indices.size()},
                              {center.data<const double>(), center.size()},
                              {scale.data<const double>(), scale.size()}, threshold);
    });
    if (!alarm) return nullptr;
    if (!*alarm) {
        PyErr_SetString(PyExc_ValueError, alarm->error().c_str());
        return nullptr;
    }
    const StreamAlarm& a = **alarm;
    return Py_BuildValue("(nnd)", static_cast<Py_ssize_t>(a.consumed),
                         static_cast<Py_ssize_t>(a.size), a.z);
}

// stream_contents(handle) -> (values bytes, indices bytes), oldest first.
PyObject* stream_contents(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!positional("stream_contents", nargs, kwnames, 1)) return nullptr;
    StreamWindows* windows = windows_of(args[0]);
    if (windows == nullptr) return nullptr;
    std::vector<double> values;
    std::vector<std::int64_t> indices;
    windows->contents(values, indices);
    Ref v = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                 static_cast<Py_ssize_t>(values.size() * 8)));
    if (!v) return nullptr;
    Ref i = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(indices.data()),
                                                 static_cast<Py_ssize_t>(indices.size() * 8)));
    if (!i) return nullptr;
    return PyTuple_Pack(2, v.get(), i.get());
}

}  // namespace

PyMethodDef kStreamKernels[] = {
    {"stream_windows", as_cfunction<stream_windows>(), METH_FASTCALL | METH_KEYWORDS,
     "stream_windows(sizes, change_type, low, high): adjacent sorted windows of a stream."},
    {"stream_statistics", as_cfunction<stream_statistics>(), METH_FASTCALL | METH_KEYWORDS,
     "stream_statistics(handle, values, indices, out): push values, write every statistic."},
    {"stream_watch", as_cfunction<stream_watch>(), METH_FASTCALL | METH_KEYWORDS,
     "stream_watch(handle, values, indices, center, scale, threshold): push values until one "
     "makes a standardised statistic exceed threshold; (consumed, size or -1, z)."},
    {"stream_contents", as_cfunction<stream_contents>(), METH_FASTCALL | METH_KEYWORDS,
     "stream_contents(handle): the values in the windows and their indices, oldest first."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vollan::py
