"""Properties of the seven functions over arbitrary argument objects.

Whatever a caller passes, a call returns the documented result type or raises one of the
documented exception types: binding and conversion failures (TypeError, OverflowError, the
interpreter's encoding errors, whatever an argument's own protocol methods raise), value checks
(ValueError) and unallocatable sizes (MemoryError). A crash ends the whole test run.

The example counts are small so that `make test` stays fast, and the examples are derandomised so
that CI is reproducible. `make fuzz-properties` runs the same properties with many random examples
(VOLLAN_PROPERTY_EXAMPLES, VOLLAN_PROPERTY_RANDOM=1).
"""

from __future__ import annotations

import inspect
import math
import os
import struct
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _vollan_native as native

SETTINGS = settings(
    max_examples=int(os.environ.get("VOLLAN_PROPERTY_EXAMPLES", "60")),
    derandomize=os.environ.get("VOLLAN_PROPERTY_RANDOM") != "1",
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

# The parameter lists as the module documents them (their exact text is tested elsewhere).
PARAMS: dict[str, list[str]] = {
    name: list(inspect.signature(getattr(native, name)).parameters) for name in native.__all__
}
REQUIRED = {
    name: sum(
        p.default is inspect.Parameter.empty
        for p in inspect.signature(getattr(native, name)).parameters.values()
    )
    for name in native.__all__
}
# Unsigned parameters whose size sets the amount of work or memory: kept small when valid.
COSTLY = {"n_perm", "window_size", "workers", "b"}

# Exceptions the interpreter itself raises from conversions and iteration. Warnings appear
# because the suite runs with -W error: numpy warns when an array of more than one dimension or a
# complex value is read as a float, and the interpreter when __float__ returns a float subclass.
# Iterating a multi-dimensional memoryview raises NotImplementedError.
INTERPRETER_ERRORS = (
    TypeError,
    OverflowError,
    ValueError,
    UnicodeError,
    MemoryError,
    NotImplementedError,
    Warning,
)


class Hostile(Exception):
    """Raised by the argument objects below; must reach the caller unchanged."""


class HostileTypeError(TypeError):
    """A TypeError subclass, which the argument rule passes on unchanged."""


RAISED: list[BaseException] = []


def hostile_raise(kind: int) -> None:
    exc: BaseException
    if kind == 0:
        exc = Hostile("hostile")
    elif kind == 1:
        exc = TypeError("hostile type error")
    elif kind == 2:
        exc = HostileTypeError("hostile subclass")
    elif kind == 3:
        exc = ValueError("hostile value error")
    else:
        exc = OverflowError("hostile overflow")
    RAISED.append(exc)
    raise exc


class RaisingFloat:
    def __init__(self, kind: int) -> None:
        self.kind = kind

    def __float__(self) -> float:
        hostile_raise(self.kind)
        return 0.0


class RaisingIndex:
    def __init__(self, kind: int) -> None:
        self.kind = kind

    def __index__(self) -> int:
        hostile_raise(self.kind)
        return 0


class Number:
    """Offers __float__ and __index__ returning what it was given, right or wrong."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __float__(self) -> Any:
        return self.value

    def __index__(self) -> Any:
        return self.value


class Reentrant:
    """Converts by calling the module again, in the middle of the outer call's conversion."""

    def __float__(self) -> float:
        return float(native.refine_cusum([0.0, 0.0, 3.0]))

    def __index__(self) -> int:
        return native.refine_cusum([0.0, 0.0, 0.0, 3.0])


def fake_numpy_bool(name: str, truth: Any) -> Any:
    """An object whose type claims to be numpy's boolean: its truth slot decides, or fails."""
    namespace: dict[str, Any] = {"__module__": "numpy"}
    if truth == "raises":

        def __bool__(self: Any) -> bool:
            hostile_raise(0)
            return True

        namespace["__bool__"] = __bool__
    elif truth is not None:
        namespace["__bool__"] = lambda self: truth
    return type(name, (), namespace)()


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class LyingSequence:
    """A sequence whose length lies or raises, and whose items may raise part of the way."""

    def __init__(self, items: list[Any], length: int | None, fail_at: int | None, kind: int):
        self.items = items
        self.length = length
        self.fail_at = fail_at
        self.kind = kind

    def __len__(self) -> int:
        if self.length is None:
            hostile_raise(self.kind)
        return self.length  # type: ignore[return-value]

    def __getitem__(self, i: int) -> Any:
        if i == self.fail_at:
            hostile_raise(self.kind)
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


class OddIterator(LyingSequence):
    """A sequence whose __iter__ yields other items than indexing, or is broken."""

    def __init__(self, items: list[Any], mode: int) -> None:
        super().__init__([0.0], 1, None, 0)
        self.iter_items = items
        self.mode = mode

    def __iter__(self) -> Any:
        if self.mode == 0:
            return iter(self.iter_items)
        if self.mode == 1:
            return 42  # not an iterator: the interpreter raises TypeError
        hostile_raise(self.mode - 2)
        return None


class ClearsHost:
    """An item whose float conversion empties the list that is being converted."""

    def __init__(self, host: list[Any]) -> None:
        self.host = host

    def __float__(self) -> float:
        self.host.clear()
        return 1.0


@st.composite
def clearing_list(draw: st.DrawFn) -> list[Any]:
    host: list[Any] = draw(st.lists(st.floats(allow_nan=False), max_size=6))
    host.insert(draw(st.integers(0, len(host))), ClearsHost(host))
    return host


def numpy_arrays() -> st.SearchStrategy[np.ndarray]:
    dtypes = st.one_of(
        hnp.scalar_dtypes(),
        hnp.byte_string_dtypes(max_len=3),
        hnp.unicode_string_dtypes(max_len=3),
        hnp.floating_dtypes(endianness="="),
        hnp.floating_dtypes(endianness=">"),
        hnp.integer_dtypes(endianness="<"),
        st.just(np.dtype(object)),
    )

    @st.composite
    def build(draw: st.DrawFn) -> np.ndarray:
        dtype = draw(dtypes)
        if dtype == np.dtype(object):
            arr = np.empty(draw(st.integers(0, 6)), dtype=object)
            for i in range(arr.size):
                arr[i] = draw(scalars)
            return arr
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=7))
        arr = draw(hnp.arrays(dtype, shape))
        if arr.ndim == 1 and arr.size > 1 and draw(st.booleans()):
            arr = arr[:: draw(st.sampled_from([2, -1]))]  # not contiguous, or reversed
        return arr

    return build()


scalars: st.SearchStrategy[Any] = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, 2**63, 2**64 - 1, 2**64, -1, 10**400, -(10**400)]),
    st.floats(),
    st.complex_numbers(max_magnitude=1e6),
    st.text(max_size=6),
    st.sampled_from(["mean", "VAR", "Distribution", "thread", "PROCESS", "\udc80", "", "µ"]),
    st.binary(max_size=6),
    st.builds(StrSub, st.sampled_from(["mean", "var", "thread", "x"])),
    st.builds(FloatSub, st.floats()),
    st.builds(IntSub, st.integers(-5, 2**65)),
    st.builds(RaisingFloat, st.integers(0, 4)),
    st.builds(RaisingIndex, st.integers(0, 4)),
    st.builds(
        Number,
        st.one_of(st.integers(-3, 2**65), st.floats(), st.just("x"), st.builds(FloatSub)),
    ),
    hnp.from_dtype(np.dtype("float64")),
    hnp.from_dtype(np.dtype("int64")),
    hnp.from_dtype(np.dtype("uint8")),
    hnp.from_dtype(np.dtype("float32")),
    hnp.from_dtype(np.dtype("bool")),
    hnp.from_dtype(np.dtype("complex128")),
    st.just(np.datetime64("2020-01-01")),
    st.builds(Reentrant),
    st.builds(
        fake_numpy_bool,
        st.sampled_from(["bool_", "bool", "bool8"]),
        st.sampled_from([True, False, 1, None, "raises"]),
    ),
)


def sequences(items: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    small = st.lists(items, max_size=8)
    return st.one_of(
        small,
        small.map(tuple),
        st.lists(st.floats(), max_size=40),
        st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=3, max_size=40),
        st.builds(range, st.integers(-3, 3), st.integers(0, 40)),
        st.binary(max_size=30),
        st.builds(bytearray, st.binary(max_size=10)),
        st.builds(
            LyingSequence,
            small,
            st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1)),
            st.one_of(st.none(), st.integers(0, 8)),
            st.integers(0, 4),
        ),
        st.builds(OddIterator, small, st.integers(0, 6)),
        clearing_list(),
        numpy_arrays(),
        st.lists(st.floats(), max_size=6).map(lambda v: memoryview(np.array(v))),
        st.lists(st.floats(), max_size=6).map(lambda v: memoryview(np.array([v, v]))),
        st.sampled_from([{1.0, 2.0}, {0: 1.0}, iter([1.0, 2.0, 3.0]), object()]),
    )


anything = st.deferred(lambda: st.one_of(scalars, sequences(scalars)))


def check_result(name: str, result: Any) -> None:
    """The documented result type of each function."""
    if name in ("refine_cusum", "swal_statistic"):
        assert type(result) is int and result >= 1
    elif name == "refine_wasserstein":
        assert type(result) is tuple and len(result) == 2
        k, stats = result
        assert type(k) is int and type(stats) is list
        assert 1 <= k < len(stats) and math.isnan(stats[0])
        assert all(type(v) is float for v in stats)
    elif name in ("wasserstein_statistic", "ipm_statistic"):
        assert type(result) is float
    elif name == "scan_single_window":
        check_window_result(result)
    else:
        assert type(result) is dict and list(result) == ["cp_dict", "window_results", "out"]
        assert list(result["cp_dict"]) == list(result["window_results"])
        for w, window in result["window_results"].items():
            assert type(w) is int
            check_window_result(window)
            assert result["cp_dict"][w] == window["change_points"]
        out = result["out"]
        assert list(out) == ["leaders_segment_votes", "leaders_scores", "leaders_probs", "cdf"]
        assert all(type(pair) is tuple and len(pair) == 2 for pair in out["cdf"])


def check_window_result(window: Any) -> None:
    assert type(window) is dict
    assert list(window) == [
        "change_points",
        "starts",
        "statistics",
        "tapered_block_bootstrap_threshold",
        "localized_regions",
    ]
    assert all(type(v) is list for v in window.values())
    assert len(window["starts"]) == len(window["statistics"])
    assert len(window["starts"]) == len(window["tapered_block_bootstrap_threshold"])
    assert len(window["change_points"]) == len(window["localized_regions"])
    for cp, region in zip(window["change_points"], window["localized_regions"], strict=True):
        assert type(region) is tuple and region[0] < cp < region[1]


def check_exception(name: str, exc: BaseException) -> None:
    """The exception of a failed call is documented, and the argument rule was applied."""
    assert isinstance(exc, (*INTERPRETER_ERRORS, Hostile)), repr(exc)
    if isinstance(exc, (Hostile, HostileTypeError)) or str(exc).startswith("hostile"):
        # Raised by an argument object: the very object passes, unless the argument rule
        # replaced an exact TypeError (checked below).
        if type(exc) is not TypeError:
            assert RAISED and exc is RAISED[-1]
    if type(exc) is TypeError:
        prefixes = tuple(f"argument '{p}': " for p in PARAMS[name])
        assert str(exc).startswith(prefixes), str(exc)


def call_and_check(name: str, args: list[Any], kwargs: dict[str, Any]) -> None:
    RAISED.clear()
    try:
        result = getattr(native, name)(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - every exception is judged, none may escape
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        check_exception(name, exc)
    else:
        check_result(name, result)


@st.composite
def hostile_call(draw: st.DrawFn, name: str) -> tuple[list[Any], dict[str, Any]]:
    """Arbitrary objects for every parameter, some given by position, some by keyword."""
    params = PARAMS[name]
    values: dict[str, Any] = {}
    for i, p in enumerate(params):
        if i >= REQUIRED[name] and draw(st.booleans()):
            continue  # omitted
        value = draw(anything)
        if p in COSTLY and isinstance(value, int) and value > 64:
            value = value % 65  # a valid but huge n_perm or window size only costs time
        if p == "window_sizes" and isinstance(value, (list, tuple)):
            value = [v % 65 if isinstance(v, int) and v > 64 else v for v in value]
        values[p] = value
    n_positional = draw(st.integers(0, REQUIRED[name]))
    args = [values.pop(p) for p in params[:n_positional]]
    return args, values


@pytest.mark.parametrize("name", list(PARAMS))
def test_arbitrary_arguments_give_a_result_or_a_documented_error(name: str) -> None:
    @SETTINGS
    @given(hostile_call(name))
    def run(call: tuple[list[Any], dict[str, Any]]) -> None:
        call_and_check(name, *call)

    run()


@SETTINGS
@given(st.sampled_from(list(PARAMS)), sequences(scalars), sequences(scalars), st.booleans())
def test_series_conversions_of_arbitrary_objects(
    name: str, first: Any, second: Any, as_keyword: bool
) -> None:
    # Series-like arguments are where hostile objects do the most damage: cover them densely.
    values = {
        "scan_single_window": [first, 3],
        "wasserstein_statistic": [first, second],
        "ipm_statistic": [second, first],
    }.get(name, [first])
    if as_keyword:
        call_and_check(name, [], dict(zip(PARAMS[name], values, strict=False)))
    else:
        call_and_check(name, values, {})


# Values with a known conversion outcome, by conversion: (value, canonical form or the exception
# type of the conversion). Canonical forms are what an equivalent plain call would pass.
class Idx:
    def __init__(self, v: int) -> None:
        self.v = v

    def __index__(self) -> int:
        return self.v


class Flt:
    def __init__(self, v: float) -> None:
        self.v = v

    def __float__(self) -> float:
        return self.v


U64_OK = [(0, 0), (1, 1), (True, 1), (False, 0), (np.uint8(3), 3), (np.int64(7), 7), (Idx(5), 5)]
U64_BIG = [(2**64 - 1, 2**64 - 1), (IntSub(2**63), 2**63), (np.uint64(2**63 + 5), 2**63 + 5)]
U64_BAD = [
    (-1, OverflowError),
    (2**64, OverflowError),
    (np.int32(-4), OverflowError),
    (Idx(-1), OverflowError),
    (2.0, TypeError),
    (np.float64(3.0), TypeError),
    ("3", TypeError),
    (b"3", TypeError),
    ([3], TypeError),
    (1j, TypeError),
]
F64_OK = [
    (0.25, 0.25),
    (3, 3.0),
    (True, 1.0),
    (np.float32(0.5), 0.5),
    (np.int16(-2), -2.0),
    (FloatSub(0.75), 0.75),
    (Flt(1.5), 1.5),
    (Idx(4), 4.0),
    (math.nan, math.nan),
    (-math.inf, -math.inf),
]
F64_BAD = [
    ("0.5", TypeError),
    (None, TypeError),
    ([0.5], TypeError),
    (b"x", TypeError),
    (2**1024, OverflowError),
    (Idx(2**1024), OverflowError),
]
BOOL_OK = [(True, True), (False, False), (np.True_, True), (np.bool_(False), False)]
BOOL_BAD = [(1, TypeError), (None, TypeError), ("True", TypeError), (np.int8(1), TypeError)]
TEXT_OK = [(StrSub("Mean"), "Mean")]
TEXT_BAD = [(b"mean", TypeError), (None, TypeError), (5, TypeError), ("\udc80", UnicodeEncodeError)]
BASE_SERIES = [0.0, 0.0, 0.5, 3.0, 3.5, 3.0, 0.0, 0.25, 1.0, 4.0, 4.5, 4.0] * 3
SEQ_OK = [
    (tuple(BASE_SERIES), BASE_SERIES),
    (np.array(BASE_SERIES), BASE_SERIES),
    (np.array(BASE_SERIES, dtype=">f8"), BASE_SERIES),
    (np.array(BASE_SERIES, dtype=np.float32), BASE_SERIES),
    ([np.float64(v) for v in BASE_SERIES], BASE_SERIES),
    ([FloatSub(v) for v in BASE_SERIES], BASE_SERIES),
    (range(30), [float(v) for v in range(30)]),
    (bytes(range(20)), [float(v) for v in range(20)]),
    ([1.0, 2.0], [1.0, 2.0]),
    ([1.0, math.nan, 2.0], [1.0, math.nan, 2.0]),
]
SEQ_BAD = [
    ("abc", TypeError),
    (5, TypeError),
    ({1.0, 2.0, 3.0}, TypeError),
    ([1.0, "x", 2.0], TypeError),
    ([1.0, None, 2.0], TypeError),
    ([1.0, 2**1024, 2.0], OverflowError),
]
USEQ_OK = [([8, 4], [8, 4]), ((np.uint8(6),), [6]), (range(5, 8), [5, 6, 7]), ([4, True], [4, 1])]
USEQ_BAD = [
    ([4, -1], OverflowError),
    ([4.0], TypeError),
    ("48", TypeError),
    (4, TypeError),
    ([4, 2**64], OverflowError),
]

KNOWN: dict[str, tuple[list[Any], list[Any], list[Any]]] = {
    # conversion: (valid values, valid values that only cheap parameters get, refused values)
    "series": (SEQ_OK, [], SEQ_BAD),
    "left": (SEQ_OK, [], SEQ_BAD),
    "right": (SEQ_OK, [], SEQ_BAD),
    "window_sizes": (USEQ_OK + [(None, None)], [], USEQ_BAD),
    "window_size": (U64_OK + [(4, 4), (6, 6)], [], U64_BAD + [(None, TypeError)]),
    "n_perm": (U64_OK + [(70, 70)], [], U64_BAD + [(None, TypeError)]),
    "seed": (U64_OK, U64_BIG, U64_BAD + [(None, TypeError)]),
    "tol": (U64_OK, U64_BIG, U64_BAD + [(None, TypeError)]),
    "batch_size": (U64_OK, U64_BIG, U64_BAD + [(None, TypeError)]),
    "workers": (U64_OK + [(None, None)], [], U64_BAD),
    "b": (U64_OK + [(None, None), (9, 9)], [], U64_BAD),
    "alpha_q": (F64_OK, [], F64_BAD),
    "taper_ratio": (F64_OK, [], F64_BAD),
    "center": (BOOL_OK, [], BOOL_BAD),
    "backend": (TEXT_OK + [("thread", "thread"), ("Process", "Process"), ("x", "x")], [], TEXT_BAD),
    "change_type": (
        TEXT_OK + [("var", "var"), ("DISTRIBUTION", "DISTRIBUTION"), ("median", "median")],
        [],
        TEXT_BAD,
    ),
}


@st.composite
def known_call(draw: st.DrawFn, name: str) -> tuple[dict[str, Any], dict[str, Any], Any]:
    """Arguments from the tables above, the same call in canonical form, and the expected
    failure: (parameter, exception type) of the first refused value in parameter order."""
    given_: dict[str, Any] = {}
    canonical: dict[str, Any] = {}
    first_bad = None
    for i, p in enumerate(PARAMS[name]):
        if i >= REQUIRED[name] and draw(st.booleans()):
            continue
        ok, ok_cheap, bad = KNOWN[p]
        pool = ok + ok_cheap if p not in COSTLY else ok
        refuse = draw(st.integers(0, 5)) == 0
        value, outcome = draw(st.sampled_from(bad if refuse else pool))
        given_[p] = value
        if refuse:
            if first_bad is None:
                first_bad = (p, outcome)
        else:
            canonical[p] = outcome
    return given_, canonical, first_bad


def outcome_of(fn: Callable[..., Any], kwargs: dict[str, Any]) -> str:
    try:
        return "result " + repr(fn(**kwargs))
    except (ValueError, MemoryError) as exc:
        return f"{type(exc).__name__} {exc}"


@pytest.mark.parametrize("name", list(PARAMS))
def test_first_refused_argument_in_parameter_order_decides(name: str) -> None:
    fn = getattr(native, name)

    @SETTINGS
    @given(known_call(name))
    def run(call: tuple[dict[str, Any], dict[str, Any], Any]) -> None:
        given_, canonical, first_bad = call
        if first_bad is None:
            # Equivalent forms of the same values give the same outcome, to the bit.
            assert outcome_of(fn, given_) == outcome_of(fn, canonical)
            return
        param, exc_type = first_bad
        with pytest.raises(exc_type) as info:
            fn(**given_)
        assert type(info.value) is exc_type
        if exc_type is TypeError:
            assert str(info.value).startswith(f"argument '{param}': ")
        else:
            assert "argument '" not in str(info.value)

    run()


def outcome_repr(fn: Callable[..., Any], *args: Any) -> str:
    try:
        return "result " + repr(fn(*args))
    except Exception as exc:
        return f"{type(exc).__name__} {exc}"


@SETTINGS
@given(numpy_arrays())
def test_arrays_convert_exactly_like_iterating_them(arr: np.ndarray) -> None:
    # The buffer fast path and the generic path must agree on values and on errors.
    items = list(arr) if arr.ndim > 0 else None
    for fn in (native.refine_wasserstein, native.refine_cusum):
        got = outcome_repr(fn, arr)
        if items is None:
            assert got.startswith("TypeError argument 'series': ")
        else:
            assert got == outcome_repr(fn, items)
            assert got == outcome_repr(fn, tuple(items))
    if items is not None:
        assert outcome_repr(native.wasserstein_statistic, arr, [0.5]) == outcome_repr(
            native.wasserstein_statistic, items, [0.5]
        )


finite = st.floats(allow_nan=False, allow_infinity=False)
moderate = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)


@SETTINGS
@given(st.lists(finite, min_size=3, max_size=60))
def test_split_searches_agree_across_entries(series: list[float]) -> None:
    k, stats = native.refine_wasserstein(series)
    assert len(stats) == len(series) and math.isnan(stats[0])
    best, first = -math.inf, 1
    for j in range(1, len(series)):
        if stats[j] > best:
            best, first = stats[j], j
    assert k == first
    assert native.swal_statistic(series) == native.swal_statistic(series, "VAR") == k
    cusum = native.refine_cusum(series)
    assert 1 <= cusum < len(series)
    assert native.swal_statistic(series, "mean") == cusum
    # Every accepted form of the same values gives the same bits.
    for form in (tuple(series), np.array(series), [FloatSub(v) for v in series]):
        got_k, got_stats = native.refine_wasserstein(form)
        assert got_k == k
        assert struct.pack(f"{len(stats)}d", *got_stats) == struct.pack(f"{len(stats)}d", *stats)


@SETTINGS
@given(st.lists(finite, min_size=1, max_size=30), st.lists(finite, min_size=1, max_size=30))
def test_distance_is_symmetric_and_order_free(left: list[float], right: list[float]) -> None:
    d = native.wasserstein_statistic(left, right)
    assert struct.pack("d", d) == struct.pack("d", native.ipm_statistic(left, right))
    assert struct.pack("d", d) == struct.pack("d", native.wasserstein_statistic(right, left))
    assert struct.pack("d", d) == struct.pack(
        "d", native.wasserstein_statistic(left[::-1], sorted(right))
    )
    assert not d < 0.0
    assert native.wasserstein_statistic(left, left[::-1]) == 0.0


@st.composite
def scan_case(draw: st.DrawFn) -> dict[str, Any]:
    n = draw(st.integers(3, 90))
    base = draw(st.lists(moderate, min_size=n, max_size=n))
    return {
        "series": base,
        "window_size": draw(st.integers(1, 20)),
        "n_perm": draw(st.sampled_from([0, 1, 9, 64, 80])),
        "alpha_q": draw(st.sampled_from([0.05, 0.5, 1.0, 5.0, 100.0, math.nan])),
        "seed": draw(st.integers(0, 2**64 - 1)),
        "change_type": draw(st.sampled_from(["mean", "var", "distribution"])),
        "b": draw(st.one_of(st.none(), st.integers(0, 30))),
        "taper_ratio": draw(st.sampled_from([0.0, 0.5, 1.0, 2.0, 2.5])),
        "center": draw(st.booleans()),
    }


@SETTINGS
@given(scan_case(), st.sampled_from([None, 0, 1, 3]))
def test_single_window_equals_its_window_in_the_detector(
    case: dict[str, Any], workers: int | None
) -> None:
    w = case["window_size"]
    single = outcome_of(native.scan_single_window, case)
    multi_kw = {k: v for k, v in case.items() if k != "window_size"}
    try:
        multi = native.scan_detector(**multi_kw, window_sizes=[w, w], workers=workers)
    except ValueError as exc:
        assert single == f"ValueError {exc}"
        return
    window = multi["window_results"][w]
    assert single == "result " + repr(window)
    n = len(case["series"])
    positions = n // w - 1 if n >= 2 * w else 0
    assert window["starts"] == [i * w for i in range(positions)]
    check_window_result(window)
    starts = [a for a, _ in window["localized_regions"]]
    assert starts == sorted(starts)
    assert list(multi["cp_dict"]) == [w]


def test_hostile_objects_reach_the_caller_unchanged() -> None:
    # Spot checks of the oracle above, so that a too lenient check_exception would show.
    with pytest.raises(Hostile) as info:
        native.refine_cusum(LyingSequence([1.0, 2.0, 3.0, 4.0], 4, 2, 0))
    assert info.value is RAISED[-1]
    with pytest.raises(TypeError) as type_error:
        native.refine_cusum(OddIterator([1.0], 1))
    assert str(type_error.value) == "argument 'series': iter() returned non-iterator of type 'int'"
    assert native.refine_cusum(OddIterator([0.0, 0.0, 0.0, 9.0], 0)) == 3
    host: list[Any] = [5.0, 5.0]
    host.insert(1, ClearsHost(host))
    with pytest.raises(ValueError, match="at least 3 values"):
        native.refine_cusum(host)
