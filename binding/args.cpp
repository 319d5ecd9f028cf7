#include "binding/args.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vollan::py {

namespace {

constexpr const char* kNoTypeName = "<failed to extract type name>";
// A sequence's length is only a capacity hint: a lying __len__ must not cause a huge allocation.
constexpr Py_ssize_t kMaxCapacityHint = 1 << 16;

bool set_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// "'{type}' object cannot be converted to '{target}'", the refusal of a conversion.
bool cannot_convert(PyObject* obj, const char* target) {
    std::string msg = "'";
    msg += type_qualname(obj);
    msg += "' object cannot be converted to '";
    msg += target;
    msg += "'";
    return set_type_error(msg);
}

// Reads a 1-D C-contiguous buffer of native doubles (numpy float64 arrays, array('d'),
// memoryviews). Iterating such an object yields exactly these values, so reading the memory gives
// identical results. Returns false, with no exception pending, when the object does not qualify.
bool read_double_buffer(PyObject* obj, std::vector<double>& out) {
    // Only types whose iteration is known to yield the buffer's values: not subclasses such as
    // masked arrays, which iterate differently.
    const char* tp = Py_TYPE(obj)->tp_name;
    const bool known = PyMemoryView_Check(obj) || std::strcmp(tp, "numpy.ndarray") == 0 ||
                       std::strcmp(tp, "array.array") == 0;
    if (!known || !PySequence_Check(obj) || !PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    const bool native_double = view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                               std::strcmp(f, "d") == 0;
    const bool ok = native_double && view.ndim == 1;
    if (ok) {
        // assign copies into fresh storage in one pass; resize would zero it first.
        const double* first = static_cast<const double*>(view.buf);
        out.assign(first, first + view.len / view.itemsize);
    }
    PyBuffer_Release(&view);
    return ok;
}

// Exact lists and tuples whose items are all exact floats: reading them runs no Python code, so
// the result equals that of iteration. Returns false when some item is not an exact float.
bool read_float_list(PyObject* obj, std::vector<double>& out) {
    PyObject** items;
    Py_ssize_t n;
    if (PyList_CheckExact(obj)) {
        items = PySequence_Fast_ITEMS(obj);
        n = PyList_GET_SIZE(obj);
    } else if (PyTuple_CheckExact(obj)) {
        items = PySequence_Fast_ITEMS(obj);
        n = PyTuple_GET_SIZE(obj);
    } else {
        return false;
    }
    // One pass: a non-float item abandons what was read, and the caller starts over generically.
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyFloat_CheckExact(items[i])) return false;
        out.push_back(PyFloat_AS_DOUBLE(items[i]));
    }
    return true;
}

template <class T, class F>
bool convert_sequence(PyObject* obj, std::vector<T>& out, F convert_item) {
    if (PyUnicode_Check(obj)) return set_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) {
        return cannot_convert(obj, "Sequence");
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxCapacityHint)));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) break;
        T value;
        if (!convert_item(item.get(), value)) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return kNoTypeName;
    }
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (s == nullptr) {
        PyErr_Clear();
        return kNoTypeName;
    }
    return std::string(s, static_cast<std::size_t>(size));
}

void ensure_error_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& slots) {
    slots.fill(nullptr);
    const std::size_t n_pos = static_cast<std::size_t>(nargs);
    if (n_pos > spec.n_params) {
        const char* verb = n_pos == 1 ? "was" : "were";
        if (spec.n_required == spec.n_params) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu %s given",
                         spec.name, spec.n_params, n_pos, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zu %s given",
                         spec.name, spec.n_required, spec.n_params, n_pos, verb);
        }
        return false;
    }
    for (std::size_t k = 0; k < n_pos; ++k) slots[k] = args[k];

    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n_kw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        std::size_t found = spec.n_params;
        for (std::size_t k = 0; k < spec.n_params; ++k) {
            const char* p = spec.params[k];
            if (PyUnicode_EqualToUTF8AndSize(key, p, static_cast<Py_ssize_t>(std::strlen(p)))) {
                found = k;
                break;
            }
        }
        if (found == spec.n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         key);
            return false;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.name,
                         spec.params[found]);
            return false;
        }
        slots[found] = args[n_pos + static_cast<std::size_t>(i)];
    }

    std::vector<const char*> missing;
    for (std::size_t k = 0; k < spec.n_required; ++k) {
        if (slots[k] == nullptr) missing.push_back(spec.params[k]);
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) {
                if (missing.size() > 2) list += ",";
                list += (i + 1 == missing.size()) ? " and " : " ";
            }
            list += "'";
            list += missing[i];
            list += "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", spec.name,
                     missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    return true;
}

void argument_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        ensure_error_set();
        return;
    }
    Ref exc = Ref::steal(raised);
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return;  // the failure of str() is the more urgent error
    Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!msg) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(exc.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals cause
    }
    PyErr_SetRaisedException(replacement.release());
}

bool convert_u64(PyObject* obj, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    bool numpy_bool = false;
    if (Ref module = Ref::steal(PyType_GetModuleName(type))) {
        if (PyUnicode_Check(module.get()) &&
            PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) {
            if (Ref name = Ref::steal(PyType_GetName(type))) {
                numpy_bool = PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
                             PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4);
            } else {
                PyErr_Clear();
            }
        }
    } else {
        PyErr_Clear();
    }
    if (numpy_bool) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (truth == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(type));
            return false;
        }
        const int r = truth(obj);
        if (r < 0) {
            ensure_error_set();
            return false;
        }
        out = r != 0;
        return true;
    }
    return cannot_convert(obj, "PyBool");
}

bool convert_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        return cannot_convert(obj, "PyString");
    }
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &size);
    if (s == nullptr) return false;
    out = std::string_view(s, static_cast<std::size_t>(size));
    return true;
}

bool convert_f64_sequence(PyObject* obj, std::vector<double>& out) {
    if (!PyUnicode_Check(obj) && (read_float_list(obj, out) || read_double_buffer(obj, out))) {
        return true;
    }
    return convert_sequence(obj, out, convert_double);
}

bool convert_u64_sequence(PyObject* obj, std::vector<std::uint64_t>& out) {
    return convert_sequence(obj, out, convert_u64);
}

Converter& Converter::opt_u64(std::optional<std::uint64_t>& out) {
    const std::size_t k = next_++;
    if (!ok_ || slots_[k] == nullptr || slots_[k] == Py_None) return *this;
    std::uint64_t v = 0;
    if (!convert_u64(slots_[k], v)) {
        fail(k);
    } else {
        out = v;
    }
    return *this;
}

Converter& Converter::opt_u64_seq(std::optional<std::vector<std::uint64_t>>& out) {
    const std::size_t k = next_++;
    if (!ok_ || slots_[k] == nullptr || slots_[k] == Py_None) return *this;
    std::vector<std::uint64_t> v;
    if (!convert_u64_sequence(slots_[k], v)) {
        fail(k);
    } else {
        out = std::move(v);
    }
    return *this;
}

PyObject* u64_to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* list_from_doubles(const std::vector<double>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    // Runs of equal values are common (a threshold holds until the next flagged position): one
    // float object per run, compared by bits so that -0.0 and NaN payloads stay apart.
    PyObject* previous = nullptr;
    std::uint64_t previous_bits = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[i]);
        PyObject* f;
        if (previous != nullptr && bits == previous_bits) {
            f = Py_NewRef(previous);
        } else {
            f = PyFloat_FromDouble(values[i]);
            if (f == nullptr) return nullptr;
            previous = f;
            previous_bits = bits;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* list_from_u64(const std::vector<std::uint64_t>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
        if (v == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

bool dict_set_steal(PyObject* dict, const char* key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) {
        ensure_error_set();
        return false;
    }
    Ref k = Ref::steal(PyUnicode_FromString(key));
    if (!k) return false;
    if (PyDict_SetItem(dict, k.get(), v.get()) != 0) {
        ensure_error_set();
        return false;
    }
    return true;
}

bool dict_set_u64_steal(PyObject* dict, std::uint64_t key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) {
        ensure_error_set();
        return false;
    }
    Ref k = Ref::steal(PyLong_FromUnsignedLongLong(key));
    if (!k) return false;
    if (PyDict_SetItem(dict, k.get(), v.get()) != 0) {
        ensure_error_set();
        return false;
    }
    return true;
}

PyObject* raise_value_error(const std::string& text) {
    Ref msg = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                              "replace"));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
}

}  // namespace vollan::py
