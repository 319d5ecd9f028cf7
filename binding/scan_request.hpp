// The arguments of a whole-series scan (scan_detector, and the array entry of vollan._kernels),
// bound, converted in parameter order and checked in the documented order, once for both.
#pragma once

#include "binding/args.hpp"
#include "core/detect.hpp"

#include <vector>

namespace vollan::py {

// The parameters of scan_detector, named after the entry that takes them.
constexpr FunctionSpec scan_spec(const char* name) {
    return {name,
            {"series", "window_sizes", "n_perm", "alpha_q", "seed", "tol", "workers", "backend",
             "change_type", "b", "taper_ratio", "center", "batch_size"},
            13,
            1};
}

// A checked request; request.series views series, so the holder stays where it was filled.
struct BoundScan {
    std::vector<double> series;
    ScanRequest request;

    BoundScan() = default;
    BoundScan(const BoundScan&) = delete;
    BoundScan& operator=(const BoundScan&) = delete;
};

// Binds, converts and checks the arguments of a scan; false with the entry's exception set.
bool bind_scan(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundScan& out);

}  // namespace vollan::py
