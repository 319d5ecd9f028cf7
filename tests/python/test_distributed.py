"""detect_many on a Dask cluster of two worker processes equals the local run."""

from __future__ import annotations

import os
import random

import pytest

distributed = pytest.importorskip("distributed")

from vollan.api import detect, detect_many  # noqa: E402
from vollan.datasets import load, names  # noqa: E402


def worker_threads() -> str | None:
    return os.environ.get("RAYON_NUM_THREADS")


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            # Each worker's engine gets one thread, so two workers use the two cores.
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def batch() -> list[list[float]]:
    series = [list(load(name).values) for name in names()]
    rng = random.Random(3)
    series.append([rng.gauss(0, 1) for _ in range(200)] + [rng.gauss(2, 1) for _ in range(200)])
    return series


def test_cluster_results_equal_local_ones_in_input_order(client):
    items = batch()
    remote = detect_many(items, client=client, seed=11, workers=1)
    assert remote == detect_many(items, seed=11)
    assert [r.n_obs for r in remote] == [len(s) for s in items]
    assert all(r.raw == detect(s, seed=11).raw for r, s in zip(remote, items, strict=True))


def test_both_processes_ran_with_capped_threads(client):
    assert len(client.scheduler_info()["workers"]) == 2
    assert set(client.run(worker_threads).values()) == {"1"}


def test_first_failing_series_in_input_order_is_raised(client):
    items = [batch()[0], [1.0] * 5, [1.0, float("nan")] * 10]
    with pytest.raises(ValueError, match="series has 5 values"):
        detect_many(items, client=client)


def test_pandas_labels_survive_the_trip(client):
    pytest.importorskip("pandas")
    nile = load("nile").to_pandas()
    (found,) = detect_many([nile], client=client)
    assert found.labels == (1899,)
