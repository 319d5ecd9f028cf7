// scan_arrays: scan_detector's parameters, checks and messages, its result as flat typed buffers
// instead of about as many Python objects as values scanned. The windows are computed and
// flattened with the interpreter lock released; only a few dozen objects are built under it.
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/entry.hpp"
#include "binding/kernels.hpp"
#include "binding/kernels_buffer.hpp"
#include "binding/scan_request.hpp"
#include "core/detect.hpp"

namespace vollan::py {

namespace {

constexpr FunctionSpec kScanArraysSpec = scan_spec("scan_arrays");

// Positions (starts, regions, change points, leaders) and votes are below the series' length,
// which fits an int64: their uint64 storage is read as int64 ("q"), the dtype numpy indexes
// with, without a copy. Window sizes come from the
// caller and may use all 64 bits ("Q").
constexpr const char* kPositions = "q";
constexpr const char* kSizes = "Q";
constexpr const char* kValues = "d";

static_assert(sizeof(Region) == 2 * sizeof(std::uint64_t) && std::is_standard_layout_v<Region>,
              "a region is read as a row of two int64");

// The scan's result in columns: one entry per distinct window size, ascending, as the keys of
// scan_detector's window_results and cp_dict; a repeated size keeps its last occurrence.
struct ScanColumns {
    std::vector<std::uint64_t> window_sizes;
    std::vector<std::uint64_t> cp_offsets;  // window j's change points: [cp_offsets[j], [j + 1])
    std::vector<std::uint64_t> cp_values;
    std::vector<WindowScanResult> windows;  // change_points left empty: they are in cp_values
    std::vector<std::uint64_t> leaders;
    std::vector<std::uint64_t> leader_votes;
    std::vector<double> leader_scores;
    std::vector<double> leader_probs;
    std::vector<std::uint64_t> cdf_positions;
    std::vector<double> cdf_values;
};

template <class Map>
void split_map(const Map& map, std::vector<std::uint64_t>& keys, auto& values) {
    keys.reserve(map.size());
    values.reserve(map.size());
    for (const auto& [key, value] : map) {
        keys.push_back(key);
        values.push_back(value);
    }
}

// Runs on the pool and the calling thread without the interpreter lock.
Result<ScanColumns> scan_columns(const ScanRequest& request) {
    auto output = run_scan_detector(request);
    if (!output) return error(std::move(output.error()));
    ScanColumns c;
    const std::size_t n_windows = output->window_results.size();
    c.window_sizes.reserve(n_windows);
    c.windows.reserve(n_windows);
    c.cp_offsets.reserve(n_windows + 1);
    c.cp_offsets.push_back(0);
    std::size_t n_points = 0;
    for (const auto& [w, points] : output->cp_dict) n_points += points.size();
    c.cp_values.reserve(n_points);
    for (const auto& [w, points] : output->cp_dict) {
        c.window_sizes.push_back(w);
        c.cp_values.insert(c.cp_values.end(), points.begin(), points.end());
        c.cp_offsets.push_back(c.cp_values.size());
    }
    for (auto& [w, window] : output->window_results) {
        window.change_points = {};
        c.windows.push_back(std::move(window));
    }
    const LeaderSummary& out = output->out;
    std::vector<std::uint64_t> keys;
    split_map(out.leaders_segment_votes, c.leaders, c.leader_votes);
    split_map(out.leaders_scores, keys, c.leader_scores);
    keys.clear();
    split_map(out.leaders_probs, keys, c.leader_probs);
    c.cdf_positions.reserve(out.cdf.size());
    c.cdf_values.reserve(out.cdf.size());
    for (const auto& [position, value] : out.cdf) {
        c.cdf_positions.push_back(position);
        c.cdf_values.push_back(value);
    }
    return c;
}

// One tuple per member of the windows, each holding one memoryview per window.
struct WindowTuples {
    Ref starts, statistics, thresholds, regions;
};

bool window_tuples(std::vector<WindowScanResult>& windows, WindowTuples& t) {
    const auto n = static_cast<Py_ssize_t>(windows.size());
    t.starts = Ref::steal(PyTuple_New(n));
    t.statistics = Ref::steal(PyTuple_New(n));
    t.thresholds = Ref::steal(PyTuple_New(n));
    t.regions = Ref::steal(PyTuple_New(n));
    if (!t.starts || !t.statistics || !t.thresholds || !t.regions) return false;
    for (Py_ssize_t j = 0; j < n; ++j) {
        WindowScanResult& r = windows[static_cast<std::size_t>(j)];
        PyObject* starts = memoryview_of(std::move(r.starts), kPositions);
        if (starts == nullptr) return false;
        PyTuple_SET_ITEM(t.starts.get(), j, starts);
        PyObject* statistics = memoryview_of(std::move(r.statistics), kValues);
        if (statistics == nullptr) return false;
        PyTuple_SET_ITEM(t.statistics.get(), j, statistics);
        PyObject* thresholds =
            memoryview_of(std::move(r.tapered_block_bootstrap_threshold), kValues);
        if (thresholds == nullptr) return false;
        PyTuple_SET_ITEM(t.thresholds.get(), j, thresholds);
        PyObject* regions = memoryview_of(std::move(r.localized_regions), kPositions, 2);
        if (regions == nullptr) return false;
        PyTuple_SET_ITEM(t.regions.get(), j, regions);
    }
    return true;
}

PyObject* columns_to_py(ScanColumns& c) {
    WindowTuples t;
    if (!window_tuples(c.windows, t)) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool built =
        dict_set_steal(d, "window_sizes", memoryview_of(std::move(c.window_sizes), kSizes)) &&
        dict_set_steal(d, "cp_offsets", memoryview_of(std::move(c.cp_offsets), kPositions)) &&
        dict_set_steal(d, "cp_values", memoryview_of(std::move(c.cp_values), kPositions)) &&
        dict_set_steal(d, "starts", t.starts.release()) &&
        dict_set_steal(d, "statistics", t.statistics.release()) &&
        dict_set_steal(d, "thresholds", t.thresholds.release()) &&
        dict_set_steal(d, "regions", t.regions.release()) &&
        dict_set_steal(d, "leaders", memoryview_of(std::move(c.leaders), kPositions)) &&
        dict_set_steal(d, "leader_votes", memoryview_of(std::move(c.leader_votes), kPositions)) &&
        dict_set_steal(d, "leader_scores", memoryview_of(std::move(c.leader_scores), kValues)) &&
        dict_set_steal(d, "leader_probs", memoryview_of(std::move(c.leader_probs), kValues)) &&
        dict_set_steal(d, "cdf_positions", memoryview_of(std::move(c.cdf_positions), kPositions)) &&
        dict_set_steal(d, "cdf_values", memoryview_of(std::move(c.cdf_values), kValues));
    return built ? dict.release() : nullptr;
}

constexpr char kPilot[] = "pilot";

// The keyword-only pilot factor: None, or a number of at least 1 (infinity allowed).
bool convert_pilot(PyObject* obj, std::optional<double>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyBool_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "pilot must be a number or None, not bool");
        return false;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "pilot must be a number or None, not %s",
                     type_qualname(obj).c_str());
        return false;
    }
    if (!(v >= 1.0)) {
        PyErr_Format(PyExc_ValueError,
                     "pilot must be at least 1 (a factor on the pilot's threshold) or None, got %R",
                     obj);
        return false;
    }
    out = v;
    return true;
}

PyObject* scan_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // `pilot` has no slot in the scan's own parameters, which are scan_detector's: it is taken
    // out of the keywords before those are bound.
    PyObject* pilot_arg = nullptr;
    std::vector<PyObject*> rest;
    Ref rest_names;
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n_kw; ++i) {
        if (!PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), kPilot)) continue;
        pilot_arg = args[nargs + i];
        rest.assign(args, args + nargs);
        rest_names = Ref::steal(PyTuple_New(n_kw - 1));
        if (!rest_names) return nullptr;
        Py_ssize_t k = 0;
        for (Py_ssize_t j = 0; j < n_kw; ++j) {
            if (j == i) continue;
            PyObject* name = PyTuple_GET_ITEM(kwnames, j);
            PyTuple_SET_ITEM(rest_names.get(), k++, Py_NewRef(name));
            rest.push_back(args[nargs + j]);
        }
        args = rest.data();
        kwnames = n_kw > 1 ? rest_names.get() : nullptr;
        break;
    }
    BoundScan bound;
    if (!bind_scan(kScanArraysSpec, args, nargs, kwnames, bound)) return nullptr;
    if (!convert_pilot(pilot_arg, bound.request.options.pilot_factor)) return nullptr;
    auto columns = run_core_released([&] { return scan_columns(bound.request); });
    if (!columns) return nullptr;
    if (!columns->has_value()) return raise_value_error(columns->error());
    return columns_to_py(**columns);
}

}  // namespace

PyMethodDef kScanKernels[] = {
    {"scan_arrays", as_cfunction<scan_arrays>(), METH_FASTCALL | METH_KEYWORDS,
     "scan_arrays(series, window_sizes=None, n_perm=300, alpha_q=1.0, seed=123, tol=2, "
     "workers=None, backend=\"thread\", change_type=\"mean\", b=None, taper_ratio=0.5, "
     "center=True, batch_size=32, *, pilot=None)\n--\n\n"
     "scan_detector's scan with its result as read-only memoryviews (see vollan._scanview).\n\n"
     "pilot: None (every threshold from n_perm replicates, scan_detector's result) or a factor\n"
     "c >= 1: each threshold starts from its first ceil(n_perm / 4) replicates and is completed\n"
     "only where a statistic lies between the exact lower bound they give and c times their\n"
     "threshold."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vollan::py
