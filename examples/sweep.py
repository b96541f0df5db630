"""Independent Monte Carlo chains of the 2D Ising model, run through any executor.

One chain is one (L, T, rule): an L x L periodic lattice at temperature T in zero
field, updated with single-spin Metropolis sweeps or Wolff cluster flips. Each
chain builds its own ``spinlattice.Lattice`` inside the worker that runs it and
returns only plain numbers, so chains can go to a local process pool or to a
Dask cluster alike.

The exact results for the infinite lattice that the chains are compared with
(Onsager's energy, Yang's spontaneous magnetisation) live here too; the energy
takes its elliptic integral from scipy, imported only where it is used, so
workers that run chains need nothing but spinlattice.

As a command it runs one sweep and writes one CSV row per chain:

    python examples/sweep.py --sizes 16,32 --temperatures 2.0,2.3,2.6 [--rules wolff]
        [--measurements N] [--equilibration N] [--scheduler tcp://127.0.0.1:8786] [--csv FILE]
"""

from __future__ import annotations

import contextlib
import math
import multiprocessing
import os
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from typing import Any, NamedTuple

RULES = ("metropolis", "wolff")

# Critical temperature of the square lattice (coupling 1, k_B = 1).
T_C = 2.0 / math.log(1.0 + math.sqrt(2.0))

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


# --- exact results for the infinite lattice -------------------------------------


def _ellipk_from_complement(kp: float) -> float:
    """K(k) for the complementary modulus k' = sqrt(1 - k^2), without forming 1 - k'^2
    (K diverges logarithmically as k' -> 0, near T_c)."""
    from scipy.special import ellipkm1  # imported here: workers only run chains

    return float(ellipkm1(kp * kp))


def ellipk(m: float) -> float:
    """Complete elliptic integral of the first kind, K(m) with parameter m = k^2
    (the convention of scipy.special.ellipk), for 0 <= m <= 1."""
    from scipy.special import ellipk as scipy_ellipk

    if not 0.0 <= m <= 1.0:
        raise ValueError(f"parameter m must be in [0, 1], got {m!r}")
    return float(scipy_ellipk(m))


def onsager_energy(T: float) -> float:
    """Onsager's exact internal energy per site of the infinite square lattice,
    e(T) = -coth(2b) [1 + (2/pi)(2 tanh^2(2b) - 1) K(k)], k = 2 sinh(2b)/cosh^2(2b)."""
    if not T > 0.0:
        raise ValueError(f"temperature must be positive, got {T!r}")
    two_beta = 2.0 / T
    if two_beta > 350.0:  # e + 2 ~ exp(-8/T): below double precision
        return -2.0
    s, c = math.sinh(two_beta), math.cosh(two_beta)
    k = 2.0 * s / (c * c)
    # 1 - k = (s - 1)^2 / c^2, so k' needs no cancellation near T_c (k -> 1).
    kp = abs(s - 1.0) / c * math.sqrt(1.0 + k)
    t = math.tanh(two_beta)
    # (2 t^2 - 1) vanishes at T_c faster than K diverges (logarithmically).
    singular = 0.0 if kp == 0.0 else (2.0 * t * t - 1.0) * _ellipk_from_complement(kp)
    return -(1.0 / t) * (1.0 + (2.0 / math.pi) * singular)


def onsager_specific_heat(T: float, dT: float = 1e-6) -> float:
    """Exact specific heat per site, c = de/dT, by a central difference of
    Onsager's energy (it diverges logarithmically at T_c)."""
    return (onsager_energy(T + dT) - onsager_energy(T - dT)) / (2.0 * dT)


def yang_magnetization(T: float) -> float:
    """Yang's exact spontaneous magnetisation per site of the infinite lattice:
    (1 - sinh(2/T)^-4)^(1/8) below T_c, zero at and above."""
    if not T > 0.0:
        raise ValueError(f"temperature must be positive, got {T!r}")
    if T >= T_C:
        return 0.0
    two_beta = 2.0 / T
    if two_beta > 350.0:
        return 1.0
    return float((1.0 - math.sinh(two_beta) ** -4) ** 0.125)


# --- one chain, run inside a worker ---------------------------------------------


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


def _jackknife(bin_means: dict[str, list[float]], f: Callable[[dict[str, float]], float]) -> tuple[float, float]:
    """Estimate f of the means and its jackknife error over equal-length bins."""
    names = list(bin_means)
    nbins = len(bin_means[names[0]])
    totals = {k: sum(v) for k, v in bin_means.items()}
    value = f({k: totals[k] / nbins for k in names})
    leave_one_out = [f({k: (totals[k] - bin_means[k][j]) / (nbins - 1) for k in names}) for j in range(nbins)]
    mean = sum(leave_one_out) / nbins
    var = (nbins - 1) / nbins * sum((x - mean) ** 2 for x in leave_one_out)
    return value, math.sqrt(var)


def _binned(series: list[float], nbins: int) -> list[float]:
    """Means of `nbins` equal consecutive bins; the oldest leftover samples are dropped."""
    size = len(series) // nbins
    start = len(series) - size * nbins
    return [sum(series[start + j * size : start + (j + 1) * size]) / size for j in range(nbins)]


def summarize(energies: Sequence[float], magnetizations: Sequence[float], L: int, T: float, nbins: int = 32) -> dict[str, Any]:
    """Observables and binned-jackknife errors from per-measurement total energy
    and total magnetisation of an L x L lattice at temperature T."""
    n = L * L
    e = [x / n for x in energies]
    m = [abs(x) / n for x in magnetizations]
    nbins = max(2, min(nbins, len(e) // 2))
    series = {
        "e": e,
        "e2": [x * x for x in e],
        "m": m,
        "m2": [x * x for x in m],
        "m4": [x**4 for x in m],
    }
    bins = {k: _binned(v, nbins) for k, v in series.items()}
    out: dict[str, Any] = {}
    out["e"], out["e_err"] = _jackknife(bins, lambda a: a["e"])
    out["m"], out["m_err"] = _jackknife(bins, lambda a: a["m"])
    # chi' uses <|m|>: on a finite lattice <m> = 0 at every T, so this is the usual proxy.
    out["chi_prime"], out["chi_prime_err"] = _jackknife(bins, lambda a: n * (a["m2"] - a["m"] ** 2) / T)
    out["C"], out["C_err"] = _jackknife(bins, lambda a: n * (a["e2"] - a["e"] ** 2) / (T * T))
    out["U"], out["U_err"] = _jackknife(bins, lambda a: 1.0 - a["m4"] / (3.0 * a["m2"] ** 2))
    # Integrated autocorrelation times in measurements, binned over naive variance,
    # for every series the results are built from; a quarter as many, longer bins
    # as well, since those see slow modes that short bins average away.
    taus = {k: max(_binned_tau(v, nbins), _binned_tau(v, max(2, nbins // 4))) for k, v in series.items()}
    out["tau_m"] = taus["m"]
    slowest = max(taus, key=lambda k: taus[k])
    out["tau_max"] = taus[slowest]
    out["tau_slowest"] = slowest
    out["bin_length"] = float(len(e) // nbins)
    # Binned errors hold only with bins well beyond the slowest autocorrelation time.
    out["trusted"] = int(out["tau_max"] * TRUSTED_BIN_IN_TAUS <= out["bin_length"])
    return out


# A run is trusted when each of its bins spans at least this many autocorrelation times.
TRUSTED_BIN_IN_TAUS = 10.0


def _binned_tau(series: list[float], nbins: int) -> float:
    """Autocorrelation time from the variance of bin means against the naive one."""
    size = len(series) // nbins
    mean = sum(series) / len(series)
    naive = sum((x - mean) ** 2 for x in series) / (len(series) - 1)
    if not naive > 0 or size < 1:
        return 0.5 if naive == 0 else math.nan
    means = _binned(series, nbins)
    mb = sum(means) / nbins
    var_bins = sum((x - mb) ** 2 for x in means) / (nbins - 1)
    return 0.5 * size * var_bins / naive


def run_chain(
    L: int, T: float, rule: str, equilibration: int, measurements: int, max_measurements: int = 0
) -> dict[str, Any]:
    """Run one independent chain and return its observables as plain numbers.

    Metropolis: ordered start, then sweeps of L*L single-spin attempts; one
    measurement per sweep. Wolff: random start; one measurement per fixed number
    of cluster flips, chosen during equilibration so that it flips about L*L
    spins. Both: `equilibration` sweep(-equivalent)s discarded first. While the
    run is too short for its slowest autocorrelation time, it is doubled, up to
    `max_measurements`; the result says whether it ended trusted."""
    from spinlattice import Lattice  # imported in the worker, where the chain runs

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
        summary = summarize(energies, magnetizations, L, T)
        if summary["trusted"] or 2 * target > max_measurements:
            break
        target *= 2
    result: dict[str, Any] = {"L": int(L), "T": float(T), "rule": rule, "measurements": len(energies)}
    result.update(summary)
    result["updates_per_measurement"] = int(updates_per_measurement)
    result["seconds"] = time.perf_counter() - started
    result["cpu_seconds"] = time.process_time() - cpu_started
    return result


def wolff_series(L: int, T: float, equilibration: int, measurements: int) -> dict[str, Any]:
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
    return {
        "L": int(L),
        "T": float(T),
        "energy": energies,
        "magnetization": magnetizations,
        "flips_per_measurement": int(flips),
        "seconds": time.perf_counter() - started,
        # CPU time as well: on a shared machine the wall time says little about cost.
        "cpu_seconds": time.process_time() - cpu_started,
    }


def snapshot(L: int, T: float, sweeps: int = 200) -> list[int]:
    """Spins (+1/-1, row-major) of an L x L lattice after `sweeps` sweep-equivalents
    of Wolff flips at temperature T in zero field."""
    from spinlattice import Lattice

    lattice = Lattice(L, L, T, 0.0)
    _wolff_equilibrate(lattice, sweeps)
    return lattice.as_array()


# --- fanning chains out ---------------------------------------------------------


@contextlib.contextmanager
def open_executor(scheduler: str | None = None, workers: int | None = None) -> Iterator[Executor]:
    """A local process pool of `workers` processes (default: one per core), or,
    given a scheduler address such as "tcp://10.0.0.5:8786", a Dask cluster's
    concurrent.futures executor. Workers need spinlattice installed; this file
    is shipped to them."""
    if scheduler is None:
        # Spawned, not forked: the caller may run threads (a progress bar, a Dask
        # client), and a fork copies their locks in whatever state they are.
        context = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(max_workers=workers or os.cpu_count(), mp_context=context) as pool:
            yield pool
        return
    from distributed import Client

    with Client(scheduler) as client:
        client.upload_file(__file__)
        # pure=False: equal arguments are independent chains, never one cached result.
        executor = client.get_executor(pure=False)
        try:
            yield executor
        finally:
            executor.shutdown(wait=False)


def run_sweep(
    tasks: Sequence[Chain],
    executor: Executor | None = None,
    *,
    progress: bool = False,
) -> list[dict[str, Any]]:
    """Run every chain through `executor` (a fresh local process pool when None)
    and return their results in the order of `tasks`. With `progress`, a tqdm bar
    counts finished chains."""
    if executor is None:
        with open_executor() as pool:
            return run_sweep(tasks, pool, progress=progress)
    calls = [
        (int(t.L), float(t.T), str(t.rule), int(t.equilibration), int(t.measurements), int(t.max_measurements))
        for t in tasks
    ]
    return run_calls(run_chain, calls, executor, progress=progress)


def run_calls(
    fn: Callable[..., dict[str, Any]],
    calls: Sequence[tuple[Any, ...]],
    executor: Executor,
    *,
    progress: bool = False,
    desc: str = "chains",
) -> list[dict[str, Any]]:
    """fn(*args) for every args in `calls`, through `executor`, results in the
    order of `calls`; the first failure cancels the rest and is raised."""
    futures: dict[Future[dict[str, Any]], int] = {executor.submit(fn, *args): i for i, args in enumerate(calls)}
    results: list[dict[str, Any] | None] = [None] * len(calls)
    bar = _progress_bar(len(calls), desc) if progress else None
    try:
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
        for future in futures:
            future.cancel()
    return [r for r in results if r is not None]


def _progress_bar(total: int, desc: str = "chains") -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit="task" if desc != "chains" else "chain", smoothing=0.1)


# --- command line ---------------------------------------------------------------


def _numbers(kind: Callable[[str], Any]) -> Callable[[str], list[Any]]:
    def parse(text: str) -> list[Any]:
        values = [kind(v) for v in text.split(",") if v.strip()]
        if not values:
            raise ValueError("empty list")
        return values

    parse.__name__ = f"comma-separated {kind.__name__} list"
    return parse


def _worker_count(text: str) -> int:
    import argparse

    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return n


def add_executor_arguments(parser: Any) -> None:
    """--scheduler and --workers, as every example command takes them."""
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address (e.g. tcp://127.0.0.1:8786); default: local processes")
    parser.add_argument("--workers", type=_worker_count, metavar="N", help="local worker processes (default: one per core)")


def missing_modules(names: Sequence[str]) -> list[str]:
    """Those of `names` that cannot be imported here: the example commands check
    what their analysis and figures need before any chain runs."""
    import importlib.util

    return [name for name in names if importlib.util.find_spec(name) is None]


def example_parser(doc: str, default_out: Any, quick_help: str) -> Any:
    """The command line shared by demo.py and critical.py: executor, output folder, smoke run."""
    import argparse
    from pathlib import Path

    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    add_executor_arguments(parser)
    parser.add_argument("--out", type=Path, default=default_out, metavar="DIR", help=f"output directory (default: {default_out})")
    parser.add_argument("--quick", action="store_true", help=quick_help)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the sweep the arguments describe; with none, print how and fail."""
    import argparse
    import csv
    import sys

    parser = argparse.ArgumentParser(
        prog="sweep.py",
        description="Run independent 2D Ising chains for every size, temperature and rule; one CSV row per chain.",
    )
    parser.add_argument("--sizes", type=_numbers(int), required=True, metavar="L,L,...", help="lattice sizes")
    parser.add_argument("--temperatures", type=_numbers(float), required=True, metavar="T,T,...", help="temperatures")
    parser.add_argument("--rules", type=_numbers(str), default=list(RULES), metavar="RULE,...", help="metropolis and/or wolff (default: both)")
    parser.add_argument("--equilibration", type=int, default=1000, metavar="N", help="sweeps discarded (default: 1000)")
    parser.add_argument("--measurements", type=int, default=10000, metavar="N", help="sweeps measured (default: 10000)")
    parser.add_argument("--max-measurements", type=int, default=0, metavar="N", help="double untrusted runs up to N measurements")
    add_executor_arguments(parser)
    parser.add_argument("--csv", metavar="FILE", help="write the CSV here instead of standard output")
    if argv is None:
        argv = sys.argv[1:]
    if not argv:
        parser.print_usage(sys.stderr)
        print("sweep.py: give at least --sizes and --temperatures, e.g. --sizes 16 --temperatures 2.0,2.5", file=sys.stderr)
        return 2
    args = parser.parse_args(argv)
    bad = [r for r in args.rules if r not in RULES]
    if bad:
        parser.error(f"unknown rule(s) {', '.join(bad)}; choose from {', '.join(RULES)}")
    if min(args.sizes) < 2 or min(args.temperatures) <= 0 or args.measurements < 4 or args.equilibration < 0:
        parser.error("sizes must be at least 2, temperatures positive, measurements at least 4")
    tasks = [
        Chain(L, T, rule, args.equilibration, args.measurements, args.max_measurements)
        for T in args.temperatures
        for L in args.sizes
        for rule in args.rules
    ]
    with open_executor(args.scheduler, args.workers) as executor:
        results = run_sweep(tasks, executor, progress=True)
    with contextlib.ExitStack() as stack:
        out = stack.enter_context(open(args.csv, "w", newline="")) if args.csv else sys.stdout
        writer = csv.DictWriter(out, fieldnames=list(results[0]))
        writer.writeheader()
        writer.writerows(results)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
