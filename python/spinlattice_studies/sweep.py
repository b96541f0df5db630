"""Independent 2D Ising chains for every size, temperature and rule; one CSV row per chain.

    python examples/sweep.py --sizes 16,32 --temperatures 2.0,2.3,2.6 [--rules wolff]
        [--measurements N] [--equilibration N] [--scheduler tcp://127.0.0.1:8786] [--csv FILE]
        [--chains DIR]

With --chains, each finished chain is saved in DIR as it completes, and the same
command run again after an interruption reuses them.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import sys
from collections.abc import Sequence
from pathlib import Path

from ising.cli import add_executor_arguments, numbers, require

require(("numpy",), "sweep.py needs {missing}: pip install '.[demo]'")

from ising.chains import RULES, Chain, ChainResult, run_chain  # noqa: E402
from ising.executors import Interrupted, open_executor, run_calls, run_resumable  # noqa: E402
from ising.storage import ChainStore  # noqa: E402


def main(argv: Sequence[str] | None = None) -> int:
    """Run the sweep the arguments describe; with none, print how and fail."""
    parser = argparse.ArgumentParser(prog="sweep.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=numbers(int), required=True, metavar="L,L,...", help="lattice sizes")
    parser.add_argument("--temperatures", type=numbers(float), required=True, metavar="T,T,...", help="temperatures")
    parser.add_argument("--rules", type=numbers(str), default=list(RULES), metavar="RULE,...", help="metropolis and/or wolff (default: both)")
    parser.add_argument("--equilibration", type=int, default=1000, metavar="N", help="sweeps discarded (default: 1000)")
    parser.add_argument("--measurements", type=int, default=10000, metavar="N", help="sweeps measured (default: 10000)")
    parser.add_argument("--max-measurements", type=int, default=0, metavar="N", help="double untrusted runs up to N measurements")
    add_executor_arguments(parser)
    parser.add_argument("--csv", metavar="FILE", help="write the CSV here instead of standard output")
    parser.add_argument("--chains", type=Path, metavar="DIR", help="save each finished chain here; a rerun reuses them")
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
    calls, costs = [(t,) for t in tasks], [t.cost for t in tasks]
    try:
        with open_executor(args.scheduler, args.workers) as executor:
            if args.chains is None:
                results = run_calls(run_chain, calls, executor, progress=True, costs=costs)
            else:
                results = run_resumable(run_chain, calls, [t.name for t in tasks], ChainResult,
                                        ChainStore(args.chains), executor, costs=costs, progress=True)
    except Interrupted as stop:
        return stop.report()
    with contextlib.ExitStack() as stack:
        out = stack.enter_context(open(args.csv, "w", newline="")) if args.csv else sys.stdout
        writer = csv.DictWriter(out, fieldnames=list(vars(results[0])))
        writer.writeheader()
        writer.writerows({**vars(r), "trusted": int(r.trusted)} for r in results)  # 0 or 1, as in the demo's CSV
    return 0


if __name__ == "__main__":
    try:
        raise SystemExit(main())
    except KeyboardInterrupt:  # without --chains nothing is kept
        print("\nInterrupted.", file=sys.stderr)
        raise SystemExit(130) from None
