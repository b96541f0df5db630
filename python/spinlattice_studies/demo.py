"""The 2D Ising model across its phase transition, against the exact solution.

Runs independent Monte Carlo chains, single-spin Metropolis and Wolff cluster
updates, on 16 x 16 and 32 x 32 tori at 13 temperatures from 1.5 to 3.5, dense
around T_c = 2/ln(1+sqrt 2) = 2.2692. It prints a table of the energy e, the
mean absolute magnetisation <|m|>, the susceptibility chi' and the specific heat C per
site and the Binder cumulant U, with errors, beside the exact energy and
specific heat of the same finite torus (Kaufman 1949, Ferdinand and Fisher
1969) and the infinite lattice's (Onsager's energy, Yang's spontaneous
magnetisation); it writes a CSV of the same and two figures: the observables
against temperature, and snapshots of 128 x 128 spins below, at and above T_c.

Physics choices:
  - chi' = L^2 (<m^2> - <|m|>^2) / T is taken from |m|, since <m> = 0 on any
    finite lattice in zero field.
  - Metropolis starts ordered: from a random start below T_c it can freeze into
    stripes that take very long to dissolve. Wolff starts at random.
  - One measurement per sweep (Metropolis: L^2 single-spin updates) or per fixed
    number of cluster flips that flip about L^2 spins (Wolff), after 1000
    (Metropolis) or 300 (Wolff) sweeps discarded.
  - Errors: jackknife over 32 bins. A chain is trusted when every bin spans at
    least ten autocorrelation times of its slowest series (e, e^2, |m|, m^2,
    m^4); one that is not is doubled, up to 4x (Metropolis, from 40000 sweeps)
    or 8x (Wolff, from 3000), and marked when it still falls short.

Writes DIR/ising_observables.png, DIR/ising_spins.png, DIR/ising_sweep.csv, and
every chain with its raw series in DIR/demo_chains/. The same command run again
reuses the finished chains and continues the interrupted ones.

  spinlattice-study demo                            local processes, one per core
  spinlattice-study demo --workers 4 --out /tmp/ising
  spinlattice-study demo --scheduler tcp://127.0.0.1:8786   a Dask cluster
  spinlattice-study demo --quick                    a smoke run, seconds
"""

from __future__ import annotations

import argparse
import time
from typing import Any

from . import cli
from .exact import T_C
from .plan import RULES, Chain

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
    chains = [Chain(L, T, rule, *budget[rule]) for T in temps for L in sizes for rule in RULES]
    # Longest first, so the pool does not end on one slow straggler.
    chains.sort(key=lambda c: c.cost, reverse=True)
    return chains, snap_l


def add_parser(subparsers: Any) -> None:
    parser = cli.subcommand(subparsers, "demo", __doc__, run)
    parser.add_argument("--quick", action="store_true", help="a few seconds' smoke run with tiny lattices")


def run(args: argparse.Namespace) -> int:
    # Everything the run needs, before any chain starts.
    from . import reporting
    from .chains import snapshot
    from .executors import Interrupted, open_executor, run_chains
    from .figures import plot_observables, plot_snapshots
    from .storage import ChainStore

    chains, snap_l = plan(args.quick)
    args.out.mkdir(parents=True, exist_ok=True)
    where = f"Dask scheduler {args.scheduler}" if args.scheduler else "a local process pool"
    print(f"{len(chains)} independent chains + {len(SNAPSHOT_T)} snapshots on {where}")
    store = ChainStore(args.out / "demo_chains")
    if args.fresh:
        store.clear()
    started = time.perf_counter()
    try:
        with open_executor(args.scheduler, args.workers) as executor:
            snap_futures = [executor.submit(snapshot, snap_l, T) for T in SNAPSHOT_T]
            results = run_chains(chains, store, executor, progress=True, checkpoint_seconds=args.checkpoint_interval)
            snapshots = [(T, f.result()) for T, f in zip(SNAPSHOT_T, snap_futures)]
    except Interrupted as stop:
        return stop.report()
    elapsed = time.perf_counter() - started

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
    print(f"  {store.folder}/ (every chain, with its raw series)")
    return 0
