#include "binding/scan_request.hpp"

#include <optional>
#include <string_view>

#include "binding/words.hpp"

namespace vollan::py {

bool bind_scan(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundScan& out) {
    Slots slots;
    if (!bind_arguments(spec, args, nargs, kwnames, slots)) return false;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    DetectOptions options;
    std::uint64_t tol = 2;
    std::optional<std::uint64_t> workers;
    std::string_view backend = "thread";
    std::string_view change_type = "mean";
    std::uint64_t batch_size = 32;
    Converter c(spec, slots);
    c.f64_seq(out.series)
        .opt_u64_seq(window_sizes)
        .u64(options.n_perm)
        .f64(options.alpha_q)
        .u64(options.seed)
        .u64(tol)
        .opt_u64(workers)
        .text(backend)
        .text(change_type)
        .opt_u64(options.b)
        .f64(options.taper_ratio)
        .boolean(options.center)
        .u64(batch_size);
    if (!c.ok()) return false;
    // The core checks the series and the window sizes again when it starts; here they are made
    // first so that the words are judged after them, in the documented order.
    if (auto checked = check_series(out.series); !checked) {
        raise_value_error(checked.error());
        return false;
    }
    if (auto sizes = resolve_window_sizes(window_sizes); !sizes) {
        raise_value_error(sizes.error());
        return false;
    }
    if (auto checked = check_backend(backend); !checked) {
        raise_value_error(checked.error());
        return false;
    }
    auto parsed = parse_change_type(change_type);
    if (!parsed) {
        raise_value_error(parsed.error());
        return false;
    }
    options.change_type = *parsed;
    out.request.series = out.series;
    out.request.window_sizes = std::move(window_sizes);
    out.request.options = options;
    out.request.tol = tol;
    out.request.workers = workers;
    return true;
}

}  // namespace vollan::py
