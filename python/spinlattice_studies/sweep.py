"""Independent 2D Ising chains for every size, temperature and rule: one CSV row each.

One chain per (L, T, rule) on an L x L periodic lattice with coupling J = 1, in
the field h (--field; energy E = -sum_<ij> s_i s_j - h sum_i s_i), from a
random or an ordered start. Each chain discards --equilibration sweeps, then
measures the total energy and magnetisation --measurements times, once per
sweep (Metropolis: L^2 single-spin updates) or per fixed number of cluster
flips that flip about L^2 spins (Wolff). It prints a table and writes
DIR/sweep.csv: per chain e, <|m|>, chi' = L^2 (<m^2> - <|m|>^2) / T, C and the
Binder cumulant U with jackknife errors over 32 bins, their autocorrelation
times, whether the run is long enough to trust them, its cost, and (in zero
field) the exact values of its own torus and of the infinite lattice.

Physics choices:
  - Wolff takes no field: its clusters ignore h, so in a field it would sample
    the zero-field distribution; a field with --rules wolff is refused.
  - --start: each rule's usual start by default: Metropolis ordered ("up"),
    since from a random start below T_c it can freeze into long-lived stripes;
    Wolff random. "up" or "down" in a field picks the branch to start on.
  - --max-measurements N doubles a run whose bins are shorter than ten
    autocorrelation times, up to N measurements.

Every chain's raw series (total energy and magnetisation per measurement) stays
in DIR/sweep_chains/NAME.npz, readable with numpy alone (see
spinlattice_studies.storage); --reanalyse rebuilds the CSV from them. The same
command run again reuses finished chains and continues interrupted ones.

  spinlattice-study sweep --sizes 16,32 --temperatures 2.0,2.3,2.6 --rules wolff
  spinlattice-study sweep --sizes 16 --temperatures 2.0,2.5 --rules metropolis --field 0.1
  spinlattice-study sweep --sizes 64 --temperatures 2.0 --rules metropolis --start down --field 0.05
"""

from __future__ import annotations

import argparse
from typing import Any

from . import cli
from .plan import RULES, STARTS, WOLFF_IN_A_FIELD, Chain


def add_parser(subparsers: Any) -> None:
    parser = cli.subcommand(subparsers, "sweep", __doc__, run)
    chains = parser.add_argument_group("the chains")
    chains.add_argument("--sizes", type=cli.numbers(int), required=True, metavar="L,L,...", help="lattice sizes L (L x L sites)")
    chains.add_argument("--temperatures", type=cli.numbers(float), required=True, metavar="T,T,...", help="temperatures (k_B T / J)")
    chains.add_argument("--rules", type=cli.numbers(str), default=list(RULES), metavar="RULE,...",
                        help="metropolis and/or wolff (default: both)")
    chains.add_argument("--field", type=float, default=0.0, metavar="H", help="field h (Metropolis only; default: 0)")
    chains.add_argument("--start", choices=STARTS, help="random, up or down (default: up for Metropolis, random for Wolff)")
    chains.add_argument("--equilibration", type=int, default=1000, metavar="N", help="sweeps discarded (default: 1000)")
    chains.add_argument("--measurements", type=int, default=10000, metavar="N", help="sweeps measured (default: 10000)")
    chains.add_argument("--max-measurements", type=int, default=0, metavar="N", help="double untrusted runs up to N measurements")
    parser.add_argument("--reanalyse", action="store_true",
                        help="rebuild the table and CSV from the chains saved by this command in DIR, without simulating")


def plan(args: argparse.Namespace) -> list[Chain]:
    """The chains the arguments ask for; a usage error for any that cannot be run."""
    bad = [r for r in args.rules if r not in RULES]
    if bad:
        args.usage_error(f"unknown rule(s) {', '.join(bad)}; choose from {', '.join(RULES)}")
    if args.field and "wolff" in args.rules:
        args.usage_error(f"--field {args.field:g} with --rules wolff: {WOLFF_IN_A_FIELD}")
    try:
        return [
            Chain(L, T, rule, args.equilibration, args.measurements, args.max_measurements, args.field, args.start or "")
            for T in args.temperatures
            for L in args.sizes
            for rule in args.rules
        ]
    except ValueError as e:
        args.usage_error(str(e))
        raise


def run(args: argparse.Namespace) -> int:
    chains = plan(args)
    # Everything the run needs, before any chain starts.
    from . import reporting
    from .chains import ChainResult
    from .executors import Interrupted, open_executor, run_chains
    from .stats import summarize
    from .storage import ChainStore

    store = ChainStore(args.out / "sweep_chains")
    if args.reanalyse:
        saved = cli.reanalysable(store, chains, ChainResult, "sweep")
        if saved is None:
            return 1
        # The summaries again, from the raw series.
        results = [ChainResult(**{**vars(r), **vars(summarize(r.energy, r.magnetization, r.L, r.T))}) for r in saved]
    else:
        if args.fresh:
            store.clear()
        args.out.mkdir(parents=True, exist_ok=True)
        try:
            with open_executor(args.scheduler, args.workers) as executor:
                results = run_chains(chains, store, executor, progress=True, checkpoint_seconds=args.checkpoint_interval)
        except Interrupted as stop:
            return stop.report()
    print()
    reporting.print_table(results)
    path = args.out / "sweep.csv"
    reporting.write_csv(results, path)
    print(f"Wrote:\n  {path}\n  {store.folder}/ (every chain, with its raw series)")
    return 0
