"""Independent Monte Carlo chains of the 2D Ising model: what runs in a worker.

A chain (plan.Chain) builds its own ``spinlattice.Lattice`` inside the worker
that runs it and returns a record of numbers and its raw series, so chains can
go to a local process pool or to a Dask cluster alike; a worker needs
spinlattice and numpy, nothing else. Metropolis chains advance by
``simulation_steps``, Wolff chains by ``wolff_steps``, whose returned counts of
flipped spins give their sweep-equivalents.

Given a store, a chain saves its state as it runs: every `checkpoint_seconds`
of work, and when the process it runs in gets SIGINT (it then stops at the next
measurement and raises ChainInterrupted). A save holds the spins
(``as_bytes``), the updates done and the measurements so far. A chain started
again with a save of its own plan continues from it: a fresh lattice takes the
saved spins by ``set_spins`` and the chain goes on where it stopped.

That is a valid continuation of the Markov chain. Its state is the spin
configuration alone: each update's transition probabilities depend on the
spins, the temperature and the field, never on the generator's past. A fresh
generator, seeded independently, draws numbers with the same law as the old
one's continuation would have, so the continued chain has the same law as an
uninterrupted one, equilibrium included. What changes: the run is no longer
one keystream. It is two or more, each seeded from the operating system, so it
could not be replayed from one seed (no run here can be), and the lattice that
ends it was not the one that began it.
"""

from __future__ import annotations

import contextlib
import signal
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

try:
    import numpy as np
except ImportError as error:
    from ._extras import missing_extra

    raise missing_extra(__name__, error) from error

from .exact import T_C
from .plan import RULES, STARTS, Chain, usual_start
from .stats import Summary, summarize

if TYPE_CHECKING:
    from .storage import ChainStore

__all__ = ["RULES", "STARTS", "Chain", "ChainResult", "ChainInterrupted", "Progress", "run_chain", "snapshot",
           "site_update_seconds", "usual_start", "catch_interrupts"]

# Work between saves, at most: what a SIGKILL can lose.
CHECKPOINT_SECONDS = 30.0

# Ordered starts, one signed byte per site (set_spins takes them as they are).
_SPIN_BYTES = {"up": b"\x01", "down": b"\xff"}


@dataclass(frozen=True)
class _Ran:
    L: int
    T: float
    h: float
    rule: str
    start: str
    measurements: int


@dataclass(frozen=True)
class ChainResult(Summary, _Ran):
    """A finished chain: what it ran, its summary, what it cost, and its raw series:
    total energy and total magnetisation after each measurement interval."""

    updates_per_measurement: int
    # Sweeps (single-spin) or sweep-equivalents (spins flipped / L^2) per measurement.
    sweeps_per_measurement: float
    # How many times it was continued from a save.
    resumes: int
    seconds: float
    # CPU time as well: on a shared machine the wall time says little about cost.
    cpu_seconds: float
    energy: np.ndarray = field(repr=False, compare=False)
    magnetization: np.ndarray = field(repr=False, compare=False)


@dataclass(frozen=True)
class Progress:
    """A chain's state at a save: enough to continue it on a fresh lattice."""

    spins: np.ndarray  # int8, site-index order, as as_bytes() gives them
    updates: int  # single-spin updates or cluster flips, equilibration included
    # Equilibration done: updates (Metropolis) or spins flipped (Wolff). Over when
    # updates_per_measurement is set.
    equilibrated: int
    # Wolff: cluster flips and spins they flipped in equilibration's second half,
    # which fix the flips per measurement.
    tally_flips: int
    tally_sites: int
    updates_per_measurement: int
    flipped: int  # spins flipped while measuring: the sweep-equivalents of Wolff chains
    target: int  # measurements this run aims at (doubled while untrusted)
    energy: np.ndarray
    magnetization: np.ndarray
    seconds: float
    cpu_seconds: float
    resumes: int


class ChainInterrupted(KeyboardInterrupt):
    """A chain stopped by SIGINT, its state saved (or nothing to save yet)."""

    def __init__(self, name: str, measurements: int) -> None:
        super().__init__(name, measurements)
        self.name, self.measurements = name, measurements

    def __str__(self) -> str:
        return f"{self.name} stopped after {self.measurements} measurements, saved"


# --- SIGINT: a request to save and stop ----------------------------------------------

_STOP = threading.Event()


def _note_interrupt(signum: int, frame: Any) -> None:
    _STOP.set()


def catch_interrupts() -> None:
    """In a worker process: from now on SIGINT asks the chain it runs to save and
    stop, and any chain it starts later to stop at once."""
    signal.signal(signal.SIGINT, _note_interrupt)


@contextlib.contextmanager
def _stop_requests(saving: bool) -> Iterator[threading.Event]:
    """The event SIGINT sets while a chain runs. In a worker (catch_interrupts) it
    outlives the chain; called directly in the main thread, SIGINT is taken over
    for the chain alone; elsewhere (a thread, or nothing to save) nothing changes."""
    if not saving or threading.current_thread() is not threading.main_thread():
        yield threading.Event()
    elif signal.getsignal(signal.SIGINT) is _note_interrupt:
        yield _STOP
    else:
        _STOP.clear()
        previous = signal.signal(signal.SIGINT, _note_interrupt)
        try:
            yield _STOP
        finally:
            signal.signal(signal.SIGINT, previous)


# --- one chain ------------------------------------------------------------------------


class _Run:
    """A chain on its lattice: equilibration, measurements, saves."""

    def __init__(self, chain: Chain, store: ChainStore | None, checkpoint_seconds: float, stop: threading.Event) -> None:
        from spinlattice import Lattice  # imported in the worker, where the chain runs

        self.chain, self.store, self.stop = chain, store, stop
        self.every = checkpoint_seconds
        self.n = n = chain.L * chain.L
        self.lattice = Lattice(chain.L, chain.L, chain.T, chain.h)
        saved = store.load_progress(chain)[0] if store is not None else None
        if saved is None:
            if chain.start != "random":
                self.lattice.set_spins(_SPIN_BYTES[chain.start] * n)
            self.updates = self.equilibrated = self.tally_flips = self.tally_sites = 0
            self.updates_per_measurement = self.flipped = 0
            self.target = chain.measurements
            self.energy: list[float] = []
            self.magnetization: list[float] = []
            self.seconds_before = self.cpu_before = 0.0
            self.resumes = 0
        else:
            self.lattice.set_spins(saved.spins)  # a fresh generator continues the chain: see above
            self.updates, self.equilibrated = saved.updates, saved.equilibrated
            self.tally_flips, self.tally_sites = saved.tally_flips, saved.tally_sites
            self.updates_per_measurement, self.flipped, self.target = saved.updates_per_measurement, saved.flipped, saved.target
            self.energy, self.magnetization = saved.energy.tolist(), saved.magnetization.tolist()
            self.seconds_before, self.cpu_before = saved.seconds, saved.cpu_seconds
            self.resumes = saved.resumes + 1
        self.started, self.cpu_started = time.perf_counter(), time.process_time()
        self.last_save = time.monotonic()

    def seconds(self) -> tuple[float, float]:
        return (self.seconds_before + time.perf_counter() - self.started,
                self.cpu_before + time.process_time() - self.cpu_started)

    def progress(self) -> Progress:
        seconds, cpu_seconds = self.seconds()
        return Progress(
            np.frombuffer(self.lattice.as_bytes(), np.int8).copy(), self.updates, self.equilibrated,
            self.tally_flips, self.tally_sites, self.updates_per_measurement, self.flipped, self.target,
            np.asarray(self.energy, float), np.asarray(self.magnetization, float), seconds, cpu_seconds, self.resumes,
        )

    def pause(self) -> None:
        """Between two pieces of work: save when it is time, stop when asked."""
        if self.store is None:
            return
        if self.stop.is_set():
            self.store.save_progress(self.chain, self.progress())
            raise ChainInterrupted(self.chain.name, len(self.energy))
        if time.monotonic() - self.last_save >= self.every:
            self.store.save_progress(self.chain, self.progress())
            self.last_save = time.monotonic()

    def equilibrate(self) -> None:
        if self.updates_per_measurement:
            return
        if self.chain.rule == "metropolis":
            target = self.chain.equilibration * self.n
            while self.equilibrated < target:
                count = min(self.n, target - self.equilibrated)
                self.lattice.simulation_steps(count)
                self.updates += count
                self.equilibrated += count
                self.pause()
            self.updates_per_measurement = self.n
        else:
            self.updates_per_measurement = self._wolff_equilibrate(max(self.chain.equilibration, 1) * self.n)

    def _wolff_equilibrate(self, target: int) -> int:
        """Cluster flips until `target` spins have been flipped and at least 20 flips
        of the second half were counted; returns the flips per sweep-equivalent, from
        the mean cluster size of that second half. Flips go in batches of about one
        sweep-equivalent, grown at most twofold so that a batch picked while the
        clusters are still small does not overshoot once they have grown."""
        batch = 1
        while self.equilibrated < target or self.tally_flips < 20:
            flipped = self.lattice.wolff_steps(batch)
            self.updates += batch
            self.equilibrated += flipped
            if self.equilibrated >= target // 2:
                self.tally_flips += batch
                self.tally_sites += flipped
            self.pause()
            batch = max(1, min(2 * batch, round(batch * self.n / max(flipped, 1))))
        return max(1, round(self.n * self.tally_flips / self.tally_sites))

    def measure(self) -> Summary:
        """Measurements up to the target, doubling it while the run is untrusted."""
        chain, lattice, per = self.chain, self.lattice, self.updates_per_measurement
        advance = lattice.simulation_steps if chain.rule == "metropolis" else lattice.wolff_steps
        energy, magnetization = lattice.get_energy, lattice.get_total_magnetization
        while True:
            while len(self.energy) < self.target:
                flipped = advance(per)
                self.updates += per
                self.flipped += flipped
                self.energy.append(energy())
                self.magnetization.append(magnetization())
                self.pause()
            summary = summarize(self.energy, self.magnetization, chain.L, chain.T)
            if summary.trusted or 2 * self.target > chain.max_measurements:
                return summary
            self.target *= 2
            self.pause()  # the new target is saved with the state

    def result(self, summary: Summary) -> ChainResult:
        chain, count = self.chain, len(self.energy)
        sweeps = 1.0 if chain.rule == "metropolis" else self.flipped / (self.n * count)
        seconds, cpu_seconds = self.seconds()
        return ChainResult(
            L=int(chain.L), T=float(chain.T), h=float(chain.h), rule=chain.rule, start=chain.start, measurements=count,
            **vars(summary), updates_per_measurement=int(self.updates_per_measurement),
            sweeps_per_measurement=float(sweeps), resumes=self.resumes, seconds=seconds, cpu_seconds=cpu_seconds,
            energy=np.asarray(self.energy, float), magnetization=np.asarray(self.magnetization, float),
        )


def run_chain(chain: Chain, store: ChainStore | None = None, checkpoint_seconds: float = CHECKPOINT_SECONDS) -> ChainResult:
    """Run one independent chain and return its observables and series.

    Its start (plan.usual_start unless the plan says otherwise), then
    `equilibration` sweeps discarded; Metropolis then measures once per sweep of
    L*L single-spin updates, Wolff once per fixed number of cluster flips, chosen
    during equilibration so that it flips about L*L spins. With a `store`, a saved
    state of the same plan is continued, and the state is saved as it runs (see
    the module's text); a finished chain leaves its last save for the caller to
    drop once the result is safe."""
    with _stop_requests(store is not None) as stop:
        if stop.is_set():  # stopped before it began: a worker's queued chain after SIGINT
            raise ChainInterrupted(chain.name, 0)
        run = _Run(chain, store, checkpoint_seconds, stop)
        run.equilibrate()
        return run.result(run.measure())


# --- quick looks ------------------------------------------------------------------------


def _equilibrated_wolff(L: int, T: float, sweeps: int) -> tuple[Any, int]:
    """An L x L lattice after `sweeps` sweep-equivalents of Wolff flips from a
    random start in zero field, and its flips per sweep-equivalent."""
    run = _Run(Chain(L, T, "wolff", sweeps, 4), None, CHECKPOINT_SECONDS, threading.Event())
    run.equilibrate()
    return run.lattice, run.updates_per_measurement


def snapshot(L: int, T: float, sweeps: int = 200) -> list[int]:
    """Spins (+1/-1, row-major) of an L x L lattice after `sweeps` sweep-equivalents
    of Wolff flips at temperature T in zero field."""
    return _equilibrated_wolff(L, T, sweeps)[0].as_array()


def site_update_seconds(L: int = 64, T: float = T_C, seconds: float = 0.3) -> float:
    """CPU seconds per site and sweep-equivalent of Wolff flips near T_c, measured
    here for about `seconds`: what a study's cost estimate is scaled by."""
    lattice, flips = _equilibrated_wolff(L, T, 20)
    sweeps = 0
    started = time.process_time()
    while time.process_time() - started < seconds:
        lattice.wolff_steps(flips)
        lattice.get_energy()
        sweeps += 1
    return (time.process_time() - started) / (sweeps * L * L)
