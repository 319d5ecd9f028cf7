"""Every setting of :func:`vollan.detect` in one frozen object.

``DetectConfig`` holds the call's options and each stage's parameters. A variant is a new
config, never a changed module: ``DEFAULT.replace("level", bumps=False)`` changes one stage's
parameter, ``DEFAULT.without("slope")`` switches a stage off, and
``detect(x, config=variant)`` runs it. Options given to :func:`vollan.detect` itself override
the config's.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Literal

from vollan.pipeline.context import PrepareParams
from vollan.pipeline.level import LevelParams
from vollan.pipeline.place import PlaceParams
from vollan.pipeline.shape import ShapeParams
from vollan.pipeline.slope import SlopeParams
from vollan.pipeline.spread import SpreadParams
from vollan.pipeline.vote import VoteParams

__all__ = ["DEFAULT", "DetectConfig"]

ChangeTypeName = Literal["mean", "var", "distribution"]


@dataclass(frozen=True)
class DetectConfig:
    """The options of a detection and the parameters of each of its stages.

    Attributes
    ----------
    change_type : {"distribution", "mean", "var"}
        Which kinds of change are looked for: "distribution" every kind, "mean" shifts of the
        mean, "var" changes of spread.
    alpha : float
        The false-alarm budget: the chance of reporting any change in a change-free series. It
        is shared among the stages that apply, in proportion to their ``share``.
    prepare, vote, level, slope, shape, spread, place
        Each stage's frozen parameters (see the stage's module).
    off : frozenset of str
        Stages switched off.
    """

    change_type: ChangeTypeName = "distribution"
    alpha: float = 0.05
    prepare: PrepareParams = field(default_factory=PrepareParams)
    vote: VoteParams = field(default_factory=VoteParams)
    level: LevelParams = field(default_factory=LevelParams)
    slope: SlopeParams = field(default_factory=SlopeParams)
    shape: ShapeParams = field(default_factory=ShapeParams)
    spread: SpreadParams = field(default_factory=SpreadParams)
    place: PlaceParams = field(default_factory=PlaceParams)
    off: frozenset[str] = frozenset()

    def params(self, stage: str) -> Any:
        """The parameters of ``stage``."""
        if stage not in _STAGE_FIELDS:
            raise ValueError(f"stage must be one of {', '.join(_STAGE_FIELDS)}, got {stage!r}")
        return getattr(self, stage)

    def replace(self, stage: str | None = None, **params: Any) -> DetectConfig:
        """A copy with ``stage``'s parameters changed, or, without ``stage``, the config's own
        options (``change_type``, ``alpha``)."""
        if stage is None:
            return dataclasses.replace(self, **params)
        current = self.params(stage)
        names = {f.name for f in dataclasses.fields(current)}
        unknown = sorted(set(params) - names)
        if unknown:
            raise TypeError(
                f"stage {stage!r} has no parameter {unknown[0]!r}; "
                f"it has {', '.join(sorted(names))}"
            )
        return dataclasses.replace(self, **{stage: dataclasses.replace(current, **params)})

    def without(self, *stages: str) -> DetectConfig:
        """A copy with ``stages`` switched off."""
        for stage in stages:
            self.params(stage)
        return dataclasses.replace(self, off=self.off | frozenset(stages))

    def runs(self, stage: str) -> bool:
        """Whether ``stage`` is switched on."""
        return stage not in self.off


_STAGE_FIELDS = ("prepare", "vote", "level", "slope", "shape", "spread", "place")

DEFAULT = DetectConfig()
