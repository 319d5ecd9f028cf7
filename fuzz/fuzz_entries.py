"""Coverage-guided fuzzing of the seven Python entries with atheris.

Every input becomes one call: a function, its arguments by position and by keyword (now and then
a keyword too many), each argument an arbitrary object built from the input bytes: numbers of
every kind, strings, bytes, nested lists and tuples, numpy arrays of any dtype and byte order, and
objects whose conversions raise or lie. The call must return its documented result type or raise
a documented exception; anything else, and of course a crash or a sanitizer report, is a finding.

Run through `make fuzz-python`, which builds the extension with coverage instrumentation, ASan and
UBSan, and preloads the sanitizer runtime together with libFuzzer.
"""

from __future__ import annotations

import inspect
import math
import os
import sys
from typing import Any

import atheris
import numpy as np

import _vollan_native as native

# The parameter lists as the module documents them (their exact text is tested elsewhere).
PARAMS: dict[str, list[str]] = {
    name: list(inspect.signature(getattr(native, name)).parameters) for name in native.__all__
}
NAMES = list(PARAMS)
# Valid values of these only cost time or memory in proportion to their size.
COSTLY = {"n_perm", "window_size", "workers", "b"}
WORDS = ["mean", "var", "distribution", "MEAN", "Var", "thread", "process", "Process", "", "\udc80"]
DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i8", ">i4", "<u2", "|u1", "|b1", "<c16", "<M8[s]", "|S3"]
ALLOWED = (TypeError, ValueError, OverflowError, UnicodeError, MemoryError, Warning)


class Hostile(Exception):
    pass


class Conversions:
    """An object whose float and index conversions return a chosen value or raise."""

    def __init__(self, value: Any, raises: BaseException | None) -> None:
        self.value = value
        self.raises = raises

    def __float__(self) -> Any:
        if self.raises is not None:
            raise self.raises
        return self.value

    def __index__(self) -> Any:
        if self.raises is not None:
            raise self.raises
        return self.value


class Lying:
    """A sequence whose length lies and whose items may raise part of the way."""

    def __init__(self, items: list[Any], length: int, fail_at: int, exc: BaseException) -> None:
        self.items = items
        self.length = length
        self.fail_at = fail_at
        self.exc = exc

    def __len__(self) -> int:
        if self.length < 0:
            raise self.exc
        return self.length

    def __getitem__(self, i: int) -> Any:
        if i == self.fail_at:
            raise self.exc
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


def exception(fdp: atheris.FuzzedDataProvider) -> BaseException:
    kinds = [Hostile, TypeError, ValueError, OverflowError, MemoryError, IndexError, KeyError]
    return kinds[fdp.ConsumeIntInRange(0, len(kinds) - 1)]("fuzz")


def build(fdp: atheris.FuzzedDataProvider, depth: int = 0) -> Any:
    kind = fdp.ConsumeIntInRange(0, 17 if depth < 2 else 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-3, 70)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20))
    if kind == 4:
        return fdp.ConsumeFloat()
    if kind == 5:
        return fdp.ConsumeRegularFloat()
    if kind == 6:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 7:
        return WORDS[fdp.ConsumeIntInRange(0, len(WORDS) - 1)]
    if kind == 8:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind == 9:
        return complex(fdp.ConsumeRegularFloat(), fdp.ConsumeRegularFloat())
    if kind == 10:
        return [build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 8))]
    if kind == 11:
        return tuple(build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 8)))
    if kind == 12:
        return fdp.ConsumeRegularFloatList(fdp.ConsumeIntInRange(0, 64))  # exact floats
    if kind == 13:
        return [fdp.ConsumeIntInRange(-4, 12) * 0.5 for _ in range(fdp.ConsumeIntInRange(0, 64))]
    if kind == 14:
        dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
        raw = fdp.ConsumeBytes(dtype.itemsize * fdp.ConsumeIntInRange(0, 48))
        arr = np.frombuffer(raw[: len(raw) - len(raw) % dtype.itemsize], dtype=dtype)
        shape = fdp.ConsumeIntInRange(0, 3)
        if shape == 1 and arr.size % 2 == 0:
            arr = arr.reshape(-1, 2)
        elif shape == 2 and arr.size > 1:
            arr = arr[::2]
        elif shape == 3 and arr.size:
            arr = arr[0:1].reshape(())
        return arr
    if kind == 15:
        value = build(fdp, depth + 1)
        return Conversions(value, exception(fdp) if fdp.ConsumeBool() else None)
    if kind == 16:
        items = [build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 8))]
        return Lying(items, fdp.ConsumeInt(4), fdp.ConsumeIntInRange(-1, 8), exception(fdp))
    return [fdp.ConsumeRegularFloat() for _ in range(fdp.ConsumeIntInRange(0, 40))] + [
        build(fdp, depth + 1)
    ]


def _small(value: Any) -> Any:
    # Plain ints, numpy integers and objects that convert to one alike: a huge count would
    # only ask for memory in proportion (gigabytes), which is no fault.
    if isinstance(value, Conversions):
        return Conversions(_small(value.value), value.raises)
    if isinstance(value, int | np.integer) and not isinstance(value, bool) and value > 64:
        return type(value)(int(value) % 65)
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "iu":
        return value % 65 if value > 64 else value
    return value


def tame(name: str, value: Any) -> Any:
    """A valid but huge replicate count or window size only costs time: keep it small."""
    if name in COSTLY:
        return _small(value)
    if name == "window_sizes" and isinstance(value, list | tuple):
        return type(value)(_small(v) for v in value)
    return value


def check_result(name: str, result: Any) -> None:
    if name in ("refine_cusum", "swal_statistic"):
        assert type(result) is int and result >= 1, result
    elif name == "refine_wasserstein":
        assert type(result) is tuple and len(result) == 2, result
        assert type(result[0]) is int and type(result[1]) is list
        assert 1 <= result[0] < len(result[1]) and math.isnan(result[1][0])
    elif name in ("wasserstein_statistic", "ipm_statistic"):
        assert type(result) is float, result
    elif name == "scan_single_window":
        assert type(result) is dict and len(result) == 5, result
    else:
        assert type(result) is dict and list(result) == ["cp_dict", "window_results", "out"]


def check_error(name: str, exc: BaseException) -> None:
    if isinstance(exc, (Hostile, IndexError, KeyError)) and str(exc) in ("fuzz", "'fuzz'"):
        return  # raised by an argument object: passes unchanged
    assert isinstance(exc, ALLOWED), repr(exc)
    if type(exc) is TypeError:
        msg = str(exc)
        ok = msg.startswith(f"{name}() ") or any(
            msg.startswith(f"argument '{p}': ") for p in PARAMS[name]
        )
        assert ok, msg


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    name = NAMES[fdp.ConsumeIntInRange(0, len(NAMES) - 1)]
    params = PARAMS[name]
    n_positional = fdp.ConsumeIntInRange(0, len(params) + 1)
    args = [tame(p, build(fdp)) for p in params[:n_positional]]
    if n_positional > len(params):
        args.append(build(fdp))
    kwargs: dict[str, Any] = {}
    for p in params:
        if fdp.ConsumeIntInRange(0, 3) == 0:
            kwargs[p] = tame(p, build(fdp))
    if fdp.ConsumeIntInRange(0, 15) == 0:
        kwargs[fdp.ConsumeUnicode(6)] = build(fdp)
    try:
        result = getattr(native, name)(*args, **kwargs)
    except Exception as exc:
        check_error(name, exc)
    else:
        check_result(name, result)


def main() -> None:
    argv = list(sys.argv)
    # libFuzzer's -merge runs argv[0] again in a child: FUZZ_LAUNCHER may name a script that
    # starts this harness with the right interpreter and environment.
    argv[0] = os.environ.get("FUZZ_LAUNCHER", argv[0])
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
