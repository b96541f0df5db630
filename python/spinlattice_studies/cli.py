"""The command line the example scripts share: executor choice, output folder,
smoke runs, number lists, and the check for what a script needs before any
chain runs."""

from __future__ import annotations

import argparse
import importlib.util
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any


def numbers(kind: Callable[[str], Any]) -> Callable[[str], list[Any]]:
    """An argument type for a comma-separated list of `kind`."""

    def parse(text: str) -> list[Any]:
        values = [kind(v) for v in text.split(",") if v.strip()]
        if not values:
            raise ValueError("empty list")
        return values

    parse.__name__ = f"comma-separated {kind.__name__} list"
    return parse


def _worker_count(text: str) -> int:
    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return n


def add_executor_arguments(parser: argparse.ArgumentParser) -> None:
    """--scheduler and --workers, as every example command takes them."""
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address (e.g. tcp://127.0.0.1:8786); default: local processes")
    parser.add_argument("--workers", type=_worker_count, metavar="N", help="local worker processes (default: one per core)")


def missing_modules(names: Sequence[str]) -> list[str]:
    """Those of `names` that cannot be imported here: the example commands check
    what their analysis and figures need before any chain runs."""
    return [name for name in names if importlib.util.find_spec(name) is None]


def require(names: Sequence[str], message: str) -> None:
    """Exit with status 2 and `message` (which {missing} names) when any of
    `names` cannot be imported: the scripts call this before their imports."""
    missing = missing_modules(names)
    if missing:
        print(message.format(missing=", ".join(missing)), file=sys.stderr)
        raise SystemExit(2)


def example_parser(doc: str, default_out: Path, quick_help: str) -> argparse.ArgumentParser:
    """The command line shared by demo.py and critical.py: executor, output folder, smoke run."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    add_executor_arguments(parser)
    parser.add_argument("--out", type=Path, default=default_out, metavar="DIR", help=f"output directory (default: {default_out})")
    parser.add_argument("--quick", action="store_true", help=quick_help)
    return parser
