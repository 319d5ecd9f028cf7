"""The documentation of the native engine's functions.

``_vollan_native`` gives its functions signature-only docstrings, and the package re-exports
those very functions: ``vollan.scan_detector is _vollan_native.scan_detector``, so that they
pickle and copy as themselves, and cost nothing more to call. The documentation lives here
instead, where ``help()``, :func:`inspect.getdoc` and Sphinx look for the docstring of a
built-in function whose own is None: on the class of the module that defines it. Importing
vollan gives ``_vollan_native`` a subclass of the module type whose class attributes, one per
function, carry the docstrings; the module's own attributes, the functions, are untouched.
"""

from __future__ import annotations

import types

import _vollan_native

_DOCS: dict[str, str] = {}


class _Docstring:
    """Holds one docstring under a function's name on the module's class."""

    def __init__(self, doc: str) -> None:
        self.__doc__ = doc


def documented(name: str, doc: str) -> None:
    """Record ``doc`` as the documentation of the engine's function ``name``."""
    if not callable(getattr(_vollan_native, name, None)):
        raise AttributeError(f"_vollan_native has no function {name!r}")
    _DOCS[name] = doc


def install() -> None:
    """Give ``_vollan_native`` the module class that carries the recorded docstrings.

    Done once; a module whose class is already another subclass is left alone.
    """
    if type(_vollan_native) is not types.ModuleType:
        return
    attributes = {name: _Docstring(doc) for name, doc in _DOCS.items()}
    documented_module = type("DocumentedEngineModule", (types.ModuleType,), attributes)
    _vollan_native.__class__ = documented_module


_SERIES = """series : sequence of float or numpy array
        The values, finite (NaN and infinities raise ValueError). Lists and tuples of floats
        and C-contiguous float64 arrays are read directly; any other sequence of numbers is
        converted element by element, with the same values and the same errors."""

_BOOTSTRAP = """n_perm : int, default 300
        Bootstrap replicates of the threshold.
    alpha_q : float, default 1.0
        Family-wise level of the scan: a fraction, or a percentage when above 1. The default
        flags generously and leaves the selection to the vote.
    seed : int, default 123
        Seed of the bootstrap; the result is reproducible bit for bit from it, whatever the
        number of threads.
    change_type : {"mean", "var", "distribution"}, default "mean"
        How a flagged region is reduced to one change point: the CUSUM search for "mean",
        the weighted Wasserstein split search for "var" and "distribution". Letter case is
        ignored.
    b : int, optional
        Block length of the tapered block bootstrap; default chosen from the window size. A
        given length is cut to between 3 and the 2w values the two windows pool.
    taper_ratio : float, default 0.5
        Fraction of each block that is tapered.
    center : bool, default True
        Center the bootstrap statistics.
    batch_size : int, default 32
        Accepted for compatibility; it does not change the result."""

_WINDOW_RESULT = """dict
        ``"change_points"`` (list of int), ``"starts"`` (first index of each position's left
        window: 0, w, 2w, ...), ``"statistics"`` (Wasserstein distance of the two adjacent
        windows at each position), ``"tapered_block_bootstrap_threshold"`` (the threshold in
        force at each position) and ``"localized_regions"`` (half-open ``(start, end)``
        stretches where the statistic exceeds its threshold), in this order."""

documented(
    "scan_detector",
    f"""Find change points with windows of several sizes and a vote across them.

    For each window size w, the Wasserstein distance between the two adjacent windows of w
    values, at positions w apart, is compared with a tapered-block-bootstrap threshold; each
    region where it is exceeded is reduced to one change point (see ``change_type``). Change
    points of different window sizes within ``tol`` of each other form a segment, and each
    segment elects the point with the most votes as its leader. :func:`vollan.detect` builds on
    this with settings taken from the series.

    The bootstrap standardises each window by a mean and a standard deviation taken from
    running sums of the values and of their squares. On a baseline far larger than the spread
    (timestamps, readings in the thousands that move by hundredths) those sums round the
    spread away: take the baseline off first, as :func:`vollan.detect` does.

    Parameters
    ----------
    {_SERIES}
    window_sizes : sequence of int, optional
        Window sizes to scan, positive (at least 4 with the default ``b``), in the order
        given; default 10, 11, ..., 20.
    {_BOOTSTRAP.split("change_type")[0].rstrip()}
    tol : int, default 2
        Largest gap between change points of different windows that still counts as one
        change.
    workers : int, optional
        Run this call on a pool of its own with this many threads; default the shared pool
        (sized from ``RAYON_NUM_THREADS``, else the CPUs available).
    backend : {{"thread", "process"}}, default "thread"
        Accepted for compatibility; both run on the same worker threads.
    change_type{_BOOTSTRAP.split("change_type", 1)[1]}

    Returns
    -------
    dict
        ``"cp_dict"``: window size -> its change points; ``"window_results"``: window size ->
        the dictionary of :func:`scan_single_window`; ``"out"``: ``"leaders_segment_votes"``
        (leader -> votes of its segment), ``"leaders_scores"`` (min(votes / number of
        windows, 1)), ``"leaders_probs"`` (scores normalised to sum to 1) and ``"cdf"`` (a
        list of ``(leader, cumulative probability)``), ascending by leader.

    Raises
    ------
    ValueError
        For a series of fewer than 3 values or with non-finite ones, empty window sizes or a
        size of 0, an unknown ``backend`` or ``change_type``, and a window whose 2w pooled
        values are fewer than the bootstrap block ("reference series is shorter than block
        length": sizes below 4 with the default ``b``; a given ``b`` is cut to between 3 and
        2w, so only a size of 1 then).
    TypeError
        For an argument of the wrong type (the message names it).

    Examples
    --------
    >>> import numpy as np, vollan
    >>> rng = np.random.default_rng(0)
    >>> x = np.r_[rng.normal(0, 1, 100), rng.normal(4, 1, 100)]
    >>> result = vollan.scan_detector(x, window_sizes=[10, 20, 30], seed=1)
    >>> result["cp_dict"]
    {{10: [51, 100, 131, 160], 20: [100], 30: [38, 100]}}
    >>> max(result["out"]["leaders_probs"].items(), key=lambda kv: kv[1])
    (100, 0.4285714285714286)
    """,
)

documented(
    "scan_single_window",
    f"""Find change points with one window size.

    The Wasserstein distance between the two adjacent windows of ``window_size`` values, at
    positions ``window_size`` apart, is compared with a tapered-block-bootstrap threshold;
    each region where it is exceeded is reduced to one change point (see ``change_type``).
    The single-window counterpart of :func:`scan_detector`, without the vote.

    Parameters
    ----------
    {_SERIES}
    window_size : int
        Values in each of the two adjacent windows: positive, at least 4 with the default
        ``b``.
    {_BOOTSTRAP}

    Returns
    -------
    {_WINDOW_RESULT}

    Raises
    ------
    ValueError
        For a series of fewer than 3 values or with non-finite ones, a window size of 0, an
        unknown ``change_type``, and a window whose 2w pooled values are fewer than the
        bootstrap block ("reference series is shorter than block length": sizes below 4 with
        the default ``b``; a given ``b`` is cut to between 3 and 2w, so only a size of 1 then).
    TypeError
        For an argument of the wrong type (the message names it).

    Examples
    --------
    >>> import numpy as np, vollan
    >>> rng = np.random.default_rng(0)
    >>> x = np.r_[rng.normal(0, 1, 100), rng.normal(4, 1, 100)]
    >>> window = vollan.scan_single_window(x, window_size=20, seed=1)
    >>> window["change_points"], window["localized_regions"]
    ([100], [(80, 120)])
    """,
)

documented(
    "refine_cusum",
    f"""Place a single change in mean in a whole series (CUSUM search).

    The split that maximises the absolute cumulative sum of deviations from the series'
    mean: no windows, no bootstrap.

    Parameters
    ----------
    {_SERIES}
        At least 3 values.

    Returns
    -------
    int
        The index of the first value of the second regime, between 1 and n - 1.

    Raises
    ------
    ValueError
        For fewer than 3 values or non-finite values.
    TypeError
        For a series that is not a sequence of numbers.

    Examples
    --------
    >>> import vollan
    >>> vollan.refine_cusum([0.0, 0.2, -0.1, 0.1, 0.0, 3.0, 3.2, 2.9, 3.1, 3.0])
    5
    """,
)

documented(
    "refine_wasserstein",
    f"""Place a single change in distribution in a whole series (Wasserstein search).

    Every split is scored by the Wasserstein distance between the values before and after it,
    weighted by the sizes of the two parts; the best split is returned with every score.

    Parameters
    ----------
    {_SERIES}
        At least 3 values.

    Returns
    -------
    (int, list of float)
        The index of the first value of the second regime (between 1 and n - 1), and the
        weighted statistic of every split: element j for the split with j values on the
        left, element 0 NaN.

    Raises
    ------
    ValueError
        For fewer than 3 values or non-finite values.
    TypeError
        For a series that is not a sequence of numbers.

    Examples
    --------
    >>> import vollan
    >>> k, statistics = vollan.refine_wasserstein([0.0, 0.2, -0.1, 0.1, 0.0, 3.0, 3.2, 2.9, 3.1])
    >>> k, len(statistics)
    (5, 9)
    """,
)

documented(
    "swal_statistic",
    f"""Place a single change in a whole series with the search a change type chooses.

    :func:`refine_cusum`'s search for "mean", :func:`refine_wasserstein`'s for "var" and
    "distribution": the same reduction that :func:`scan_detector` applies to each flagged
    region.

    Parameters
    ----------
    {_SERIES}
        At least 3 values.
    change_type : {{"distribution", "mean", "var"}}, default "distribution"
        The kind of change; letter case is ignored.

    Returns
    -------
    int
        The index of the first value of the second regime, between 1 and n - 1.

    Raises
    ------
    ValueError
        For fewer than 3 values, non-finite values, or an unknown ``change_type``.
    TypeError
        For a series that is not a sequence of numbers, or a ``change_type`` that is not text.

    Examples
    --------
    >>> import vollan
    >>> vollan.swal_statistic([0.0, 0.2, -0.1, 0.1, 0.0, 3.0, 3.2, 2.9, 3.1, 3.0], "mean")
    5
    """,
)

_DISTANCE = """Parameters
    ----------
    left, right : sequence of float or numpy array
        The two samples, each non-empty and finite; their lengths may differ.

    Returns
    -------
    float
        The distance, in the units of the values.

    Raises
    ------
    ValueError
        For an empty sample or non-finite values.
    TypeError
        For a sample that is not a sequence of numbers (the message names it)."""

documented(
    "wasserstein_statistic",
    f"""First-order Wasserstein distance between the empirical distributions of two samples.

    The area between the two empirical distribution functions (as
    ``scipy.stats.wasserstein_distance`` without weights). :func:`ipm_statistic` is the
    same function under another name.

    {_DISTANCE}

    Examples
    --------
    >>> import vollan
    >>> vollan.wasserstein_statistic([0.0, 1.0, 2.0], [1.0, 2.0, 3.0])
    1.0
    """,
)

documented(
    "ipm_statistic",
    f"""First-order Wasserstein distance, named as the integral probability metric it is.

    The same function as :func:`wasserstein_statistic`, under another name.

    {_DISTANCE}

    Examples
    --------
    >>> import vollan
    >>> vollan.ipm_statistic([0.0, 1.0], [0.0, 3.0])
    1.0
    """,
)

install()
