"""Fast paths against the general ones: partial list reads and the sort sizes of long samples."""

from __future__ import annotations

import decimal
import random
from collections.abc import Callable
from typing import Any

import pytest

import _vollan_native as native
import reference as ref


class FloatSubclass(float):
    pass


class ListSubclass(list):  # type: ignore[type-arg]
    """Not an exact list, so it is always converted by iterating it."""


class TupleSubclass(tuple):  # type: ignore[type-arg]
    pass


def outcome(fn: Callable[..., Any], *args: Any) -> tuple[str, object]:
    try:
        result = fn(*args)
    except Exception as exc:
        return type(exc).__name__, str(exc)
    if isinstance(result, float):
        return "float", ref.bits(result)
    if isinstance(result, tuple):
        return "tuple", (result[0], [ref.bits(v) for v in result[1]])
    return type(result).__name__, result


@pytest.mark.parametrize(
    "odd",
    [2, True, FloatSubclass(0.25), decimal.Decimal("0.5"), "x", None, float("nan"), 2**1100],
    ids=["int", "bool", "float-subclass", "decimal", "str", "none", "nan", "huge-int"],
)
@pytest.mark.parametrize("at", [0, 1, 700, 1199])
def test_a_late_non_float_item_gives_what_iteration_gives(odd: object, at: int) -> None:
    # The list path reads floats until it meets anything else, then the generic path starts
    # over: values and errors must be those of plain iteration.
    rng = random.Random(f"{odd!r}-{at}")
    items: list[object] = [rng.gauss(0.0, 1.0) for _ in range(1200)]
    items[at] = odd
    for exact, generic in (
        (list(items), ListSubclass(items)),
        (tuple(items), TupleSubclass(items)),
    ):
        assert outcome(native.refine_wasserstein, exact) == outcome(
            native.refine_wasserstein, generic
        )
        assert outcome(native.wasserstein_statistic, [0.5, 1.5], exact) == outcome(
            native.wasserstein_statistic, [0.5, 1.5], generic
        )


def sample(rng: random.Random, kind: str, n: int) -> list[float]:
    if kind == "gauss":
        return [rng.gauss(0.0, 1.0) for _ in range(n)]
    if kind == "ties":
        return [float(rng.randint(-3, 3)) for _ in range(n)]
    if kind == "zeros":
        return [rng.choice([0.0, -0.0, 1.0, -1.0]) for _ in range(n)]
    if kind == "scales":
        return [rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-300, 300) for _ in range(n)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["gauss", "ties", "zeros", "scales"])
@pytest.mark.parametrize(
    ("n", "m"), [(33, 40), (127, 128), (128, 129), (1000, 700), (3000, 1)], ids=str
)
def test_long_samples_match_the_reference_bit_for_bit(kind: str, n: int, m: int) -> None:
    # Samples of 33 to 127 values are sorted by comparison, from 128 on by the radix sort.
    rng = random.Random(f"{kind}-{n}-{m}")
    left, right = sample(rng, kind, n), sample(rng, kind, m)
    want = ref.bits(ref.wasserstein_statistic(left, right))
    assert ref.bits(native.wasserstein_statistic(left, right)) == want
    assert ref.bits(native.ipm_statistic(right, left)) == want
