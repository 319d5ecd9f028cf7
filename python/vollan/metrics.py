"""Scores of detected change points against human annotations.

Both scores follow the evaluation of van den Burg and Williams, "An Evaluation of Change Point
Detection Algorithms" (2020), so that numbers computed here can be set beside the scores
published there. A change point is the index of the first value of a new regime; index 0 is
treated as a change point of every annotator and of every prediction (the start of the first
segment), which keeps both scores defined when nobody marks a change.

Beside them, the scores of a single true segmentation that ruptures users know:
:func:`hausdorff`, :func:`rand_index` and :func:`precision_recall_at_margin`. They take change
points too; given ``n_obs``, points outside 1 ... ``n_obs`` - 1 are ignored, so that
breakpoint lists ending with the length of the series (ruptures' convention,
:meth:`vollan.Detection.breakpoints`) can be passed as they are.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import SupportsIndex

__all__ = [
    "f1_score",
    "hausdorff",
    "precision_recall",
    "precision_recall_at_margin",
    "rand_index",
    "segmentation_cover",
    "true_positives",
]

Annotations = Mapping[str, Iterable[SupportsIndex]] | Sequence[Iterable[SupportsIndex]]


def _annotator_sets(annotations: Annotations) -> list[set[int]]:
    groups = annotations.values() if isinstance(annotations, Mapping) else annotations
    sets = [{int(i) for i in group} for group in groups]
    if not sets:
        raise ValueError("annotations must hold at least one annotator's change points")
    return sets


def true_positives(
    truth: Iterable[SupportsIndex], predictions: Iterable[SupportsIndex], margin: int = 5
) -> set[int]:
    """Change points of ``truth`` that a prediction matches within ``margin``.

    Each true change point, in ascending order, takes the nearest still unused prediction at a
    distance of at most ``margin`` (the smaller index on a tie); a prediction matches at most
    one true change point.

    Parameters
    ----------
    truth : iterable of int
        True change points.
    predictions : iterable of int
        Predicted change points.
    margin : int, default 5
        Largest distance between a true change point and the prediction that matches it.

    Returns
    -------
    set of int
        The matched true change points.

    Examples
    --------
    >>> true_positives([50, 120], [48, 90])
    {50}
    """
    if margin < 0:
        raise ValueError(f"margin must be at least 0, got {margin}")
    free = sorted({int(x) for x in predictions})
    matched: set[int] = set()
    for tau in sorted({int(t) for t in truth}):
        close = [(abs(tau - x), x) for x in free if abs(tau - x) <= margin]
        if close:
            matched.add(tau)
            free.remove(min(close)[1])
    return matched


def precision_recall(
    annotations: Annotations, predictions: Iterable[SupportsIndex], margin: int = 5
) -> tuple[float, float]:
    """Precision against all annotators together and recall averaged over annotators.

    Parameters
    ----------
    annotations : mapping or sequence of iterables of int
        One collection of change points per annotator (e.g. ``{"6": [146], "8": []}``).
    predictions : iterable of int
        Predicted change points.
    margin : int, default 5
        Largest distance at which a prediction counts as finding a change.

    Returns
    -------
    (float, float)
        Precision and recall, both in [0, 1].

    Examples
    --------
    >>> precision, recall = precision_recall({"a": [50], "b": [50, 120]}, [48, 90])
    >>> round(precision, 4), round(recall, 4)  # {0, 48} of {0, 48, 90}; 2/2 and 2/3 found
    (0.6667, 0.8333)
    """
    per_annotator = [s | {0} for s in _annotator_sets(annotations)]
    union = set().union(*per_annotator)
    predicted = {int(p) for p in predictions} | {0}
    precision = len(true_positives(union, predicted, margin)) / len(predicted)
    recall = sum(
        len(true_positives(truth, predicted, margin)) / len(truth) for truth in per_annotator
    ) / len(per_annotator)
    return precision, recall


def f1_score(
    annotations: Annotations, predictions: Iterable[SupportsIndex], margin: int = 5
) -> float:
    """F1 score of predicted change points against several annotators.

    The harmonic mean of :func:`precision_recall`'s precision and recall.

    Parameters
    ----------
    annotations : mapping or sequence of iterables of int
        One collection of change points per annotator.
    predictions : iterable of int
        Predicted change points.
    margin : int, default 5
        Largest distance at which a prediction counts as finding a change.

    Returns
    -------
    float
        The F1 score in (0, 1]; predicting no change still scores for index 0.

    Examples
    --------
    >>> f1_score({"a": [50], "b": [52]}, [51])
    1.0
    >>> round(f1_score({"a": [50]}, [10, 50]), 4)
    0.8
    """
    precision, recall = precision_recall(annotations, predictions, margin)
    if precision + recall == 0.0:
        return 0.0
    return 2.0 * precision * recall / (precision + recall)


def _segments(change_points: set[int], n_obs: int) -> list[tuple[int, int]]:
    bounds = sorted({0, n_obs} | {c for c in change_points if 0 < c < n_obs})
    return list(zip(bounds[:-1], bounds[1:], strict=True))


def _cover(truth: list[tuple[int, int]], predicted: list[tuple[int, int]], n_obs: int) -> float:
    total = 0.0
    for a, b in truth:
        best = 0.0
        for c, d in predicted:
            inter = min(b, d) - max(a, c)
            if inter > 0:
                best = max(best, inter / (max(b, d) - min(a, c)))
        total += (b - a) * best
    return total / n_obs


def segmentation_cover(
    annotations: Annotations, predictions: Iterable[SupportsIndex], n_obs: int
) -> float:
    """Segmentation cover of predicted change points, averaged over annotators.

    The cover of a true segmentation by a predicted one (Arbeláez et al. 2010) weighs every true
    segment by its length and credits it with its best intersection-over-union with a predicted
    segment. Change points outside 1 ... ``n_obs`` - 1 are ignored.

    Parameters
    ----------
    annotations : mapping or sequence of iterables of int
        One collection of change points per annotator.
    predictions : iterable of int
        Predicted change points.
    n_obs : int
        Length of the series.

    Returns
    -------
    float
        The cover in (0, 1]; 1 when the prediction reproduces every annotator's segments.

    Examples
    --------
    >>> segmentation_cover({"a": [50]}, [50], 100)
    1.0
    >>> segmentation_cover({"a": []}, [50], 100)
    0.5
    """
    if n_obs < 1:
        raise ValueError(f"n_obs must be positive, got {n_obs}")
    predicted = _segments({int(p) for p in predictions}, n_obs)
    covers = [
        _cover(_segments(truth, n_obs), predicted, n_obs) for truth in _annotator_sets(annotations)
    ]
    return sum(covers) / len(covers)


def _inside(points: Iterable[SupportsIndex], n_obs: int | None) -> list[int]:
    values = {int(p) for p in points}
    if n_obs is not None:
        if n_obs < 1:
            raise ValueError(f"n_obs must be positive, got {n_obs}")
        values = {p for p in values if 0 < p < n_obs}
    return sorted(values)


def hausdorff(
    truth: Iterable[SupportsIndex],
    predictions: Iterable[SupportsIndex],
    n_obs: int | None = None,
) -> float:
    """Hausdorff distance between true and predicted change points.

    The largest distance from a change point of either set to the nearest one of the other:
    the worst placement error, counting both missed and spurious changes.

    Parameters
    ----------
    truth : iterable of int
        True change points.
    predictions : iterable of int
        Predicted change points.
    n_obs : int, optional
        Length of the series; when given, points outside 1 ... ``n_obs`` - 1 (such as the
        final breakpoint ``n_obs`` of ruptures' convention) are ignored.

    Returns
    -------
    float
        The distance; 0.0 when both sets are empty and ``inf`` when only one is.

    Examples
    --------
    >>> hausdorff([50, 200], [55])
    145.0
    >>> hausdorff([50, 200, 300], [48, 205, 300], n_obs=300)
    5.0
    """
    a = _inside(truth, n_obs)
    b = _inside(predictions, n_obs)
    if not a and not b:
        return 0.0
    if not a or not b:
        return math.inf
    worst = max(
        max(min(abs(x - y) for y in b) for x in a), max(min(abs(x - y) for x in a) for y in b)
    )
    return float(worst)


def _sizes(points: list[int], n_obs: int) -> list[tuple[int, int]]:
    bounds = [0, *points, n_obs]
    return list(zip(bounds[:-1], bounds[1:], strict=True))


def rand_index(
    truth: Iterable[SupportsIndex], predictions: Iterable[SupportsIndex], n_obs: int
) -> float:
    """Rand index of the segmentations that true and predicted change points make.

    The fraction of pairs of values on which both segmentations agree, putting the two values
    in the same segment or both in different ones. Counted exactly in integers from the
    segments' sizes and their overlaps, then divided once.

    Parameters
    ----------
    truth : iterable of int
        True change points.
    predictions : iterable of int
        Predicted change points.
    n_obs : int
        Length of the series, at least 2; change points outside 1 ... ``n_obs`` - 1 are
        ignored.

    Returns
    -------
    float
        The index in [0, 1]; 1 when the segmentations are the same.

    Examples
    --------
    >>> rand_index([50], [60], 100)  # 900 of the 4950 pairs disagree
    0.8181818181818182
    >>> rand_index([50], [50, 100], 100)
    1.0
    """
    if n_obs < 2:
        raise ValueError(f"n_obs must be at least 2, got {n_obs}")
    a = _sizes(_inside(truth, n_obs), n_obs)
    b = _sizes(_inside(predictions, n_obs), n_obs)

    def pairs(k: int) -> int:
        return k * (k - 1) // 2

    together_a = sum(pairs(hi - lo) for lo, hi in a)
    together_b = sum(pairs(hi - lo) for lo, hi in b)
    together_both = 0
    j = 0
    for lo, hi in a:
        while j < len(b) and b[j][1] <= lo:
            j += 1
        k = j
        while k < len(b) and b[k][0] < hi:
            together_both += pairs(min(hi, b[k][1]) - max(lo, b[k][0]))
            k += 1
    disagree = together_a + together_b - 2 * together_both
    total = pairs(n_obs)
    return (total - disagree) / total


def precision_recall_at_margin(
    truth: Iterable[SupportsIndex],
    predictions: Iterable[SupportsIndex],
    margin: int = 5,
    n_obs: int | None = None,
) -> tuple[float, float]:
    """Precision and recall of predicted change points against one true set.

    True and predicted change points are matched one to one as in :func:`true_positives`
    (nearest first, at a distance of at most ``margin``). Unlike :func:`precision_recall`,
    there is a single true segmentation and index 0 is not counted.

    Parameters
    ----------
    truth : iterable of int
        True change points.
    predictions : iterable of int
        Predicted change points.
    margin : int, default 5
        Largest distance at which a prediction counts as finding a change (ruptures counts
        distances below its ``margin``: its ``margin=10`` is ``margin=9`` here).
    n_obs : int, optional
        Length of the series; when given, points outside 1 ... ``n_obs`` - 1 are ignored.

    Returns
    -------
    (float, float)
        Precision (matched predictions over predictions) and recall (matched true change
        points over true change points); each is 0.0 when its denominator is empty.

    Examples
    --------
    >>> precision_recall_at_margin([100, 200], [103, 150])
    (0.5, 0.5)
    >>> precision_recall_at_margin([100, 200, 300], [96, 200, 300], n_obs=300)
    (1.0, 1.0)
    """
    if margin < 0:
        raise ValueError(f"margin must be at least 0, got {margin}")
    a = _inside(truth, n_obs)
    b = _inside(predictions, n_obs)
    hits = len(true_positives(a, b, margin))
    precision = hits / len(b) if b else 0.0
    recall = hits / len(a) if a else 0.0
    return precision, recall
