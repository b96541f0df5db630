"""The ``spinlattice-study`` command (also ``python -m spinlattice_studies``): its
subcommands demo, sweep and critical, one module each, and the options they
share: output folder, executor, checkpoints, number lists.

Only the standard library is imported until a subcommand runs; a subcommand
whose dependencies are missing says which extra installs them, before any
chain runs.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from ._extras import MissingExtra

SUBCOMMANDS = ("demo", "sweep", "critical")
DEFAULT_OUT = Path("spinlattice-output")

DESCRIPTION = """\
Monte Carlo studies of the two-dimensional Ising model (coupling J = 1, k_B = 1,
periodic L x L lattices) on spinlattice, checked against the exact solution.

  demo      the phase transition: Metropolis and Wolff chains across T_c on two
            sizes, against the exact energy and specific heat of the same torus
  sweep     your own chains: sizes x temperatures x rules, in a field if you like,
            one CSV row per chain and every chain's raw series
  critical  the critical point by finite-size scaling: T_c, gamma/nu, nu, beta/nu
            and U* from Wolff chains near T_c

Every chain is saved as it runs (at least every 30 s and at Ctrl-C) and when it
ends; the same command run again resumes where it stopped. Run
`spinlattice-study COMMAND --help` for what each one does and why.
"""


def numbers(kind: Callable[[str], Any]) -> Callable[[str], list[Any]]:
    """An argument type for a comma-separated list of `kind`."""

    def parse(text: str) -> list[Any]:
        values = [kind(v) for v in text.split(",") if v.strip()]
        if not values:
            raise ValueError("empty list")
        return values

    parse.__name__ = f"comma-separated {kind.__name__} list"
    return parse


def _at_least_one(text: str) -> int:
    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return n


def _positive(text: str) -> float:
    x = float(text)
    if not x > 0:
        raise argparse.ArgumentTypeError("must be positive")
    return x


def subcommand(subparsers: Any, name: str, doc: str, run: Callable[[argparse.Namespace], int]) -> argparse.ArgumentParser:
    """A subcommand whose --help is `doc` (first paragraph: the one-line summary),
    with the options every subcommand takes: output folder, executor, checkpoints."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        name, help=doc.split("\n\n")[0].replace("\n", " "), description=doc,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(run=run, usage_error=parser.error)
    where = parser.add_argument_group("where the output goes and where the chains run")
    where.add_argument("--out", type=Path, default=DEFAULT_OUT, metavar="DIR",
                       help=f"folder for everything it writes: results, figures, chains (default: ./{DEFAULT_OUT})")
    where.add_argument("--fresh", action="store_true",
                       help="discard the chains saved in DIR by an earlier run of this command instead of reusing them")
    where.add_argument("--workers", type=_at_least_one, metavar="N", help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the chains on a Dask cluster (e.g. tcp://127.0.0.1:8786; needs spinlattice[dask])")
    where.add_argument("--checkpoint-interval", type=_positive, default=30.0, metavar="SECONDS",
                       help="work between two saves of a running chain: what a crash can lose (default: 30)")
    return parser


def reanalysable(store: Any, chains: Sequence[Any], kind: type, command: str) -> list[Any] | None:
    """The saved chains a command's --reanalyse reads, or None if any is missing.

    Every one of `chains` from `store` (a ChainStore); when some are not saved,
    stderr says which, and that the command must run without --reanalyse first."""
    try:
        return store.load_all(chains, kind)
    except ValueError as e:
        print(f"spinlattice-study {command} --reanalyse: {e}; run it without --reanalyse first.", file=sys.stderr)
        return None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="spinlattice-study", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in SUBCOMMANDS:
        importlib.import_module(f"{__package__}.{name}").add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's); return the exit status."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except MissingExtra as e:
        print(f"spinlattice-study {args.command}: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:  # before any chain was saved, or while drawing
        print("\nInterrupted.", file=sys.stderr)
        return 130
    return status
