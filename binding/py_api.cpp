// The seven entries: bind, convert in parameter order, check in the documented order, compute,
// build the result. Everything Python-facing lives here and in args.cpp.
#include "binding/py_api.hpp"

#include <cmath>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/entry.hpp"
#include "binding/scan_request.hpp"
#include "binding/words.hpp"
#include "core/detect.hpp"
#include "core/refine.hpp"
#include "core/stats.hpp"
#include "core/types.hpp"
#include "core/wasserstein.hpp"
#include "core/window_run.hpp"

namespace vollan::py {

namespace {

constexpr FunctionSpec kScanDetectorSpec = scan_spec("scan_detector");
const FunctionSpec kScanSingleWindowSpec{
    "scan_single_window",
    {"series", "window_size", "n_perm", "alpha_q", "seed", "change_type", "b", "taper_ratio",
     "center", "batch_size"},
    10,
    2};
const FunctionSpec kRefineCusumSpec{"refine_cusum", {"series"}, 1, 1};
const FunctionSpec kRefineWassersteinSpec{"refine_wasserstein", {"series"}, 1, 1};
const FunctionSpec kSwalStatisticSpec{"swal_statistic", {"series", "change_type"}, 2, 1};
const FunctionSpec kWassersteinStatisticSpec{"wasserstein_statistic", {"left", "right"}, 2, 2};
const FunctionSpec kIpmStatisticSpec{"ipm_statistic", {"left", "right"}, 2, 2};

// The core's checks of every whole-series entry, raised as ValueError; false when raised.
bool check_series_or_raise(const std::vector<double>& series) {
    auto checked = vollan::check_series(series);
    if (!checked) raise_value_error(checked.error());
    return checked.has_value();
}

// A new 2-tuple that takes over both members; nullptr if either is missing or on failure.
PyObject* pair_to_py(PyObject* first, PyObject* second) {
    Ref a = Ref::steal(first);
    Ref b = Ref::steal(second);
    if (!a || !b) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, a.release());
    PyTuple_SET_ITEM(pair, 1, b.release());
    return pair;
}

// A dict with int keys, in the map's (ascending) order, values made by to_py.
template <class Map, class ToPy>
PyObject* dict_from_map(const Map& map, ToPy to_py) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : map) {
        if (!dict_set_u64_steal(dict.get(), key, to_py(value))) return nullptr;
    }
    return dict.release();
}

PyObject* window_result_to_py(WindowScanResult result) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!dict_set_steal(dict.get(), "change_points", list_from_u64(result.change_points)) ||
        !dict_set_steal(dict.get(), "starts", list_from_u64(result.starts)) ||
        !dict_set_steal(dict.get(), "statistics", list_from_doubles(result.statistics)) ||
        !dict_set_steal(dict.get(), "tapered_block_bootstrap_threshold",
                        list_from_doubles(result.tapered_block_bootstrap_threshold))) {
        return nullptr;
    }
    const auto& regions = result.localized_regions;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(regions.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        PyObject* pair = pair_to_py(u64_to_py(regions[i].start), u64_to_py(regions[i].end));
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (!dict_set_steal(dict.get(), "localized_regions", list.release())) return nullptr;
    return dict.release();
}

// The "out" member: leaders' votes, scores, probabilities and the cdf along the series.
PyObject* summary_to_py(const LeaderSummary& summary) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!dict_set_steal(out.get(), "leaders_segment_votes",
                        dict_from_map(summary.leaders_segment_votes, u64_to_py)) ||
        !dict_set_steal(out.get(), "leaders_scores",
                        dict_from_map(summary.leaders_scores, PyFloat_FromDouble)) ||
        !dict_set_steal(out.get(), "leaders_probs",
                        dict_from_map(summary.leaders_probs, PyFloat_FromDouble))) {
        return nullptr;
    }
    Ref cdf = Ref::steal(PyList_New(static_cast<Py_ssize_t>(summary.cdf.size())));
    if (!cdf) return nullptr;
    for (std::size_t i = 0; i < summary.cdf.size(); ++i) {
        PyObject* pair = pair_to_py(u64_to_py(summary.cdf[i].first),
                                    PyFloat_FromDouble(summary.cdf[i].second));
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(cdf.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (!dict_set_steal(out.get(), "cdf", cdf.release())) return nullptr;
    return out.release();
}

// Runs the windows and builds the whole result. The calling thread converts each window as soon
// as it has finished, while the pool computes the others, and frees its buffers at once, so that
// the core's buffers and the Python objects of the same window are never all alive together.
PyObject* scan_windows_to_py(const ScanRequest& request) {
    auto started = run_core([&] { return WindowRun::start_scan(request); });
    if (!started) return nullptr;
    if (!started->has_value()) return raise_value_error(started->error());
    WindowRun& run = ***started;
    const std::size_t n_windows = run.size();

    const GcPause pause;
    std::vector<Ref> built(n_windows);
    std::vector<std::vector<std::uint64_t>> change_points(n_windows);
    bool building = true;
    while (true) {
        auto next = run_core([&] { return run.next_finished(); });
        if (!next) return nullptr;  // the run has ended: the exception of the computation is set
        if (!*next) break;
        const std::size_t j = **next;
        auto& outcome = run.outcome(j);
        // After a failed conversion the rest is only waited for; a window's error text still wins.
        if (!building || !outcome) continue;
        change_points[j] = outcome->change_points;
        built[j] = Ref::steal(window_result_to_py(std::move(*outcome)));
        building = static_cast<bool>(built[j]);
    }
    for (std::size_t j = 0; j < n_windows; ++j) {
        if (!run.outcome(j)) {
            PyErr_Clear();
            return raise_value_error(run.outcome(j).error());
        }
    }
    if (!building) return nullptr;

    // Keyed by window size in ascending order; a repeated size keeps its last occurrence, whose
    // result is the same.
    ChangePointMap cp_dict;
    std::map<std::uint64_t, std::size_t> last_of;
    for (std::size_t j = 0; j < n_windows; ++j) {
        cp_dict[run.window_size(j)] = std::move(change_points[j]);
        last_of[run.window_size(j)] = j;
    }
    auto summary = run_core([&] { return vote_across_windows(cp_dict, request.tol); });
    if (!summary) return nullptr;
    if (!summary->has_value()) return raise_value_error(summary->error());

    Ref outer = Ref::steal(PyDict_New());
    if (!outer) return nullptr;
    if (!dict_set_steal(outer.get(), "cp_dict", dict_from_map(cp_dict, list_from_u64))) {
        return nullptr;
    }
    Ref windows = Ref::steal(PyDict_New());
    if (!windows) return nullptr;
    for (const auto& [w, j] : last_of) {
        if (!dict_set_u64_steal(windows.get(), w, built[j].release())) return nullptr;
    }
    if (!dict_set_steal(outer.get(), "window_results", windows.release()) ||
        !dict_set_steal(outer.get(), "out", summary_to_py(**summary))) {
        return nullptr;
    }
    return outer.release();
}

PyObject* scan_detector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundScan bound;
    if (!bind_scan(kScanDetectorSpec, args, nargs, kwnames, bound)) return nullptr;
    return scan_windows_to_py(bound.request);
}

PyObject* scan_single_window(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    Slots slots;
    if (!bind_arguments(kScanSingleWindowSpec, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> series;
    WindowRequest request;
    std::string_view change_type = "mean";
    std::uint64_t batch_size = 32;
    Converter c(kScanSingleWindowSpec, slots);
    c.f64_seq(series)
        .u64(request.window_size)
        .u64(request.options.n_perm)
        .f64(request.options.alpha_q)
        .u64(request.options.seed)
        .text(change_type)
        .opt_u64(request.options.b)
        .f64(request.options.taper_ratio)
        .boolean(request.options.center)
        .u64(batch_size);
    if (!c.ok()) return nullptr;
    request.series = series;
    // The word is read after the checks of the series and the window size, which come first.
    if (!check_series_or_raise(series)) return nullptr;
    if (request.window_size != 0) {
        auto parsed = parse_change_type(change_type);
        if (!parsed) return raise_value_error(parsed.error());
        request.options.change_type = *parsed;
    }
    auto outcome = run_core([&] { return run_single_window(request); });
    if (!outcome) return nullptr;
    if (!outcome->has_value()) return raise_value_error(outcome->error());
    const GcPause pause;
    return window_result_to_py(std::move(**outcome));
}

PyObject* refine_cusum(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots slots;
    if (!bind_arguments(kRefineCusumSpec, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> series;
    if (!Converter(kRefineCusumSpec, slots).f64_seq(series).ok()) return nullptr;
    if (!check_series_or_raise(series)) return nullptr;
    return u64_to_py(cusum_split(series));
}

PyObject* refine_wasserstein(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    Slots slots;
    if (!bind_arguments(kRefineWassersteinSpec, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> series;
    if (!Converter(kRefineWassersteinSpec, slots).f64_seq(series).ok()) return nullptr;
    if (!check_series_or_raise(series)) return nullptr;
    auto outcome = run_core([&] {
        std::vector<double> stats(series.size(), std::bit_cast<double>(kQuietNanBits));
        const std::size_t k = wasserstein_split(series, stats);
        return std::make_pair(k, std::move(stats));
    });
    if (!outcome) return nullptr;
    Ref k = Ref::steal(u64_to_py(outcome->first));
    if (!k) return nullptr;
    Ref list = Ref::steal(list_from_doubles(outcome->second));
    if (!list) return nullptr;
    return PyTuple_Pack(2, k.get(), list.get());
}

PyObject* swal_statistic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots slots;
    if (!bind_arguments(kSwalStatisticSpec, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> series;
    std::string_view change_type = "distribution";
    if (!Converter(kSwalStatisticSpec, slots).f64_seq(series).text(change_type).ok()) {
        return nullptr;
    }
    if (!check_series_or_raise(series)) return nullptr;
    auto parsed = parse_change_type(change_type);
    if (!parsed) return raise_value_error(parsed.error());
    auto outcome = run_core([&] { return refine_for_change_type(series, *parsed); });
    if (!outcome) return nullptr;
    if (!outcome->has_value()) return raise_value_error(outcome->error());
    return u64_to_py(**outcome);
}

PyObject* two_sample_distance(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Slots slots;
    if (!bind_arguments(spec, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> left;
    std::vector<double> right;
    if (!Converter(spec, slots).f64_seq(left).f64_seq(right).ok()) return nullptr;
    if (left.empty() || right.empty()) {
        return raise_value_error("left and right samples must be non-empty");
    }
    if (!all_finite(left) || !all_finite(right)) {
        return raise_value_error("samples contain NaN or infinite values");
    }
    // The converted vectors are this call's own copies: sort them in place.
    sort_total_order(left);
    sort_total_order(right);
    return PyFloat_FromDouble(wasserstein_1d_sorted(left, right));
}

PyObject* wasserstein_statistic(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return two_sample_distance(kWassersteinStatisticSpec, args, nargs, kwnames);
}

PyObject* ipm_statistic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_sample_distance(kIpmStatisticSpec, args, nargs, kwnames);
}

}  // namespace

PyMethodDef kEntries[] = {
    {"scan_detector", as_cfunction<scan_detector>(), METH_FASTCALL | METH_KEYWORDS,
     "scan_detector(series, window_sizes=None, n_perm=300, alpha_q=1.0, seed=123, tol=2, "
     "workers=None, backend=\"thread\", change_type=\"mean\", b=None, taper_ratio=0.5, "
     "center=True, batch_size=32)\n--\n\n"},
    {"scan_single_window", as_cfunction<scan_single_window>(), METH_FASTCALL | METH_KEYWORDS,
     "scan_single_window(series, window_size, n_perm=300, alpha_q=1.0, seed=123, "
     "change_type=\"mean\", b=None, taper_ratio=0.5, center=True, batch_size=32)\n--\n\n"},
    {"refine_cusum", as_cfunction<refine_cusum>(), METH_FASTCALL | METH_KEYWORDS,
     "refine_cusum(series)\n--\n\n"},
    {"refine_wasserstein", as_cfunction<refine_wasserstein>(), METH_FASTCALL | METH_KEYWORDS,
     "refine_wasserstein(series)\n--\n\n"},
    {"swal_statistic", as_cfunction<swal_statistic>(), METH_FASTCALL | METH_KEYWORDS,
     "swal_statistic(series, change_type=\"distribution\")\n--\n\n"},
    {"wasserstein_statistic", as_cfunction<wasserstein_statistic>(), METH_FASTCALL | METH_KEYWORDS,
     "wasserstein_statistic(left, right)\n--\n\n"},
    {"ipm_statistic", as_cfunction<ipm_statistic>(), METH_FASTCALL | METH_KEYWORDS,
     "ipm_statistic(left, right)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vollan::py
