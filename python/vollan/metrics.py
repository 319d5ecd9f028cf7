"""Scores of detected change points against human annotations.

Both scores follow the evaluation of van den Burg and Williams, "An Evaluation of Change Point
Detection Algorithms" (2020), so that numbers computed here can be set beside the scores
published there. A change point is the index of the first value of a new regime; index 0 is
treated as a change point of every annotator and of every prediction (the start of the first
segment), which keeps both scores defined when nobody marks a change.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import SupportsIndex

__all__ = ["f1_score", "precision_recall", "segmentation_cover", "true_positives"]

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
    """
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
