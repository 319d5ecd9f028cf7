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

import dataclasses
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from vollan.pipeline.level import LEVEL
from vollan.pipeline.select import accepted
from vollan.pipeline.shape import SHAPE
from vollan.pipeline.slope import SLOPE
from vollan.pipeline.spread import SPREAD
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
    return Outcome(found, proposed, level_of)


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
