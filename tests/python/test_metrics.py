"""F1 at a margin and segmentation cover, on examples worked out by hand."""

from __future__ import annotations

import pytest

from vollan.metrics import f1_score, precision_recall, segmentation_cover, true_positives


@pytest.mark.parametrize(
    ("truth", "predictions", "margin", "expected"),
    [
        ({50}, {55}, 5, {50}),  # exactly at the margin
        ({50}, {56}, 5, set()),  # one past it
        ({50}, {56}, 6, {50}),
        ({48, 52}, {50}, 5, {48}),  # one prediction matches one change only, the earlier
        ({47, 50}, {46, 52}, 5, {47, 50}),  # each takes its nearest free prediction
        (set(), {3}, 5, set()),
    ],
)
def test_true_positives(truth, predictions, margin, expected):
    assert true_positives(truth, predictions, margin) == expected


@pytest.mark.parametrize(
    ("annotations", "predictions", "expected"),
    [
        # Index 0 counts for everyone: {0, 50} against {0, 10, 50} gives P = 2/3, R = 1.
        ({"a": [50]}, [10, 50], 0.8),
        # Two annotators a little apart, one prediction between them: both find it.
        ({"a": [50], "b": [52]}, [51], 1.0),
        # P = 2/2 against the union {0, 50, 53}; R = 2/3 (51 serves 50 only).
        ({"a": [50, 53]}, [51], 0.8),
        # No prediction: P = 1/1, R = (1/1 + 1/2) / 2 = 3/4, F = 6/7.
        ({"a": [], "b": [30]}, [], 6 / 7),
        # Nobody marked a change and none is predicted: perfect.
        ({"a": [], "b": []}, [], 1.0),
        # A list of annotators works like a mapping.
        ([[50], [52]], [51], 1.0),
    ],
)
def test_f1_worked_examples(annotations, predictions, expected):
    assert f1_score(annotations, predictions) == pytest.approx(expected, abs=1e-15)


def test_precision_and_recall_separately():
    precision, recall = precision_recall({"a": [20, 60], "b": [21]}, [20, 90])
    # union {0, 20, 21, 60} vs {0, 20, 90}: 0 and 20 hit, 90 misses -> P = 2/3.
    # a: {0, 20, 60} finds 0 and 20 (2/3); b: {0, 21} finds both (1) -> R = 5/6.
    assert precision == pytest.approx(2 / 3)
    assert recall == pytest.approx(5 / 6)


def test_margin_is_a_parameter():
    assert f1_score({"a": [50]}, [57]) < 1.0
    assert f1_score({"a": [50]}, [57], margin=7) == 1.0


@pytest.mark.parametrize(
    ("annotations", "predictions", "n_obs", "expected"),
    [
        ({"a": [50]}, [50], 100, 1.0),
        # One true segment, best overlap 50/100.
        ({"a": []}, [50], 100, 0.5),
        # Two true halves, each half covered by the whole series: 50/100 each.
        ({"a": [50]}, [], 100, 0.5),
        # [0,20) vs [0,30): 20/30; [20,100) vs [30,100): 70/80 -> (20*2/3 + 80*7/8) / 100.
        ({"a": [20]}, [30], 100, (20 * 2 / 3 + 80 * 7 / 8) / 100),
        # Averaged with an annotator without changes, whose series is covered 70/100.
        ({"a": [20], "b": []}, [30], 100, ((20 * 2 / 3 + 80 * 7 / 8) / 100 + 0.7) / 2),
        # Predictions at 0 or beyond the series are no boundaries.
        ({"a": [50]}, [0, 50, 100, 150], 100, 1.0),
    ],
)
def test_cover_worked_examples(annotations, predictions, n_obs, expected):
    assert segmentation_cover(annotations, predictions, n_obs) == pytest.approx(expected)


def test_cover_is_not_symmetric_in_truth_and_prediction():
    # The truth [0,100) cut into three parts by the prediction: its best part covers half.
    # The truth in three parts, predicted as one segment: IoU 1/4, 1/2 and 1/4.
    assert segmentation_cover({"a": []}, [25, 75], 100) == pytest.approx(0.5)
    assert segmentation_cover({"a": [25, 75]}, [], 100) == pytest.approx(
        (25 * 0.25 + 50 * 0.5 + 25 * 0.25) / 100
    )


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: f1_score({}, [1]), "at least one annotator"),
        (lambda: segmentation_cover([], [1], 10), "at least one annotator"),
        (lambda: segmentation_cover({"a": []}, [1], 0), "n_obs must be positive"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_a_negative_margin_is_refused_by_every_score() -> None:
    # f1_score scored 0.0 where precision_recall_at_margin refused it.
    from vollan.metrics import f1_score, precision_recall, true_positives

    for score in (
        lambda: true_positives([50], [50], margin=-1),
        lambda: precision_recall({"a": [50]}, [50], margin=-1),
        lambda: f1_score({"a": [50]}, [50], margin=-1),
    ):
        with pytest.raises(ValueError, match="margin must be at least 0, got -1"):
            score()
