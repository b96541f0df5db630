"""Cost of the Python-facing calls, as ratios to anchors timed in the same process.

Each figure times our call and its anchor in identical loops, alternating
them round after round; a ratio is the fastest of our rounds over the fastest
of the anchor's, with the median of the per-round ratios beside it to show
the noise. The machine is shared, so only ratios taken side by side mean
anything; absolute nanoseconds are given for orientation.

    python bench/bench_calls.py [--rounds N] [--quick]
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from itertools import repeat

import numpy as np

import spinlattice
from spinlattice import Lattice

T_CRITICAL = 2.0 / math.log(1.0 + math.sqrt(2.0))  # 2.269...

# Loops of one shape per call form, so that our call and its anchor pay the
# same loop overhead. The callee is pre-bound: only the call itself is timed.


def loop_call0(f, n):
    for _ in repeat(None, n):
        f()


def loop_call1(f, a, n):
    for _ in repeat(None, n):
        f(a)


def loop_call2(f, a, b, n):
    for _ in repeat(None, n):
        f(a, b)


def loop_empty(n):
    for _ in repeat(None, n):
        pass


def attribute_loop(name):
    """A loop reading `obj.<name>`, compiled with the name in place."""
    namespace = {"repeat": repeat}
    exec(f"def loop(obj, n):\n    for _ in repeat(None, n):\n        obj.{name}\n", namespace)
    return namespace["loop"]


def timed(run):
    start = time.perf_counter_ns()
    run()
    return time.perf_counter_ns() - start


class Comparison:
    """Our call against its anchor: fastest rounds and per-round ratios."""

    def __init__(self, ours, anchor, per):
        self.ours, self.anchor, self.per = ours, anchor, per  # per: units of work per timing
        self.ours_ns, self.anchor_ns, self.ratios = math.inf, math.inf, []

    def round(self, flip):
        pair = (self.anchor, self.ours) if flip else (self.ours, self.anchor)
        first, second = timed(pair[0]), timed(pair[1])
        ours, anchor = (second, first) if flip else (first, second)
        self.ours_ns = min(self.ours_ns, ours)
        self.anchor_ns = min(self.anchor_ns, anchor)
        self.ratios.append(ours / anchor)

    @property
    def ratio(self):
        return self.ours_ns / self.anchor_ns

    @property
    def median(self):
        return statistics.median(self.ratios)

    def ns(self, which="ours"):
        return (self.ours_ns if which == "ours" else self.anchor_ns) / self.per


def compare(rounds, ours, anchor, per):
    c = Comparison(ours, anchor, per)
    ours()  # warm both up (specialisation, caches, page faults)
    anchor()
    for r in range(rounds):
        c.round(flip=bool(r & 1))
    return c


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, measured, goal=None, met=None, note=""):
        if goal is None:
            verdict = "info"
        else:
            verdict = "met" if met else "NOT MET"
        self.rows.append((figure, measured, goal or "-", verdict, note))

    def ratio(self, figure, c, goal_max=None, note=""):
        measured = f"{c.ratio:.3f} (median {c.median:.3f})"
        goal = f"<= {goal_max}" if goal_max is not None else None
        met = c.ratio <= goal_max if goal_max is not None else None
        ns = f"{c.ns('ours'):.1f} vs {c.ns('anchor'):.1f} ns"
        self.add(figure, measured, goal, met, f"{ns}{'; ' + note if note else ''}")

    def print(self):
        headers = ("figure", "measured", "goal", "verdict", "detail")
        widths = [max(len(str(row[i])) for row in self.rows + [headers]) for i in range(5)]
        line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
        print(line)
        print("-" * len(line))
        for row in self.rows:
            print("  ".join(str(v).ljust(w) for v, w in zip(row, widths)).rstrip())


def machine_lines():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    flags = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    flags = " ".join(x for x in ("sse2", "ssse3", "sse4_1", "avx", "avx2") if x in have)
                    break
    except OSError:
        pass
    try:
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        load = "?"
    return [
        f"cpu: {model} ({flags}); {os.cpu_count()} logical cores; load average {load}",
        f"python: {platform.python_implementation()} {sys.version.split()[0]} ({platform.machine()}); "
        f"numpy {np.__version__}",
        f"module: {spinlattice.__file__}",
        f"source tree: {tree_version()}",
    ]


def tree_version():
    """The commit of the checkout this script lives in (the module may have been built from another)."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        return subprocess.run(["git", "-C", here, "describe", "--always", "--dirty"], capture_output=True,
                              text=True, timeout=10).stdout.strip() or "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def warmed_lattice(width, height, temperature, h_z, sweeps=20):
    lattice = Lattice(width, height, temperature, h_z)
    n = width * height
    # Wolff orders a cold lattice quickly (it ignores the field); Metropolis then settles it.
    if temperature > 0 and not math.isnan(temperature):
        for _ in range(20):
            lattice.wolff_step()
    step = lattice.simulation_step
    loop_call0(step, sweeps * n)
    return lattice


def acceptance(lattice, steps):
    """Fraction of Metropolis steps that flipped a spin (each flip moves M by 2)."""
    step, magnetization = lattice.simulation_step, lattice.get_total_magnetization
    flips, before = 0, magnetization()
    for _ in range(steps):
        step()
        after = magnetization()
        flips += after != before
        before = after
    return flips / steps


def numpy_energy_float(s, h_z):
    nb = np.roll(s, 1, axis=1) + np.roll(s, 1, axis=0) + np.roll(s, -1, axis=1) + np.roll(s, -1, axis=0)
    return float(np.sum(-0.5 * nb * s - h_z * s))


def numpy_energy_int8(s, h_z):
    nb = np.roll(s, 1, axis=1) + np.roll(s, 1, axis=0) + np.roll(s, -1, axis=1) + np.roll(s, -1, axis=0)
    return -0.5 * float(np.sum(nb * s, dtype=np.int64)) - h_z * float(np.sum(s, dtype=np.int64))


def bench_wolff(rounds):
    """ns per examined neighbour of wolff_step at T_c on 256 x 256.

    Each call is timed on its own; its cluster size is |dM| / 2 from the total
    magnetisation read outside the timed region, and each cluster site
    examines its four neighbours.
    """
    lattice = Lattice(256, 256, T_CRITICAL, 0.0)
    step, magnetization = lattice.wolff_step, lattice.get_total_magnetization
    # From the random start, clusters stay tiny for thousands of calls; warm up
    # until about 20 sweeps' worth of sites have been flipped.
    flipped, n = 0, 256 * 256
    for _ in range(20_000):
        before = magnetization()
        step()
        flipped += abs(magnetization() - before) / 2
        if flipped >= 20 * n:
            break
    clock = time.perf_counter_ns
    overhead = min(-clock() + clock() for _ in range(1000))
    calls = 50  # per round; one call at T_c takes about half a millisecond
    per_round = []
    total_examined = 0
    for _ in range(rounds):
        ns = examined = 0
        for _ in range(calls):
            before = magnetization()
            start = clock()
            step()
            ns += clock() - start - overhead
            examined += 4 * int(abs(magnetization() - before)) // 2
        per_round.append(ns / examined)
        total_examined += examined
    mean_cluster = total_examined / 4 / (len(per_round) * calls)
    return min(per_round), statistics.median(per_round), mean_cluster


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None,
                        help="alternating rounds per figure (default 60, or 15 with --quick)")
    parser.add_argument("--quick", action="store_true", help="fewer calls per round: a smoke run, noisier")
    args = parser.parse_args()
    # Many short rounds: on a shared machine the fastest of many short
    # timings finds the quiet moments; a few long ones would all be disturbed.
    rounds = max(2, args.rounds or (15 if args.quick else 60))
    calls = 5_000 if args.quick else 20_000

    print("spinlattice call benchmarks: ratios to anchors timed alternately in this process")
    for line in machine_lines():
        print("  " + line)
    print(f"  {rounds} rounds per figure, {calls} calls per round for per-call figures; "
          "ratio = fastest ours / fastest anchor")
    print()

    gc.disable()
    table = Table()

    # Anchors.
    bit_length = (12345).bit_length
    anchor_call0 = lambda: loop_call0(bit_length, calls)  # noqa: E731

    empty = compare(rounds, lambda: loop_empty(calls), anchor_call0, calls)
    table.add("loop overhead / empty builtin call", f"{empty.ratio:.3f}",
              note=f"bare loop {empty.ns('ours'):.1f} ns; (12345).bit_length() {empty.ns('anchor'):.1f} ns per call")

    # simulation_step under different acceptance regimes.
    for label, (t, h) in {
        "T=2.269 h=0": (T_CRITICAL, 0.0),
        "T=0.5 h=0": (0.5, 0.0),
        "T=5 h=0": (5.0, 0.0),
        "T=2.269 h=nan": (T_CRITICAL, math.nan),
    }.items():
        lattice = warmed_lattice(64, 64, t, h, sweeps=5 if args.quick else 20)
        rate = acceptance(lattice, 20_000 if not args.quick else 4_000)
        step = lattice.simulation_step
        c = compare(rounds, lambda: loop_call0(step, calls), anchor_call0, calls)
        table.ratio(f"simulation_step 64x64 {label} / bit_length()", c, 1.5,
                    note=f"acceptance {rate:.3f}")

    lattice = Lattice(64, 64, T_CRITICAL, 0.0)
    w = lattice.width
    k = 64 * 37 + 21
    c = compare(rounds, lambda: loop_call1(lattice.flat_to_idx, k, calls),
                lambda: loop_call2(divmod, k, w, calls), calls)
    table.ratio("flat_to_idx(k) / divmod(k, w)", c, 1.5)
    c = compare(rounds, lambda: loop_call2(lattice.idx_to_flat, 37, 21, calls),
                lambda: loop_call2(divmod, k, w, calls), calls)
    table.ratio("idx_to_flat(r, c) / divmod(k, w)", c)
    c = compare(rounds, lambda: loop_call1(lattice.get_energy_diff_from_flip, k, calls),
                lambda: loop_call2(divmod, k, w, calls), calls)
    table.ratio("get_energy_diff_from_flip(k) / divmod(k, w)", c)
    c = compare(rounds, lambda: loop_call1(lattice.get_nearest_neighbors, k, calls),
                lambda: loop_call2(divmod, k, w, calls), calls)
    table.ratio("get_nearest_neighbors(k) / divmod(k, w)", c)

    real_loop = attribute_loop("real")
    for name in ("width", "temperature"):
        ours_loop = attribute_loop(name)
        c = compare(rounds, lambda: ours_loop(lattice, calls), lambda: real_loop(1.5, calls), calls)
        table.ratio(f"lattice.{name} / (1.5).real", c)

    # Whole-lattice operations on 1024 x 1024.
    big = Lattice(1024, 1024, T_CRITICAL, 0.0)
    n = 1024 * 1024
    reps = 1

    def as_array_loop():
        f = big.as_array
        for _ in range(reps):
            f()

    def list_bytes_loop():
        for _ in range(reps):
            list(bytes(1024 * 1024))

    c = compare(rounds, as_array_loop, list_bytes_loop, reps)
    table.add("as_array 1024x1024 / list(bytes(1024*1024))", f"{c.ratio:.3f} (median {c.median:.3f})",
              "<= 1.2", c.ratio <= 1.2, f"{c.ns('ours') / 1e6:.2f} vs {c.ns('anchor') / 1e6:.2f} ms")

    spins = np.asarray(big.as_array(), dtype=np.int8).reshape(1024, 1024)
    spins_f = spins.astype(np.float64)
    energy = big.get_energy()
    assert numpy_energy_float(spins_f, 0.0) == energy, "NumPy energy (float64) disagrees"
    assert numpy_energy_int8(spins, 0.0) == energy, "NumPy energy (int8) disagrees"
    get_energy = big.get_energy
    energy_reps = 1

    def energy_loop():
        for _ in range(energy_reps):
            get_energy()

    def numpy_loop(fn, s):
        def run():
            for _ in range(energy_reps):
                fn(s, 0.0)
        return run

    c_f = compare(rounds, energy_loop, numpy_loop(numpy_energy_float, spins_f), energy_reps)
    c_i = compare(rounds, energy_loop, numpy_loop(numpy_energy_int8, spins), energy_reps)
    table.add("get_energy 1024x1024, ns per site", f"{c_f.ns('ours') / n:.3f}",
              note=f"{c_f.ns('ours') / 1e6:.2f} ms per call")
    table.add("get_energy / np.roll energy (float64 array)", f"{c_f.ratio:.3f} (median {c_f.median:.3f})",
              "<= 0.5", c_f.ratio <= 0.5, f"NumPy {c_f.ns('anchor') / 1e6:.2f} ms, conversion to array not timed")
    table.add("get_energy / np.roll energy (int8 array)", f"{c_i.ratio:.3f} (median {c_i.median:.3f})",
              note=f"NumPy {c_i.ns('anchor') / 1e6:.2f} ms; integer sums, exact only while terms are integers")

    best, median, cluster = bench_wolff(rounds)
    table.add("wolff_step T_c 256x256, ns per examined neighbour", f"{best:.2f} (median {median:.2f})",
              note=f"mean cluster {cluster:.0f} sites; examined = 4 x |dM|/2 per call")

    gc.enable()
    table.print()


if __name__ == "__main__":
    main()
