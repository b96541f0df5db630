"""Speed-up of two threads over one, each thread with its own lattice, beside the
same with two processes in the same run.

The process figure measures how many cores were actually free during the run;
on the free-threaded build the thread figure should come close to it. With the
interpreter lock, threads cannot overlap and their figure stays near 1.

    python bench/bench_threads.py [--rounds N] [--quick]
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import threading
import time
from itertools import repeat

from spinlattice import Lattice

# The critical temperature, from the study toolkit that ships with the module.
from spinlattice_studies.exact import T_C as T_CRITICAL

# Calls per worker and round: a few tenths of a second each on one core.
CALLS = {"simulation_step": 2_000_000, "wolff_step": 20_000}
SIDE = 64


def work(kind, calls, start_at):
    """Waits until start_at, runs the calls, returns (start, end) in monotonic time."""
    lat = Lattice(SIDE, SIDE, T_CRITICAL, 0.0)
    step = getattr(lat, kind)
    while time.monotonic() < start_at:
        pass
    start = time.monotonic()
    for _ in repeat(None, calls):
        step()
    return start, time.monotonic()


def span(intervals):
    return max(end for _, end in intervals) - min(start for start, _ in intervals)


def with_threads(kind, calls, workers):
    intervals = []
    start_at = time.monotonic() + 0.05
    threads = [threading.Thread(target=lambda: intervals.append(work(kind, calls, start_at)))
               for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return span(intervals)


def with_processes(kind, calls, workers):
    # Interpreter start-up is outside the timed span: children wait for start_at.
    start_at = time.monotonic() + 1.0
    children = [subprocess.Popen([sys.executable, __file__, "--child", kind, str(calls), repr(start_at)],
                                 stdout=subprocess.PIPE, text=True) for _ in range(workers)]
    intervals = [tuple(json.loads(child.communicate()[0])) for child in children]
    assert all(child.returncode == 0 for child in children)
    return span(intervals)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer calls and rounds, noisier")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, calls, start_at = args.child
        print(json.dumps(work(kind, int(calls), float(start_at))))
        return
    rounds, scale = (2, 0.25) if args.quick else (args.rounds, 1.0)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}, interpreter lock {'enabled' if gil else 'disabled'}; "
          f"{SIDE}x{SIDE} lattices, best of {rounds} rounds")
    print(f"{'operation':<16} {'threads 2/1':>12} {'processes 2/1':>14} {'threads/processes':>18}")
    for kind, calls in CALLS.items():
        calls = int(calls * scale)
        best = {}
        for _ in range(rounds):
            # Alternated within a round, so that every figure sees the same load.
            for name, run in (("t1", lambda: with_threads(kind, calls, 1)),
                              ("t2", lambda: with_threads(kind, calls, 2)),
                              ("p1", lambda: with_processes(kind, calls, 1)),
                              ("p2", lambda: with_processes(kind, calls, 2))):
                best[name] = min(best.get(name, math.inf), run())
        threads = 2 * best["t1"] / best["t2"]
        processes = 2 * best["p1"] / best["p2"]
        print(f"{kind:<16} {threads:>11.2f}x {processes:>13.2f}x {threads / processes:>17.0%}")


if __name__ == "__main__":
    main()
