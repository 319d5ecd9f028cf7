"""The calling convention shared by the seven functions: binding, conversions, errors, module."""

from __future__ import annotations

import array
import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vollan_native as native

NAMES = [
    "scan_detector",
    "scan_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
]

SIGNATURES = {
    "scan_detector": "(series, window_sizes=None, n_perm=300, alpha_q=1.0, seed=123, tol=2, "
    "workers=None, backend='thread', change_type='mean', b=None, taper_ratio=0.5, center=True, "
    "batch_size=32)",
    "scan_single_window": "(series, window_size, n_perm=300, alpha_q=1.0, seed=123, "
    "change_type='mean', b=None, taper_ratio=0.5, center=True, batch_size=32)",
    "refine_cusum": "(series)",
    "refine_wasserstein": "(series)",
    "swal_statistic": "(series, change_type='distribution')",
    "wasserstein_statistic": "(left, right)",
    "ipm_statistic": "(left, right)",
}

SERIES = [0.0, 1.0, 0.5, 2.0, 3.0, 2.5]


class TestModule:
    def test_all_lists_the_functions_in_registration_order(self):
        assert native.__all__ == NAMES
        assert [name for name in vars(native) if name in NAMES] == NAMES

    def test_signatures_and_bare_docstrings(self):
        for name, sig in SIGNATURES.items():
            fn = getattr(native, name)
            assert str(inspect.signature(fn)) == sig
            assert fn.__name__ == name
            assert fn.__module__ == "_vollan_native"
            assert fn.__self__ is native
            assert fn.__doc__ is None

    def test_module_docstring(self):
        assert "vollan" in native.__doc__

    def test_reimport_returns_the_same_module(self):
        again = importlib.import_module("_vollan_native")
        assert again is native
        del sys.modules["_vollan_native"]
        try:
            fresh = importlib.import_module("_vollan_native")
            assert fresh is native
        finally:
            sys.modules["_vollan_native"] = native

    def test_package_reexports(self):
        import vollan

        for name in NAMES:
            assert getattr(vollan, name) is getattr(native, name)
        assert isinstance(vollan.__version__, str)

    def test_sub_interpreter_is_refused(self):
        testcapi = pytest.importorskip("_testcapi")
        if not hasattr(testcapi, "run_in_subinterp"):
            pytest.skip("no legacy sub-interpreter support in this build")
        code = textwrap.dedent(
            """
            import _testcapi, sys
            import _vollan_native
            script = (
                "import sys\\n"
                "try:\\n"
                "    import _vollan_native\\n"
                "    sys.stdout.write('imported\\\\n')\\n"
                "except ImportError as e:\\n"
                "    sys.stdout.write('ImportError: ' + str(e) + '\\\\n')\\n"
            )
            _testcapi.run_in_subinterp(script)
            print(_vollan_native.refine_cusum([0.0, 0.0, 3.0]))
            """
        )
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
        )
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        assert lines[0].startswith("ImportError: ") and "sub-interpreter" in lines[0]
        assert lines[1] == "2"


class TestBinding:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (
                lambda: native.refine_cusum(),
                "refine_cusum() missing 1 required positional argument: 'series'",
            ),
            (
                lambda: native.wasserstein_statistic(),
                "wasserstein_statistic() missing 2 required positional arguments: "
                "'left' and 'right'",
            ),
            (
                lambda: native.scan_single_window(),
                "scan_single_window() missing 2 required positional arguments: 'series' and "
                "'window_size'",
            ),
            (
                lambda: native.scan_single_window(window_size=3),
                "scan_single_window() missing 1 required positional argument: 'series'",
            ),
            (
                lambda: native.refine_cusum([1.0], [2.0]),
                "refine_cusum() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda: native.scan_detector(*range(14)),
                "scan_detector() takes from 1 to 13 positional arguments but 14 were given",
            ),
            (
                lambda: native.swal_statistic(1, 2, 3),
                "swal_statistic() takes from 1 to 2 positional arguments but 3 were given",
            ),
            (
                lambda: native.wasserstein_statistic(1, 2, 3),
                "wasserstein_statistic() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: native.scan_detector(SERIES, foo=1),
                "scan_detector() got an unexpected keyword argument 'foo'",
            ),
            (
                lambda: native.scan_detector(SERIES, series=SERIES),
                "scan_detector() got multiple values for argument 'series'",
            ),
            (
                lambda: native.refine_cusum(*range(3), bogus=1),
                "refine_cusum() takes 1 positional arguments but 3 were given",
            ),
            (
                lambda: native.swal_statistic(change_type="mean", change_type2=1),
                "swal_statistic() got an unexpected keyword argument 'change_type2'",
            ),
        ],
    )
    def test_binding_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == message

    def test_one_positional_uses_was(self):
        with pytest.raises(
            TypeError,
            match=r"^refine_cusum\(\) takes 1 positional arguments but "
            r"2 were given$",
        ):
            native.refine_cusum(1, 2)

    def test_missing_three_lists_with_oxford_comma(self):
        # No function has three required parameters; the list format is still observable through
        # keyword-only calls that leave the two required ones out.
        with pytest.raises(
            TypeError,
            match=r"missing 2 required positional arguments: "
            r"'series' and 'window_size'$",
        ):
            native.scan_single_window(n_perm=3)

    def test_keyword_with_lone_surrogate_is_reported(self):
        with pytest.raises(TypeError, match="unexpected keyword argument"):
            native.refine_cusum(**{"\udc80": 1})

    def test_keywords_for_every_parameter(self):
        by_position = native.scan_single_window(
            SERIES * 4, 4, 20, 0.5, 7, "var", None, 0.5, True, 4
        )
        by_keyword = native.scan_single_window(
            series=SERIES * 4,
            window_size=4,
            n_perm=20,
            alpha_q=0.5,
            seed=7,
            change_type="var",
            b=None,
            taper_ratio=0.5,
            center=True,
            batch_size=4,
        )
        assert by_position == by_keyword
        assert native.wasserstein_statistic(right=[1.0], left=[0.0]) == 1.0


class TestConversions:
    @pytest.mark.parametrize(
        ("value", "message"),
        [
            ("abc", "argument 'series': Can't extract `str` to `Vec`"),
            (5, "argument 'series': 'int' object cannot be converted to 'Sequence'"),
            ({1.0, 2.0, 3.0}, "argument 'series': 'set' object cannot be converted to 'Sequence'"),
            ({0: 1.0}, "argument 'series': 'dict' object cannot be converted to 'Sequence'"),
            (
                (x for x in SERIES),
                "argument 'series': 'generator' object cannot be converted to 'Sequence'",
            ),
            (None, "argument 'series': 'NoneType' object cannot be converted to 'Sequence'"),
            ([1.0, "x", 2.0], "argument 'series': must be real number, not str"),
            ([1.0, None], "argument 'series': must be real number, not NoneType"),
        ],
    )
    def test_series_conversion_errors(self, value, message):
        with pytest.raises(TypeError) as info:
            native.refine_cusum(value)
        assert type(info.value) is TypeError
        assert str(info.value) == message

    def test_str_subclass_series(self):
        class S(str):
            pass

        with pytest.raises(TypeError, match="^argument 'series': Can't extract `str` to `Vec`$"):
            native.refine_cusum(S("123"))

    @pytest.mark.parametrize(
        "series",
        [
            (0.0, 0.0, 3.0),
            range(0, 4),
            b"\x00\x00\x03",
            np.array([0.0, 0.0, 3.0]),
            np.array([0, 0, 3], dtype=np.int32),
            np.array([0.0, 0.0, 3.0], dtype=np.float32),
            np.array([0.0, 0.0, 3.0], dtype=">f8"),
            np.array([0.0, 5.0, 0.0, 0.0, 3.0])[::2],
            array.array("d", [0.0, 0.0, 3.0]),
            memoryview(array.array("d", [0.0, 0.0, 3.0])),
            [np.float64(0.0), 0, True, 3],
        ],
    )
    def test_accepted_sequences(self, series):
        assert native.refine_cusum(series) == native.refine_cusum([float(v) for v in series])

    def test_fast_paths_keep_exact_values(self):
        rng = np.random.default_rng(3)
        values = rng.standard_normal(200) * 10.0 ** rng.integers(-300, 300, 200)
        values[::7] = -0.0
        expected = native.refine_wasserstein([float(v) for v in values])
        for form in (
            values,
            list(values),
            tuple(values.tolist()),
            array.array("d", values),
            memoryview(values),
            [np.float64(v) for v in values],
        ):
            got = native.refine_wasserstein(form)
            assert got[0] == expected[0]
            assert np.array_equal(
                np.array(got[1]).view(np.uint64), np.array(expected[1]).view(np.uint64)
            )

    def test_zero_dimensional_and_nested_arrays_fail_like_iteration(self):
        with pytest.raises(TypeError, match="^argument 'series': iteration over a 0-d array$"):
            native.refine_cusum(np.array(1.0))
        with pytest.raises(TypeError, match="^argument 'series': "):
            native.refine_cusum(np.ones((3, 2)))

    def test_iteration_raising_half_way_passes_the_exception(self):
        class Boom(Exception):
            pass

        class Seq:
            def __len__(self):
                return 5

            def __getitem__(self, i):
                if i == 2:
                    raise Boom("half way")
                if i >= 5:
                    raise IndexError
                return float(i)

        with pytest.raises(Boom, match="half way"):
            native.refine_cusum(Seq())

        class TypeErrorHalfWay(Seq):
            def __getitem__(self, i):
                if i == 2:
                    raise TypeError("bad item")
                return super().__getitem__(i)

        with pytest.raises(TypeError, match="^argument 'series': bad item$"):
            native.refine_cusum(TypeErrorHalfWay())

    @pytest.mark.parametrize("length", [None, 0, 10**15, 2**62])
    def test_len_is_only_a_hint(self, length):
        class Lying:
            def __len__(self):
                if length is None:
                    raise RuntimeError("no length")
                return length

            def __getitem__(self, i):
                if i >= 4:
                    raise IndexError
                return [0.0, 0.0, 0.0, 9.0][i]

        assert native.refine_cusum(Lying()) == 3

    def test_type_error_cause_is_carried(self):
        class Item:
            def __float__(self):
                try:
                    raise KeyError("inner")
                except KeyError as exc:
                    raise TypeError("outer") from exc

        with pytest.raises(TypeError) as info:
            native.refine_cusum([1.0, Item(), 2.0])
        assert str(info.value) == "argument 'series': outer"
        assert isinstance(info.value.__cause__, KeyError)

    def test_type_error_subclass_passes_unchanged(self):
        class MyTypeError(TypeError):
            pass

        class Item:
            def __float__(self):
                raise MyTypeError("mine")

        with pytest.raises(MyTypeError) as info:
            native.refine_cusum([1.0, Item(), 2.0])
        assert str(info.value) == "mine"

    def test_value_error_from_float_passes_unchanged(self):
        class Item:
            def __float__(self):
                raise ValueError("no float")

        with pytest.raises(ValueError, match="^no float$"):
            native.refine_cusum([Item(), 1.0, 2.0])

    @pytest.mark.parametrize(
        ("kwargs", "exc", "message"),
        [
            ({"n_perm": -1}, OverflowError, "can't convert negative int to unsigned"),
            ({"n_perm": 2**64}, OverflowError, "int too big to convert"),
            (
                {"seed": 2.0},
                TypeError,
                "argument 'seed': 'float' object cannot be interpreted as an integer",
            ),
            (
                {"n_perm": None},
                TypeError,
                "argument 'n_perm': 'NoneType' object cannot be interpreted as an integer",
            ),
            (
                {"batch_size": "3"},
                TypeError,
                "argument 'batch_size': 'str' object cannot be interpreted as an integer",
            ),
            ({"batch_size": -1}, OverflowError, "can't convert negative int to unsigned"),
            (
                {"center": 1},
                TypeError,
                "argument 'center': 'int' object cannot be converted to 'PyBool'",
            ),
            (
                {"center": None},
                TypeError,
                "argument 'center': 'NoneType' object cannot be converted to 'PyBool'",
            ),
            ({"alpha_q": "0.5"}, TypeError, "argument 'alpha_q': must be real number, not str"),
            ({"alpha_q": None}, TypeError, "argument 'alpha_q': must be real number, not NoneType"),
            (
                {"change_type": b"mean"},
                TypeError,
                "argument 'change_type': 'bytes' object cannot be converted to 'PyString'",
            ),
            (
                {"change_type": None},
                TypeError,
                "argument 'change_type': 'NoneType' object cannot be converted to 'PyString'",
            ),
            ({"b": -3}, OverflowError, "can't convert negative int to unsigned"),
            (
                {"b": 1.5},
                TypeError,
                "argument 'b': 'float' object cannot be interpreted as an integer",
            ),
        ],
    )
    def test_scalar_conversion_errors(self, kwargs, exc, message):
        with pytest.raises(exc) as info:
            native.scan_single_window([1.0, 2.0], 1, **kwargs)
        assert type(info.value) is exc
        assert str(info.value) == message

    def test_lone_surrogate_change_type_raises_the_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            native.swal_statistic([1.0, 2.0, 3.0], "\udc80")

    def test_conversion_stops_at_the_first_failure_in_parameter_order(self):
        with pytest.raises(TypeError, match="^argument 'series'"):
            native.scan_single_window("x", -1, n_perm=-1)
        with pytest.raises(OverflowError):
            native.scan_single_window([1.0], -1, seed="x")
        with pytest.raises(TypeError, match="^argument 'left'"):
            native.wasserstein_statistic(5, "x")
        with pytest.raises(TypeError, match="^argument 'right'"):
            native.wasserstein_statistic([1.0], "x")

    def test_accepted_scalar_forms(self):
        base = native.scan_single_window(SERIES * 4, 4, n_perm=20, seed=5, center=False)
        same = native.scan_single_window(
            SERIES * 4,
            np.int64(4),
            n_perm=True * 20,
            seed=np.uint8(5),
            center=np.bool_(False),
            alpha_q=1,
            taper_ratio=np.float32(0.5),
        )
        assert same == base

    def test_index_protocol_objects(self):
        class Idx:
            def __index__(self):
                return 20

        assert native.scan_single_window(SERIES * 4, 4, n_perm=Idx()) == native.scan_single_window(
            SERIES * 4, 4, n_perm=20
        )

    def test_float_protocol_objects(self):
        class F:
            def __float__(self):
                return -1.0

        # -1.0 without a pending exception is a value, not a failure.
        assert native.wasserstein_statistic([F()], [1.0]) == 2.0

    def test_window_sizes_sequence_conversion(self):
        with pytest.raises(
            TypeError, match="^argument 'window_sizes': Can't extract `str` to `Vec`$"
        ):
            native.scan_detector(SERIES, window_sizes="10")
        with pytest.raises(OverflowError):
            native.scan_detector(SERIES, window_sizes=[-5])
        with pytest.raises(
            TypeError,
            match="^argument 'window_sizes': 'float' object cannot be interpreted as an integer$",
        ):
            native.scan_detector(SERIES, window_sizes=[2.0])

    def test_numpy_bool_is_read_by_its_truth(self):
        assert native.scan_single_window(SERIES * 4, 4, n_perm=5, center=np.True_) == (
            native.scan_single_window(SERIES * 4, 4, n_perm=5, center=True)
        )
