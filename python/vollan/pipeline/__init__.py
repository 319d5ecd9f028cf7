"""The pipeline of :func:`vollan.detect`, stated once.

::

    series -> prepare -> SeriesContext -> scan -> stages propose -> select (alpha) -> place

:data:`STAGES` is the only statement of the order in which the stages look for changes. Each
searches the stretches between the changes accepted before it, proposes candidates with
p-values under its own null, and keeps those whose p-values pass its share of ``alpha``
(:mod:`vollan.pipeline.select`). The stages that apply to a series share the whole budget in
proportion to their ``share``, so that a change-free series reports a change with probability
at most ``alpha`` (Bonferroni).
"""

from __future__ import annotations

import bisect
import dataclasses
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from vollan.pipeline.level import LEVEL
from vollan.pipeline.level import split_p_value as level_split_p
from vollan.pipeline.select import accepted
from vollan.pipeline.shape import SHAPE
from vollan.pipeline.slope import SLOPE
from vollan.pipeline.spread import SPREAD
from vollan.pipeline.spread import split_p_value as spread_split_p
from vollan.pipeline.stage import KINDS_OF_CHANGE_TYPE, Stage
from vollan.pipeline.vote import VOTE

if TYPE_CHECKING:
    from vollan.config import DetectConfig
    from vollan.pipeline.context import SeriesContext
    from vollan.pipeline.stage import Candidate

__all__ = ["STAGES", "Outcome", "levels", "run", "stage_rows", "stage_table"]

# The order: the vote first, since it sees every kind of change near each boundary; then, over
# the stretches between what was found, shifts of level too small for the windows, bends of
# the trend, changes of shape, and last changes of spread (a change of shape at equal spread
# moves the deviations the spread stage sums as well, and the shape's own statistic places it
# better).
STAGES: tuple[Stage, ...] = (VOTE, LEVEL, SLOPE, SHAPE, SPREAD)

Progress = Callable[[float, str], None]


@dataclass(frozen=True)
class Outcome:
    """What the stages found: the changes accepted, every candidate proposed, and each
    stage's level (its share of ``alpha``)."""

    accepted: list[Candidate]
    proposed: list[Candidate]
    levels: dict[str, float]


def levels(ctx: SeriesContext, config: DetectConfig) -> dict[str, float]:
    """Each applying stage's level: ``alpha`` shared in proportion to the stages' shares."""
    applying = {
        s.name: config.params(s.name).share
        for s in STAGES
        if config.runs(s.name) and s.applies(ctx, config.params(s.name))
    }
    total = sum(applying.values())
    return {name: config.alpha * share / total for name, share in applying.items() if total}


def run(ctx: SeriesContext, config: DetectConfig, progress: Progress | None = None) -> Outcome:
    """Run the stages in order on the scanned series ``ctx``."""
    level_of = levels(ctx, config)
    found: list[Candidate] = []
    proposed: list[Candidate] = []
    for k, stage in enumerate(STAGES):
        if stage.name not in level_of:
            continue
        level = level_of[stage.name]
        if progress is not None:
            progress(k / len(STAGES), stage.name)
        cuts = sorted({c.index for c in found})
        candidates = stage.propose(ctx, config.params(stage.name), level, cuts)
        # A change of another kind than the change type asks for is not reported.
        wanted = KINDS_OF_CHANGE_TYPE[ctx.change_type]
        candidates = [
            c if c.kind in wanted else dataclasses.replace(c, passed=False) for c in candidates
        ]
        proposed += candidates
        found += accepted(candidates, level, ctx.sizes[0])
    stronger = _stretch_evidence(ctx, config, found, level_of)
    found = [stronger.get(id(c), c) for c in found]
    proposed = [stronger.get(id(c), c) for c in proposed]
    return Outcome(found, proposed, level_of)


def _stretch_evidence(
    ctx: SeriesContext,
    config: DetectConfig,
    found: list[Candidate],
    level_of: dict[str, float],
) -> dict[int, Candidate]:
    """The vote's shifts and changes of spread with the evidence of the stretch between their
    neighbours, where it is stronger (by id of the candidate).

    The vote judges a change by a contrast of tens of values a side; the stretch between its
    neighbours holds far more, and the level or spread stage's statistic there (when its
    strongest split is this change) is often far more extreme. A change's p-value is then the
    smaller of the two stages', each over its share of ``alpha``: a change-free series still
    shows one at most ``alpha`` of the time (the union bound), and ``n_changes`` orders clear
    changes by all their evidence.
    """
    by_kind = {"mean": LEVEL.name, "variance": SPREAD.name}
    cuts = sorted(c.index for c in found)
    out: dict[int, Candidate] = {}
    for cand in found:
        stage = by_kind.get(cand.kind)
        if cand.stage != VOTE.name or stage not in level_of:
            continue
        split_p = level_split_p if stage == LEVEL.name else spread_split_p
        k = bisect.bisect_left(cuts, cand.index)
        start = cuts[k - 1] if k else 0
        end = cuts[k + 1] if k + 1 < len(cuts) else ctx.n
        p = split_p(ctx.x, start, end, cand.index, ctx.sizes[-1], config.params(stage))
        p *= level_of[VOTE.name] / level_of[stage]
        if p < cand.p_value:
            evidence = {**cand.evidence, "stretch_stage": stage}
            out[id(cand)] = dataclasses.replace(cand, p_value=p, evidence=evidence)
    return out


def stage_rows() -> list[dict[str, str]]:
    """Each stage's metadata, in order: what the README, ``ARCHITECTURE.md`` and
    ``help(vollan.detect)`` say of the stages is drawn from these rows."""
    from vollan.config import DEFAULT

    total = sum(DEFAULT.params(s.name).share for s in STAGES)
    rows = []
    for stage in STAGES:
        share = DEFAULT.params(stage.name).share
        cal = stage.calibration
        rows.append(
            {
                "stage": stage.name,
                "module": f"vollan/pipeline/{stage.name}.py",
                "catches": stage.catches,
                "kinds": ", ".join(stage.kinds),
                "share": f"{share / total:.0%} of alpha ({DEFAULT.alpha * share / total:.3g})",
                "null": cal.null,
                "law": f"{cal.law}, calibrated at {cal.level:g}",
                "script": cal.script,
                "off": f'DEFAULT_CONFIG.without("{stage.name}")',
            }
        )
    return rows


def stage_table() -> str:
    """The stages as a Markdown table (generated; see :func:`stage_rows`)."""
    lines = [
        "| stage | catches | kinds | share of the budget (at alpha = 0.05) | null it is "
        "calibrated on | switch off |",
        "|---|---|---|---|---|---|",
    ]
    for r in stage_rows():
        lines.append(
            f"| {r['stage']} | {r['catches']} | {r['kinds']} | {r['share']} | {r['null']}; "
            f"{r['law']} (`{r['script']}`) | `{r['off']}` |"
        )
    return "\n".join(lines)
