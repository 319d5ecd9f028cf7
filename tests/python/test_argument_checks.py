"""What vollan.detect refuses before the scan: series without an order, and options of the
wrong type or out of the engine's range, each named in a TypeError or ValueError."""

from __future__ import annotations

import array
import collections
import re
import types
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from vollan.api import _check_options, detect

# A clear shift at 60 in 120 values.
SERIES = list(np.r_[np.zeros(60), np.full(60, 5.0)] + np.random.default_rng(1).normal(size=120))
# The positional options of _check_options at their defaults: alpha, min_score, min_contrast,
# detrend, change_type, outliers.
DEFAULTS = (0.05, 0.5, "auto", None, "distribution", "omit")


# Series and labels ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("series", "message"),
    [
        (dict(enumerate(SERIES)), "not dict; pass its values, and its keys as labels"),
        (collections.Counter(SERIES), "not Counter; pass its values"),
        (types.MappingProxyType(dict(enumerate(SERIES))), "not mappingproxy; pass its values"),
        (set(SERIES), "not set, whose order is arbitrary"),
        (frozenset(SERIES), "not frozenset, whose order is arbitrary"),
        (dict.fromkeys(SERIES).keys(), "not dict_keys, whose order is arbitrary"),
    ],
)
def test_unordered_series_are_refused(series, message):
    with pytest.raises(
        TypeError, match="^series must be an ordered sequence of numbers, " + message
    ):
        detect(series)


@pytest.mark.parametrize(
    "make",
    [
        tuple,
        lambda s: array.array("d", s),
        lambda s: memoryview(array.array("d", s)),
        collections.deque,
        lambda s: dict(enumerate(s)).values(),
        iter,
        lambda s: (v for v in s),
        np.asarray,
        lambda s: pytest.importorskip("pandas").Index(s),
    ],
)
def test_ordered_containers_are_still_series(make):
    assert detect(make(SERIES)) == detect(SERIES)


@pytest.mark.parametrize(
    ("labels", "name"), [(set(range(120)), "set"), (dict.fromkeys(range(120)), "dict")]
)
def test_unordered_labels_are_refused(labels, name):
    message = f"^labels must be an ordered sequence \\(one label per value\\) or None, not {name}$"
    with pytest.raises(TypeError, match=message):
        detect(SERIES, labels=labels)


# Options that are numbers ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"alpha": "0.1"}, "alpha must be a number, not str"),
        ({"alpha": True}, "alpha must be a number, not bool"),
        ({"alpha": 0.05j}, "alpha must be a number, not complex"),
        ({"alpha": np.complex128(0.05)}, "alpha must be a number, not complex128"),
        ({"alpha": None}, "alpha must be a number, not NoneType"),
        ({"alpha": np.array([0.05, 0.1])}, "alpha must be a number, not ndarray"),
        ({"min_score": "0.5"}, "min_score must be a number, not str"),
        ({"min_contrast": [1.0]}, "min_contrast must be a number, 'auto' or None, not list"),
        ({"min_contrast": False}, "min_contrast must be a number, 'auto' or None, not bool"),
    ],
)
def test_numbers_of_the_wrong_type_are_named(options, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        detect(SERIES, **options)


@pytest.mark.parametrize(
    "alpha", [np.float32(0.05), np.float64(0.05), Fraction(1, 20), Decimal("0.05"), np.array(0.05)]
)
def test_numbers_of_other_types_still_count(alpha):
    assert detect(SERIES, alpha=alpha).change_points == detect(SERIES).change_points


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"alpha": 0.0}, r"alpha must be in \(0, 1\], got 0.0"),
        ({"alpha": Fraction(1, 10**400)}, r"alpha must be in \(0, 1\], got 1/1"),
        ({"min_score": np.float64(1.5)}, r"min_score must be in \[0, 1\], got 1.5"),
        ({"min_contrast": Decimal("-1")}, "min_contrast must be at least 0, 'auto' or None"),
    ],
)
def test_numbers_out_of_range_keep_their_messages(options, message):
    # Fraction(1, 10**400) becomes 0.0 on the way to the engine: it is judged as such.
    with pytest.raises(ValueError, match=message):
        detect(SERIES, **options)


# Integer options ------------------------------------------------------------------------------
#
# detect hands window_sizes, n_perm, seed, tol and workers to the engine, which holds them in
# unsigned 64 bits. _check_options refuses the ones it cannot take, naming them.

U64 = 2**64 - 1
WORKERS = "workers must be None (the shared pool) or an integer"
N_PERM = "n_perm must be None (the default) or an integer"
SIZES = "window_sizes must be a sequence of integers"
BAD_INTEGERS = [
    ({"workers": -1}, ValueError, f"{WORKERS} from 0 to 65535, got -1"),
    ({"workers": 2**70}, ValueError, f"{WORKERS} from 0 to 65535, got {2**70}"),
    ({"workers": 65536}, ValueError, f"{WORKERS} from 0 to 65535, got 65536"),
    ({"workers": 2.0}, TypeError, f"{WORKERS}, not float"),
    ({"workers": "2"}, TypeError, f"{WORKERS}, not str"),
    ({"workers": True}, TypeError, f"{WORKERS}, not bool"),
    ({"seed": -1}, ValueError, "seed must be an integer from 0 to 2**64 - 1, got -1"),
    ({"seed": 2**64}, ValueError, f"seed must be an integer from 0 to 2**64 - 1, got {2**64}"),
    ({"seed": 1.5}, TypeError, "seed must be an integer, not float"),
    ({"seed": None}, TypeError, "seed must be an integer, not NoneType"),
    ({"seed": np.bool_(True)}, TypeError, "seed must be an integer, not bool"),
    ({"n_perm": -5}, ValueError, f"{N_PERM} from 0 to 2**64 - 1, got -5"),
    ({"n_perm": 2**64}, ValueError, f"{N_PERM} from 0 to 2**64 - 1, got {2**64}"),
    ({"n_perm": 2.5}, TypeError, f"{N_PERM}, not float"),
    ({"tol": -1}, ValueError, "tol must be an integer from 0 to 2**64 - 1, got -1"),
    ({"tol": 2**64}, ValueError, f"tol must be an integer from 0 to 2**64 - 1, got {2**64}"),
    ({"tol": "2"}, TypeError, "tol must be an integer, not str"),
    ({"window_sizes": [10.9]}, TypeError, f"{SIZES}, not of float (10.9)"),
    ({"window_sizes": ["12"]}, TypeError, f"{SIZES}, not of str ('12')"),
    ({"window_sizes": [10, True]}, TypeError, f"{SIZES}, not of bool (True)"),
    ({"window_sizes": np.array([10.0, 12.0])}, TypeError, f"{SIZES}, not of float64"),
    ({"window_sizes": "12"}, TypeError, f"{SIZES} or None, not str"),
    ({"window_sizes": 12}, TypeError, f"{SIZES} or None, not int"),
    ({"window_sizes": {10: 1}}, TypeError, f"{SIZES} or None, not dict"),
    # A factory: each test gets a generator of its own.
    (lambda: {"window_sizes": (w for w in (10, 12))}, TypeError, f"{SIZES} or None, not generator"),
    (
        {"window_sizes": [10, 2**63]},
        ValueError,
        f"window sizes must be at most 2**63 - 1, got {2**63}",
    ),
]


@pytest.mark.parametrize(("options", "error", "message"), BAD_INTEGERS)
def test_integer_options_are_checked_by_name(options, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        _check_options(*DEFAULTS, **(options() if callable(options) else options))


@pytest.mark.parametrize(
    "options",
    [
        {"workers": None},
        {"workers": 0},  # as None, as it always was
        {"workers": 1},
        {"workers": np.int64(2)},
        {"workers": 65535},  # the most threads an engine pool holds
        {"seed": 0},
        {"seed": np.uint64(U64)},
        {"n_perm": None},
        {"n_perm": 0},
        {"n_perm": 10**8},
        {"tol": 0},
        {"window_sizes": None},
        {"window_sizes": [4, 2**63 - 1]},
        {"window_sizes": (10, np.int32(12))},
        {"window_sizes": np.array([10, 12])},
        {"window_sizes": range(10, 13)},
        {"window_sizes": {12, 10}},
        # Sizes below 4 are left to the window checks, which say why they are too small.
        {"window_sizes": [-1, 3]},
    ],
)
def test_integer_options_in_range_pass(options):
    _check_options(*DEFAULTS, **options)


@pytest.mark.parametrize(("options", "error", "message"), BAD_INTEGERS)
def test_detect_names_integer_options_out_of_range(options, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        detect(SERIES, **(options() if callable(options) else options))


def test_window_sizes_below_4_keep_their_message():
    with pytest.raises(ValueError, match="window sizes must be at least 4, got -1"):
        detect(SERIES, window_sizes=[-1, 10])


def test_a_tiny_alpha_takes_the_most_replicates() -> None:
    # 10 K / alpha overflowed to infinity, and ceil(inf) raised OverflowError.
    from vollan.pipeline.windows import MAX_DEFAULT_N_PERM, default_n_perm

    assert default_n_perm(500, 10, 1e-320) == MAX_DEFAULT_N_PERM
    assert detect(SERIES, alpha=1e-320).n_perm == MAX_DEFAULT_N_PERM
