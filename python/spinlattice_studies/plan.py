"""What one Markov chain runs: the plan every command builds its chains from.

Standard library only, so that the command line can describe and check a plan
before anything heavier is imported.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from typing import Any

RULES = ("metropolis", "wolff")
STARTS = ("random", "up", "down")

WOLFF_IN_A_FIELD = (
    "the Wolff rule takes no field: its clusters are built and flipped as if h = 0, so with a "
    "field it would sample the zero-field distribution, not the one asked for; use metropolis"
)


def usual_start(rule: str) -> str:
    """Metropolis starts ordered: from a random start below T_c it can freeze into
    stripes (domain walls wrapping the torus) that live for a very long time. Wolff
    clusters dissolve those at once, so it starts at random."""
    return "up" if rule == "metropolis" else "random"


@dataclass(frozen=True)
class Chain:
    """One chain: an L x L periodic lattice at temperature T in the field h, updated
    by `rule` from the `start` configuration; `equilibration` sweeps (or
    sweep-equivalents of cluster flips) discarded, then `measurements` measured,
    one per sweep(-equivalent). While the run is too short for its slowest
    autocorrelation time it is doubled, up to `max_measurements` (0: never).
    `start` left empty is the rule's usual one (usual_start)."""

    L: int
    T: float
    rule: str
    equilibration: int
    measurements: int
    max_measurements: int = 0
    h: float = 0.0
    start: str = ""

    def __post_init__(self) -> None:
        if self.rule not in RULES:
            raise ValueError(f"rule must be one of {', '.join(RULES)}, got {self.rule!r}")
        if self.rule == "wolff" and self.h != 0.0:
            raise ValueError(WOLFF_IN_A_FIELD)
        if self.start and self.start not in STARTS:
            raise ValueError(f"start must be one of {', '.join(STARTS)}, got {self.start!r}")
        if self.L < 2 or not (math.isfinite(self.T) and self.T > 0) or not math.isfinite(self.h):
            raise ValueError(f"need L >= 2, T positive and finite, h finite; got L = {self.L}, T = {self.T}, h = {self.h}")
        if self.measurements < 4 or self.equilibration < 0:
            raise ValueError("need at least 4 measurements and no negative equilibration")
        if not self.start:
            object.__setattr__(self, "start", usual_start(self.rule))

    @property
    def name(self) -> str:
        """The file name it is saved under: the same chain, the same name."""
        name = f"{self.rule}_L{self.L}_T{self.T:.10f}"
        if self.h:
            name += f"_h{self.h:+.10f}"
        return name if self.start == usual_start(self.rule) else f"{name}_{self.start}"

    @property
    def cost(self) -> float:
        """Expected cost in site updates: a Metropolis sweep (one simulation_steps call)
        costs about as much as a sweep-equivalent of Wolff flips (0.7 to 0.9 of it,
        measurements included, on 16^2 to 64^2 at T = 1.8 to 3)."""
        return float(self.L * self.L * (self.equilibration + self.measurements))

    def plan(self) -> dict[str, Any]:
        """The chain as saved beside its results: a file is only used for this plan."""
        return asdict(self)
