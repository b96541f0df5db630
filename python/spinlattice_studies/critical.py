"""The critical point of the 2D Ising model by finite-size scaling.

Wolff chains on L x L tori (default L = 16, 32, 64, 128, 256) at temperatures
T = T_c + x/L inside each size's scaling window (default x = 0, 1.25, 2.5, where
U falls and chi' peaks, and 3.75 with half the measurements, so that the
derivatives nu comes from, which peak near x = 3, are bracketed), then the
finite-size scaling of their raw energy and magnetisation series:

  - single-histogram (Ferrenberg-Swendsen) reweighting turns each size's chains
    into smooth curves of U and chi' = L^2 (<m^2> - <|m|>^2) / T in T;
  - T_c from the crossings of U for L and 2L, extrapolated in L as T_c + c L^-k,
    and U* from U at those crossings the same way; crossings approach their limit
    like L^-(1/nu + omega), which a few points cannot fit freely, so k = 1, 2 or
    3, whichever fits best (the output says which);
  - gamma/nu from the peaks of chi', beta/nu from <|m|> at the estimated T_c,
    each a power law in L. The peaks sit at (T - T_c) L = 2, where the nonlinear
    thermal scaling field corrects them by O(1/L): they are always fitted as
    a L^p (1 + b/L); <|m|> gets that correction only when its pure power law
    fails (chi^2 probability < 5 %);
  - 1/nu from the maxima over T of dU/dbeta, d ln<|m|>/dbeta and d ln<m^2>/dbeta,
    each from covariances with the energy, reweighted only within one energy
    width of a chain, fitted as a L^p from the second-smallest size on, the three
    combined with their correlations; the systematic error is the largest shift
    when the smallest size moves one size either way or a constant is added to
    the power law, beyond that shift's own noise;
  - every error is a jackknife over 16 blocks of every chain at once, so it
    carries the whole analysis.

Wolff, not Metropolis: near T_c its autocorrelation time stays at a few
sweep-equivalents, where Metropolis's grows like L^2.17. One measurement per
fixed number of cluster flips that flip about L^2 spins; 20000 to 40000 of them
per chain (--budget-factor K: K times as many), after --equilibration
sweep-equivalents from a random start.

Writes DIR/critical.json (estimates, errors, the fits behind them, per-size
values, what ran and what it cost), DIR/critical.png, and every chain with its
raw series in DIR/critical_chains/; --reanalyse analyses those again without
simulating. The same command run again reuses finished chains and continues
interrupted ones.

  spinlattice-study critical                  a few minutes on two cores
  spinlattice-study critical --quick          a smoke run on L = 8, 16, 32, seconds
  spinlattice-study critical --sizes 16,32,64,128,256,512 --budget-factor 4
  spinlattice-study critical --reanalyse      the analysis again, from the saved chains
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import asdict, dataclass
from typing import Any

from . import cli, exact
from .plan import Chain

SIZES = (16, 32, 64, 128, 256)
# Simulated temperatures T_c + x / L: the window where U falls and chi' peaks (0 to
# 2.5), and beyond it 3.75, so that the maxima of the derivatives nu comes from
# (near x = 2.5 to 3.5) lie inside the range the chains can be reweighted to.
OFFSETS = (0.0, 1.25, 2.5, 3.75)
# Each offset's share of a size's measurements: the last chain only brackets those
# maxima from above, beside the one at 2.5, and half a chain does that.
SHARES = (1.0, 1.0, 1.0, 0.5)
# Measurements (one per sweep-equivalent of Wolff flips) per chain, by size; a size
# not in the table takes the entry of the nearest size below it (or the smallest).
BUDGET = {8: 40000, 16: 40000, 32: 40000, 64: 30000, 128: 30000, 256: 20000, 512: 20000, 1024: 10000}
EQUILIBRATION = 500
BLOCKS = 16

QUICK_SIZES = (8, 16, 32)
QUICK_BUDGET = {8: 4000, 16: 4000, 32: 2400}
QUICK_EQUILIBRATION = 50


def measurements(L: int, budget: dict[int, int]) -> int:
    below = [size for size in budget if size <= L]
    return budget[max(below) if below else min(budget)]


def plan(sizes: tuple[int, ...], budget: dict[int, int], equilibration: int, factor: float = 1.0,
         offsets: tuple[float, ...] = OFFSETS, measured: int | None = None) -> list[Chain]:
    """Wolff chains at T_c + x / L for every size L and offset x; `measured`, if
    given, replaces the budget's measurements of every chain. The default offsets
    take their SHARES of the budget, offsets given otherwise a whole one each."""
    shares = SHARES if tuple(offsets) == OFFSETS else (1.0,) * len(offsets)
    chains = [
        Chain(L, exact.T_C + x / L, "wolff", equilibration, int(round((measured or measurements(L, budget)) * factor * share)))
        for L in sizes for x, share in zip(offsets, shares)
    ]
    # Longest first, so the pool does not end on one slow straggler.
    return sorted(chains, key=lambda c: c.cost, reverse=True)


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


def add_parser(subparsers: Any) -> None:
    parser = cli.subcommand(subparsers, "critical", __doc__, run)
    study = parser.add_argument_group("the chains")
    study.add_argument("--quick", action="store_true",
                       help="a smoke run: L = 8, 16, 32, a few thousand measurements each; its estimates mean little")
    study.add_argument("--sizes", type=cli.numbers(int), metavar="L,L,...",
                       help=f"at least two lattice sizes (default: {', '.join(map(str, SIZES))})")
    study.add_argument("--offsets", type=cli.numbers(float), metavar="x,x,...",
                       help=f"simulate at T = T_c + x/L for each x (default: {', '.join(map(str, OFFSETS))}, the last "
                            "with half the measurements)")
    study.add_argument("--equilibration", type=int, metavar="N",
                       help=f"sweep-equivalents discarded per chain (default: {EQUILIBRATION}, --quick {QUICK_EQUILIBRATION})")
    study.add_argument("--measurements", type=int, metavar="N",
                       help="measurements per chain, every size alike (default: by size, "
                            + ", ".join(f"{n} at L = {L}" for L, n in BUDGET.items() if L in SIZES) + ")")
    study.add_argument("--budget-factor", type=float, default=1.0, metavar="K",
                       help="K times the measurements of every chain (default: 1)")
    parser.add_argument("--reanalyse", action="store_true",
                        help="analyse the chains saved in DIR by a run with the same options, instead of simulating")


def chains_asked(args: argparse.Namespace) -> list[Chain]:
    sizes, budget, equilibration = (QUICK_SIZES, QUICK_BUDGET, QUICK_EQUILIBRATION) if args.quick else (SIZES, BUDGET, EQUILIBRATION)
    if args.sizes:
        if len(set(args.sizes)) < 2 or min(args.sizes) < 4:
            args.usage_error("--sizes: at least two sizes, each at least 4")
        sizes = tuple(sorted(set(args.sizes)))
    if args.equilibration is not None:
        equilibration = args.equilibration
    if not args.budget_factor > 0:
        args.usage_error("--budget-factor must be positive")
    offsets = tuple(args.offsets) if args.offsets else OFFSETS
    if len(set(offsets)) < 2:
        args.usage_error("--offsets: at least two, for the reweighting to span each size's window")
    try:
        return plan(sizes, budget, equilibration, args.budget_factor, offsets, args.measurements)
    except ValueError as e:
        args.usage_error(str(e))
        raise


def run(args: argparse.Namespace) -> int:
    chains = chains_asked(args)
    # Everything the run needs, before any chain starts.
    from . import stats
    from .chains import ChainResult, site_update_seconds
    from .executors import Interrupted, open_executor, run_chains
    from .figures import plot_critical
    from .reporting import duration, print_estimates
    from .scaling import analyse, series_by_size
    from .storage import ChainStore

    import numpy as np  # present once the modules above are

    args.out.mkdir(parents=True, exist_ok=True)
    store = ChainStore(args.out / "critical_chains")
    started = time.perf_counter()
    if args.reanalyse:
        raw = cli.reanalysable(store, chains, ChainResult, "critical")
        if raw is None:
            return 1
        print(f"Re-analysing {len(raw)} chains from {store.folder}")
    else:
        if args.fresh:
            store.clear()
        workers = args.workers or os.cpu_count() or 1
        where = f"Dask scheduler {args.scheduler}" if args.scheduler else f"{workers} local processes"
        cpu_estimate = sum(c.cost for c in chains) * site_update_seconds()
        wall = "" if args.scheduler else f", about {duration(cpu_estimate / min(workers, len(chains)))} of wall time on free cores"
        sizes = sorted({c.L for c in chains})
        print(f"{len(chains)} Wolff chains (L = {', '.join(map(str, sizes))}) on {where}: "
              f"about {duration(cpu_estimate)} of CPU time{wall}.")
        try:
            with open_executor(args.scheduler, args.workers) as executor:
                raw = run_chains(chains, store, executor, progress=True, checkpoint_seconds=args.checkpoint_interval)
        except Interrupted as stop:
            return stop.report()
    simulated = time.perf_counter() - started
    by_size = series_by_size(raw)
    taus = {f"{s.L}@{s.T:.5f}": max(stats.tau_int(s.energy), stats.tau_int(np.abs(s.magnetization))) for c in by_size.values() for s in c}

    try:
        result = analyse(by_size, BLOCKS, (store, chains), args.workers)
    except KeyboardInterrupt:
        print(f"\nInterrupted during the analysis; every chain is in {store.folder}: "
              "run the same command with --reanalyse to analyse them.", file=sys.stderr)
        return 130
    run_info = RunInfo(
        blocks=BLOCKS,
        exact={key: value for _, key, value in exact.CRITICAL},
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
    json_path.write_text(json.dumps({**result.as_json(), **asdict(run_info)}, indent=2) + "\n")
    plot_critical(by_size, result, fig_path)
    print()
    print_estimates(result, BLOCKS)
    if args.reanalyse:
        print(f"\nChains: {duration(run_info.chain_cpu_seconds)} of CPU time when they ran; "
              f"this analysis {duration(run_info.wall_seconds)}.")
    else:
        print(f"\nChains: {duration(run_info.chain_cpu_seconds)} of CPU time in {duration(simulated)} of wall time; "
              f"whole study {duration(run_info.wall_seconds)}.")
    print(f"Wrote:\n  {json_path}\n  {fig_path}\n  {store.folder}/ (every chain, with its raw series)")
    return 0
