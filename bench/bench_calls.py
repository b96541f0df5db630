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
from machine import processor
from noop_module import noop_module
from spinlattice import Lattice

# The critical temperature, from the study toolkit that ships with the module.
from spinlattice_studies.exact import T_C as T_CRITICAL


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
        f"cpu: {processor()} ({flags}); {os.cpu_count()} logical cores; load average {load}",
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


WOLFF_SIZES = {128: 1000, 256: 5000}  # side: Wolff calls to equilibrate (256 needs over 4000)
WOLFF_SEED = bytes(range(1, 33))


def wolff_rounds(lattices, rounds, calls):
    """Time `calls` Wolff calls on each lattice in turn, alternating the order by round.

    The lattices are in the same state, so they grow the same clusters; the
    examined neighbours are 4 x |dM| / 2 per call, read outside the timed region.
    Returns per lattice the ns per neighbour of each round.
    """
    clock = time.perf_counter_ns
    overhead = min(-clock() + clock() for _ in range(1000))
    per_round = [[] for _ in lattices]
    for r in range(rounds):
        order = list(range(len(lattices)))
        if r & 1:
            order.reverse()
        examined = {}
        for i in order:
            step, magnetization = lattices[i].wolff_step, lattices[i].get_total_magnetization
            ns = seen = 0
            for _ in range(calls):
                before = magnetization()
                start = clock()
                step()
                ns += clock() - start - overhead
                seen += 4 * int(abs(magnetization() - before)) // 2
            examined[i] = seen
            per_round[i].append(ns / seen)
        assert len(set(examined.values())) == 1, "the lattices grew different clusters"
    return per_round


def getrandom_shim():
    """The test suite's getrandom shim (tests/shim.py): lattices with chosen seeds in a child."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import shim
    return shim


def wolff_child(baseline, rounds, calls):
    """In a child with the getrandom shim: our module and the baseline on one seed."""
    import importlib.util
    import json

    shim = getrandom_shim().load()
    spec = importlib.util.spec_from_file_location("spinlattice", baseline)
    old = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(old)
    result = {}
    for side, settle in WOLFF_SIZES.items():
        lattices = []
        for module in (spinlattice, old):
            shim.shim_queue_seed(WOLFF_SEED)
            lattices.append(module.Lattice(side, side, T_CRITICAL, 0.0))
        for lattice in lattices:
            loop_call0(lattice.wolff_step, settle)
        assert lattices[0].as_array() == lattices[1].as_array(), "the baseline's history differs"
        ours, base = wolff_rounds(lattices, rounds, calls)
        result[side] = [min(ours), statistics.median(ours), min(base),
                        statistics.median([a / b for a, b in zip(ours, base)])]
    print(json.dumps(result))


def bench_wolff(rounds, calls, baseline):
    """{side: (best ns, median ns, baseline best ns or None, median ratio or None)} at T_c."""
    if not baseline:
        result = {}
        for side, settle in WOLFF_SIZES.items():
            lattice = Lattice(side, side, T_CRITICAL, 0.0)
            loop_call0(lattice.wolff_step, settle)
            (ours,) = wolff_rounds([lattice], rounds, calls)
            result[side] = (min(ours), statistics.median(ours), None, None)
        return result
    import json

    env = getrandom_shim().preloaded(os.environ)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--wolff-child", baseline,
                          "--rounds", str(rounds), "--wolff-calls", str(calls)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return {int(k): tuple(v) for k, v in json.loads(out).items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None,
                        help="alternating rounds per figure (default 60, or 15 with --quick)")
    parser.add_argument("--quick", action="store_true", help="fewer calls per round: a smoke run, noisier")
    parser.add_argument("--baseline", metavar="SO",
                        help="another build of the module: wolff_step is also timed on it, on the same clusters")
    parser.add_argument("--wolff-calls", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--wolff-child", metavar="SO", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.wolff_child:
        wolff_child(args.wolff_child, args.rounds, args.wolff_calls)
        return
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

    # The floor: a no-op METH_NOARGS function of a throwaway module.
    noop = noop_module().noop
    c = compare(rounds, lambda: loop_call0(noop, calls), anchor_call0, calls)
    table.ratio("no-op METH_NOARGS call / bit_length() (floor)", c)

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
        table.ratio(f"simulation_step 64x64 {label} / bit_length()", c, 1.25,
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

    wolff = bench_wolff(rounds, 10 if args.quick else 20, args.baseline)
    for side, (best, median, base, ratio) in wolff.items():
        note = "equilibrated; examined = 4 x |dM|/2 per call"
        if base is not None:
            note += f"; baseline {base:.2f} ns, ours / baseline on the same clusters {ratio:.3f} (median)"
        table.add(f"wolff_step T_c {side}x{side}, ns per examined neighbour", f"{best:.2f} (median {median:.2f})",
                  "<= 4.5", best <= 4.5, note)

    gc.enable()
    table.print()


if __name__ == "__main__":
    main()
