// Results of the kernels as flat typed buffers: read-only memoryviews over vectors the core
// filled, taken over without a copy. numpy wraps them as they are (np.asarray, np.frombuffer);
// the binding needs no numpy header.
#pragma once

#include "binding/pyref.hpp"

#include <memory>
#include <type_traits>
#include <vector>

namespace vollan::py {

namespace detail {

struct BufferOwner {
    virtual ~BufferOwner() = default;
};

template <class T>
struct VectorOwner final : BufferOwner {
    explicit VectorOwner(std::vector<T>&& v) : values(std::move(v)) {}
    std::vector<T> values;
};

// rows items of itemsize bytes each (columns == 0), or rows of `columns` such items.
struct BufferLayout {
    const char* format;
    Py_ssize_t itemsize;
    Py_ssize_t rows;
    Py_ssize_t columns;
};

PyObject* memoryview_over(std::unique_ptr<BufferOwner> owner, void* data,
                          const BufferLayout& layout);

}  // namespace detail

// A read-only memoryview of values in the struct format `format` (a static string: "d", "q",
// "Q"), 1-D, or 2-D with `columns` items per element of values when columns > 0. The view owns
// the vector. New reference, or nullptr with an exception set.
template <class T>
PyObject* memoryview_of(std::vector<T>&& values, const char* format, Py_ssize_t columns = 0) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>);
    const auto rows = static_cast<Py_ssize_t>(values.size());
    const Py_ssize_t itemsize = static_cast<Py_ssize_t>(sizeof(T)) / (columns > 0 ? columns : 1);
    auto owner = std::make_unique<detail::VectorOwner<T>>(std::move(values));
    void* data = owner->values.data();
    return detail::memoryview_over(std::move(owner), data, {format, itemsize, rows, columns});
}

}  // namespace vollan::py
