"""The critical point of the 2D Ising model by finite-size scaling.

Wolff chains on L x L tori (L = 16 .. 256) at temperatures within the scaling
window around T_c, run through an Executor (local processes, or a Dask
cluster), then the finite-size scaling analysis of ising.scaling on their raw
energy and magnetisation series.

    python examples/critical.py                 # a few minutes on two cores
    python examples/critical.py --quick         # a smoke run, seconds
    python examples/critical.py --sizes 16,32,64,128,256,512 --budget-factor 4
    python examples/critical.py --scheduler tcp://127.0.0.1:8786

Each finished chain is saved in DIR/critical_chains/ as it completes; the same
command run again after an interruption (Ctrl-C, a crash) reuses them.
"""

from __future__ import annotations

import json
import os
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

from ising.cli import example_parser, numbers, require

require(("numpy", "scipy", "matplotlib"), "critical.py needs {missing}: pip install '.[demo]' (or make study)")

import numpy as np  # noqa: E402

from ising import exact, stats  # noqa: E402
from ising.chains import SeriesRun, site_update_seconds, wolff_series  # noqa: E402
from ising.executors import Interrupted, open_executor, run_resumable  # noqa: E402
from ising.figures import plot_critical  # noqa: E402
from ising.reporting import duration, print_estimates  # noqa: E402
from ising.scaling import analyse, series_by_size  # noqa: E402
from ising.storage import ChainStore, load_series, save_series  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent / "output"

SIZES = (16, 32, 64, 128, 256)
# Simulated temperatures T_c + x / L: the window where U falls and chi' peaks.
OFFSETS = (0.0, 1.25, 2.5)
# Measurements (one per sweep-equivalent of Wolff flips) per chain, by size; the
# default study runs SIZES, --sizes picks others from this table.
BUDGET = {8: 40000, 16: 40000, 32: 40000, 64: 30000, 128: 30000, 256: 20000, 512: 20000, 1024: 10000}
EQUILIBRATION = 500
BLOCKS = 16

QUICK_SIZES = (8, 16, 32)
QUICK_BUDGET = {8: 4000, 16: 4000, 32: 2400}
QUICK_EQUILIBRATION = 50

EXACT = {
    "Tc": exact.T_C,
    "gamma_over_nu": exact.GAMMA_OVER_NU,
    "nu": exact.NU,
    "beta_over_nu": exact.BETA_OVER_NU,
}


def plan(sizes: tuple[int, ...], budget: dict[int, int], equilibration: int, factor: float = 1.0) -> list[tuple[int, float, int, int]]:
    calls = [(L, exact.T_C + x / L, equilibration, int(round(budget[L] * factor))) for L in sizes for x in OFFSETS]
    # Longest first, so the pool does not end on one slow straggler.
    return sorted(calls, key=cost, reverse=True)


def cost(call: tuple[int, float, int, int]) -> float:
    """A chain's cost in site updates: sites times sweep-equivalents."""
    L, _, equilibration, measurements = call
    return float(L * L * (equilibration + measurements))


def chain_name(call: tuple[int, float, int, int]) -> str:
    return f"L{call[0]}_T{call[1]:.10f}"


@dataclass
class RunInfo:
    """What the study ran and what it cost, written beside its estimates."""

    blocks: int
    exact: dict[str, float]
    simulated_temperatures: dict[str, list[float]]
    measurements: dict[str, list[int]]
    tau_int_max: dict[str, float]
    chain_seconds: float
    chain_cpu_seconds: float
    wall_seconds: float
    simulation_wall_seconds: float
    quick: bool


def main(argv: list[str] | None = None) -> int:
    parser = example_parser(__doc__, DEFAULT_OUT, "a smoke run on small lattices; its estimates mean little")
    parser.add_argument("--sizes", type=numbers(int), metavar="L,L,...",
                        help=f"lattice sizes, from {', '.join(map(str, BUDGET))} (default: {', '.join(map(str, SIZES))})")
    parser.add_argument("--budget-factor", type=float, default=1.0, metavar="K",
                        help="K times the measurements of every chain (default: 1)")
    parser.add_argument("--fresh", action="store_true", help="discard chains saved by an interrupted run instead of reusing them")
    parser.add_argument("--reanalyse", action="store_true", help="analyse the series saved by the last run in --out instead of simulating")
    args = parser.parse_args(argv)
    sizes, budget, equil = (QUICK_SIZES, QUICK_BUDGET, QUICK_EQUILIBRATION) if args.quick else (SIZES, BUDGET, EQUILIBRATION)
    if args.sizes:
        unknown = [L for L in args.sizes if L not in budget]
        if unknown or len(set(args.sizes)) < 2:
            parser.error(f"--sizes: at least two of {', '.join(map(str, budget))}")
        sizes = tuple(sorted(set(args.sizes)))
    if not args.budget_factor > 0:
        parser.error("--budget-factor must be positive")
    args.out.mkdir(parents=True, exist_ok=True)
    series_path = args.out / "critical_series.npz"
    store = ChainStore(args.out / "critical_chains")
    started = time.perf_counter()
    if args.reanalyse:
        raw = load_series(series_path)
        print(f"Re-analysing {len(raw)} chains from {series_path}")
    else:
        if args.fresh:
            store.clear()
        calls = plan(sizes, budget, equil, args.budget_factor)
        workers = args.workers or os.cpu_count() or 1
        where = f"Dask scheduler {args.scheduler}" if args.scheduler else f"{workers} local processes"
        cpu_estimate = sum(map(cost, calls)) * site_update_seconds()
        wall = "" if args.scheduler else f", about {duration(cpu_estimate / min(workers, len(calls)))} of wall time on free cores"
        print(f"{len(calls)} Wolff chains (L = {', '.join(map(str, sizes))}) on {where}: "
              f"about {duration(cpu_estimate)} of CPU time{wall}.")
        try:
            with open_executor(args.scheduler, args.workers) as executor:
                raw = run_resumable(wolff_series, calls, [chain_name(c) for c in calls], SeriesRun, store, executor,
                                    costs=[cost(c) for c in calls], progress=True)
        except Interrupted as stop:
            return stop.report()
        save_series(raw, series_path)
        store.clear()  # the whole set is in the series file now
    simulated = time.perf_counter() - started
    by_size = series_by_size(raw)
    taus = {f"{s.L}@{s.T:.5f}": max(stats.tau_int(s.energy), stats.tau_int(np.abs(s.magnetization))) for c in by_size.values() for s in c}

    try:
        result = analyse(by_size, BLOCKS, series_path, args.workers)
    except KeyboardInterrupt:
        print(f"\nInterrupted during the analysis; every chain is in {series_path}: "
              "run the same command with --reanalyse to analyse them.", file=sys.stderr)
        return 130
    run = RunInfo(
        blocks=BLOCKS,
        exact=EXACT,
        simulated_temperatures={str(L): [s.T for s in c] for L, c in by_size.items()},
        measurements={str(L): [int(s.energy.size) for s in c] for L, c in by_size.items()},
        tau_int_max=taus,
        chain_seconds=float(sum(r.seconds for r in raw)),
        chain_cpu_seconds=float(sum(r.cpu_seconds for r in raw)),
        wall_seconds=time.perf_counter() - started,
        simulation_wall_seconds=simulated,
        quick=bool(args.quick),
    )

    json_path, fig_path = args.out / "critical.json", args.out / "critical.png"
    json_path.write_text(json.dumps({**result.as_json(), **asdict(run)}, indent=2) + "\n")
    plot_critical(by_size, result, fig_path)
    print()
    print_estimates(result, BLOCKS)
    if args.reanalyse:
        print(f"\nChains: {duration(run.chain_cpu_seconds)} of CPU time when they ran; "
              f"this analysis {duration(run.wall_seconds)}.")
    else:
        print(f"\nChains: {duration(run.chain_cpu_seconds)} of CPU time in {duration(simulated)} of wall time; "
              f"whole study {duration(run.wall_seconds)}.")
    print(f"Wrote:\n  {json_path}\n  {fig_path}")
    if not args.reanalyse:
        print(f"  {series_path}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # before any chain was saved
        print("\nInterrupted.", file=sys.stderr)
        sys.exit(130)
