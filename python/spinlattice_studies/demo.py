"""The 2D Ising model across its phase transition, against the exact solution.

Runs independent Monte Carlo chains (Metropolis and Wolff, two lattice sizes,
temperatures around T_c) on a local process pool or a Dask cluster, prints a
table beside the exact energy and specific heat of the same finite torus and
the infinite-lattice results (Onsager's energy, Yang's spontaneous
magnetisation), and writes a CSV and two figures: the observables against
temperature, and snapshots of the spins below, at and above T_c.

    python examples/demo.py                       # local pool, one worker per core
    python examples/demo.py --workers 4
    python examples/demo.py --scheduler tcp://127.0.0.1:8786   # a Dask cluster
    python examples/demo.py --quick               # a smoke run, seconds

Each finished chain is saved in DIR/demo_chains/ as it completes; the same
command run again after an interruption reuses them.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

from ising.cli import example_parser, require

require(("matplotlib", "numpy", "scipy"), "demo.py needs {missing} for its figures and exact curves: pip install '.[demo]'")

from ising import reporting  # noqa: E402
from ising.chains import RULES, Chain, ChainResult, run_chain, snapshot  # noqa: E402
from ising.exact import T_C  # noqa: E402
from ising.executors import Interrupted, open_executor, run_resumable  # noqa: E402
from ising.storage import ChainStore  # noqa: E402
from ising.figures import plot_observables, plot_snapshots  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent / "output"

# Temperatures: coarse far from T_c ~ 2.269, dense around it.
TEMPERATURES = (1.5, 1.8, 2.0, 2.1, 2.2, 2.25, 2.3, 2.35, 2.4, 2.5, 2.7, 3.0, 3.5)
SIZES = (16, 32)
# (equilibration, measurements, most measurements) in sweeps, or sweep-equivalents
# of Wolff flips; a run too short for its slowest autocorrelation time doubles up
# to the last. Metropolis gets more: near T_c its autocorrelation time grows like
# L^2, and below T_c its excursions away from the ordered state are rare and slow,
# so a run that has not yet seen several looks converged but underestimates chi'.
BUDGET = {"metropolis": (1000, 40000, 160000), "wolff": (300, 3000, 24000)}
SNAPSHOT_L = 128
SNAPSHOT_T = (2.0, T_C, 3.0)

QUICK_TEMPERATURES = (1.5, 2.3, 3.5)
QUICK_SIZES = (8, 16)
QUICK_BUDGET = {"metropolis": (100, 300, 600), "wolff": (50, 300, 600)}
QUICK_SNAPSHOT_L = 32


def plan(quick: bool) -> tuple[list[Chain], int]:
    temps, sizes, budget, snap_l = (
        (QUICK_TEMPERATURES, QUICK_SIZES, QUICK_BUDGET, QUICK_SNAPSHOT_L)
        if quick
        else (TEMPERATURES, SIZES, BUDGET, SNAPSHOT_L)
    )
    tasks = [Chain(L, T, rule, *budget[rule]) for T in temps for L in sizes for rule in RULES]
    # Longest first, so the pool does not end on one slow straggler.
    tasks.sort(key=lambda t: t.cost, reverse=True)
    return tasks, snap_l


def main(argv: list[str] | None = None) -> int:
    parser = example_parser(__doc__, DEFAULT_OUT, "a few seconds' smoke run with tiny lattices")
    parser.add_argument("--fresh", action="store_true", help="discard chains saved by an interrupted run instead of reusing them")
    args = parser.parse_args(argv)

    tasks, snap_l = plan(args.quick)
    args.out.mkdir(parents=True, exist_ok=True)
    where = f"Dask scheduler {args.scheduler}" if args.scheduler else "a local process pool"
    print(f"{len(tasks)} independent chains + {len(SNAPSHOT_T)} snapshots on {where}")
    store = ChainStore(args.out / "demo_chains")
    if args.fresh:
        store.clear()
    started = time.perf_counter()
    try:
        with open_executor(args.scheduler, args.workers) as executor:
            snap_futures = [executor.submit(snapshot, snap_l, T) for T in SNAPSHOT_T]
            results = run_resumable(run_chain, [(t,) for t in tasks], [t.name for t in tasks], ChainResult, store,
                                    executor, costs=[t.cost for t in tasks], progress=True)
            snapshots = [(T, f.result()) for T, f in zip(SNAPSHOT_T, snap_futures)]
    except Interrupted as stop:
        return stop.report()
    elapsed = time.perf_counter() - started
    store.clear()  # the run is complete: its chains are in the CSV

    print()
    reporting.print_table(results)
    paths = {name: args.out / name for name in ("ising_observables.png", "ising_spins.png", "ising_sweep.csv")}
    reporting.write_csv(results, paths["ising_sweep.csv"])
    plot_observables(results, paths["ising_observables.png"])
    plot_snapshots(snapshots, snap_l, paths["ising_spins.png"])

    cpu = sum(r.cpu_seconds for r in results)
    print(f"\nChains: {reporting.duration(cpu)} of CPU time; this run {reporting.duration(elapsed)} of wall time on {where}.")
    print("Wrote:")
    for p in paths.values():
        print(f"  {p}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # before any chain was saved, or while drawing
        print("\nInterrupted.", file=sys.stderr)
        sys.exit(130)
