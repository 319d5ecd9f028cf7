// Argument binding and conversions shared by every entry of the module.
#pragma once

#include "binding/pyref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vollan::py {

inline constexpr std::size_t kMaxParams = 13;

struct FunctionSpec {
    const char* name;
    std::array<const char*, kMaxParams> params;
    std::size_t n_params;
    std::size_t n_required;
};

// Borrowed argument objects by parameter slot; nullptr marks an omitted parameter.
using Slots = std::array<PyObject*, kMaxParams>;

// Binds a fast-call argument vector to parameter slots; false with TypeError set on failure.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& slots);

// __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// Sets SystemError "attempted to fetch exception but none was set" unless an error is pending.
void ensure_error_set();

// Conversions: false (with the interpreter's or our exception set) on failure. The caller applies
// the argument rule through the Converter below.
bool convert_u64(PyObject* obj, std::uint64_t& out);
bool convert_double(PyObject* obj, double& out);
bool convert_bool(PyObject* obj, bool& out);
bool convert_text(PyObject* obj, std::string_view& out);
bool convert_f64_sequence(PyObject* obj, std::vector<double>& out);
bool convert_u64_sequence(PyObject* obj, std::vector<std::uint64_t>& out);

// Applies the argument rule to the pending exception of a failed conversion of parameter `name`:
// an exact TypeError is replaced by "argument '{name}': {message}" keeping its cause; any other
// exception stays as it is.
void argument_error(const char* name);

// Converts the bound slots in parameter order, stopping at the first failure.
class Converter {
public:
    Converter(const FunctionSpec& spec, const Slots& slots) : spec_(spec), slots_(slots) {}

    bool ok() const { return ok_; }

    // Each call converts the next parameter; an omitted one keeps the default already in `out`.
    Converter& u64(std::uint64_t& out) { return step(out, convert_u64); }
    Converter& f64(double& out) { return step(out, convert_double); }
    Converter& boolean(bool& out) { return step(out, convert_bool); }
    Converter& text(std::string_view& out) { return step(out, convert_text); }
    Converter& f64_seq(std::vector<double>& out) { return step(out, convert_f64_sequence); }
    Converter& opt_u64(std::optional<std::uint64_t>& out);
    Converter& opt_u64_seq(std::optional<std::vector<std::uint64_t>>& out);

private:
    template <class T, class F>
    Converter& step(T& out, F convert) {
        const std::size_t k = next_++;
        if (!ok_ || slots_[k] == nullptr) return *this;
        if (!convert(slots_[k], out)) fail(k);
        return *this;
    }
    void fail(std::size_t k) {
        argument_error(spec_.params[k]);
        ok_ = false;
    }

    const FunctionSpec& spec_;
    const Slots& slots_;
    std::size_t next_ = 0;
    bool ok_ = true;
};

// Result conversions: new objects, or nullptr with an exception set. Equal neighbours of a list of
// doubles share one float object.
PyObject* list_from_doubles(const std::vector<double>& values);
PyObject* list_from_u64(const std::vector<std::uint64_t>& values);
PyObject* u64_to_py(std::uint64_t v);
// Inserts under a freshly created str key; steals `value`. False with an exception set on failure.
bool dict_set_steal(PyObject* dict, const char* key, PyObject* value);
// Inserts value under an int key; steals `value`.
bool dict_set_u64_steal(PyObject* dict, std::uint64_t key, PyObject* value);

// Raises ValueError with a core error text.
PyObject* raise_value_error(const std::string& text);

}  // namespace vollan::py
