"""Independent Monte Carlo chains of the 2D Ising model: what runs in a worker.

One chain is one (L, T, rule): an L x L periodic lattice at temperature T in zero
field, updated with single-spin Metropolis sweeps or Wolff cluster flips. Each
chain builds its own ``spinlattice.Lattice`` inside the worker that runs it and
returns a small record of numbers, so chains can go to a local process pool or
to a Dask cluster alike; a worker needs spinlattice and numpy, nothing else.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from .exact import T_C
from .stats import Summary, summarize

RULES = ("metropolis", "wolff")

# A field this strong aligns every spin it touches at any temperature we use,
# which gives an ordered start without a way to set spins directly.
_ALIGNING_FIELD = 64.0


class Chain(NamedTuple):
    """What one Markov chain runs: lattice size, temperature, update rule and
    the number of sweeps (or sweep-equivalents of cluster flips) to discard and
    to measure."""

    L: int
    T: float
    rule: str
    equilibration: int
    measurements: int
    # Doubling the run while it is not trusted, up to this many measurements (0: never).
    max_measurements: int = 0

    @property
    def name(self) -> str:
        """The file name its saved result goes by: the same chain, the same name."""
        return f"{self.rule}_L{self.L}_T{self.T:.10f}"

    @property
    def cost(self) -> float:
        """Expected cost: a Metropolis sweep costs about four sweep-equivalents of Wolff flips."""
        return float(self.L * self.L * (self.equilibration + self.measurements) * (4 if self.rule == "metropolis" else 1))


@dataclass(frozen=True)
class _Ran:
    L: int
    T: float
    rule: str
    measurements: int


@dataclass(frozen=True)
class ChainResult(Summary, _Ran):
    """A finished chain: what it ran (L, T, rule, measurements), its summary, and
    what it cost. Fields in that order."""

    updates_per_measurement: int
    seconds: float
    cpu_seconds: float


@dataclass(frozen=True)
class SeriesRun:
    """The raw series of one Wolff chain, for reweighting: total energy and total
    magnetisation once per sweep-equivalent of flips."""

    L: int
    T: float
    energy: np.ndarray
    magnetization: np.ndarray
    flips_per_measurement: int
    seconds: float
    # CPU time as well: on a shared machine the wall time says little about cost.
    cpu_seconds: float


def _order(lattice: Any) -> None:
    """Metropolis sweeps in a strong field until every spin is up, then zero field."""
    n = lattice.width * lattice.height
    step = lattice.simulation_step
    lattice.h_z = _ALIGNING_FIELD
    for _ in range(1000):  # a handful suffices; this only bounds a broken build
        if lattice.get_total_magnetization() == n:
            break
        for _ in range(n):
            step()
    else:
        raise RuntimeError("the aligning field did not order the lattice")
    lattice.h_z = 0.0


def _wolff_equilibrate(lattice: Any, sweeps: int) -> int:
    """Cluster flips until about `sweeps` * n spins have been flipped; returns the
    number of flips per sweep-equivalent, from the mean cluster size of the second
    half.

    A cluster's size is half the change it makes to the total magnetisation. That
    read costs O(n), so only about eight flips per sweep-equivalent are sized,
    and each sized flip stands for the unsized ones before it."""
    n = lattice.width * lattice.height
    flip, total = lattice.wolff_step, lattice.get_total_magnetization
    target = max(sweeps, 1) * n
    flipped = 0
    recent = 1.0  # moving mean cluster size, only to pick the stride
    stride = 1
    counted = counted_sites = 0
    while flipped < target or counted < 20:
        for _ in range(stride - 1):
            flip()
        before = total()
        flip()
        size = int(abs(total() - before)) // 2
        flipped += stride * size
        if flipped >= target // 2:
            counted += 1
            counted_sites += size
        recent += 0.25 * (size - recent)
        # Doubling at most keeps a stride picked while clusters are still small
        # from overshooting once they have grown.
        stride = max(1, min(2 * stride, int(n / (8.0 * max(recent, 1.0)))))
    return max(1, int(round(n * counted / counted_sites)))


def run_chain(chain: Chain) -> ChainResult:
    """Run one independent chain and return its observables.

    Metropolis: ordered start, then sweeps of L*L single-spin attempts; one
    measurement per sweep. Wolff: random start; one measurement per fixed number
    of cluster flips, chosen during equilibration so that it flips about L*L
    spins. Both: `equilibration` sweep(-equivalent)s discarded first. While the
    run is too short for its slowest autocorrelation time, it is doubled, up to
    `max_measurements`; the result says whether it ended trusted."""
    from spinlattice import Lattice  # imported in the worker, where the chain runs

    L, T, rule, equilibration, measurements, max_measurements = chain
    if rule not in RULES:
        raise ValueError(f"rule must be one of {RULES}, got {rule!r}")
    if measurements < 4:
        raise ValueError("need at least 4 measurements")
    started, cpu_started = time.perf_counter(), time.process_time()
    lattice = Lattice(L, L, T, 0.0)
    n = L * L
    energy, magnetization = lattice.get_energy, lattice.get_total_magnetization
    energies: list[float] = []
    magnetizations: list[float] = []
    if rule == "metropolis":
        step = lattice.simulation_step
        _order(lattice)
        for _ in range(equilibration * n):
            step()
        updates_per_measurement = n
        update = step
    else:
        update = lattice.wolff_step
        updates_per_measurement = _wolff_equilibrate(lattice, equilibration)
    target = measurements
    while True:
        for _ in range(target - len(energies)):
            for _ in range(updates_per_measurement):
                update()
            energies.append(energy())
            magnetizations.append(magnetization())
        summary: Summary = summarize(energies, magnetizations, L, T)
        if summary.trusted or 2 * target > max_measurements:
            break
        target *= 2
    return ChainResult(
        L=int(L), T=float(T), rule=rule, measurements=len(energies), **vars(summary),
        updates_per_measurement=int(updates_per_measurement),
        seconds=time.perf_counter() - started, cpu_seconds=time.process_time() - cpu_started,
    )


def wolff_series(L: int, T: float, equilibration: int, measurements: int) -> SeriesRun:
    """Total energy and total magnetisation of an L x L lattice at temperature T,
    measured once per sweep-equivalent of Wolff flips after `equilibration`
    sweep-equivalents from a random start: the raw series, for reweighting."""
    from spinlattice import Lattice

    if measurements < 4:
        raise ValueError("need at least 4 measurements")
    started, cpu_started = time.perf_counter(), time.process_time()
    lattice = Lattice(L, L, T, 0.0)
    flip, energy, magnetization = lattice.wolff_step, lattice.get_energy, lattice.get_total_magnetization
    flips = _wolff_equilibrate(lattice, equilibration)
    energies: list[float] = []
    magnetizations: list[float] = []
    for _ in range(measurements):
        for _ in range(flips):
            flip()
        energies.append(energy())
        magnetizations.append(magnetization())
    return SeriesRun(
        int(L), float(T), np.asarray(energies, float), np.asarray(magnetizations, float), int(flips),
        time.perf_counter() - started, time.process_time() - cpu_started,
    )


def snapshot(L: int, T: float, sweeps: int = 200) -> list[int]:
    """Spins (+1/-1, row-major) of an L x L lattice after `sweeps` sweep-equivalents
    of Wolff flips at temperature T in zero field."""
    from spinlattice import Lattice

    lattice = Lattice(L, L, T, 0.0)
    _wolff_equilibrate(lattice, sweeps)
    return lattice.as_array()


def site_update_seconds(L: int = 64, T: float = T_C, seconds: float = 0.3) -> float:
    """CPU seconds per site and sweep-equivalent of Wolff flips near T_c, measured
    here for about `seconds`: what a study's cost estimate is scaled by."""
    from spinlattice import Lattice

    lattice = Lattice(L, L, T, 0.0)
    flips = _wolff_equilibrate(lattice, 20)
    sweeps = 0
    started = time.process_time()
    while time.process_time() - started < seconds:
        for _ in range(flips):
            lattice.wolff_step()
        lattice.get_energy()
        sweeps += 1
    return (time.process_time() - started) / (sweeps * L * L)
