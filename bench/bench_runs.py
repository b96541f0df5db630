"""Runs in one call against what a physicist would use instead, timed side by side
in one process: a Python loop of single calls, the model's own loop in C++ (the
floor, through ctypes), a numba-jitted sequential Metropolis loop and a NumPy
checkerboard sweep; then spins out and in as bytes, and two threads with a
lattice each against one thread doing both.

    python bench/bench_runs.py --floor build/bench/bench/librun_floor.so [--rounds N] [--quick] [--json PATH]

Each figure is the fastest of several rounds, the paths taking turns within a
round; the median of the per-round ratios is printed beside the ratio of the
fastest rounds. Absolute figures are for orientation only: the machine is shared.
With --json it also writes the rates users read on the site's performance page
(docs/_data/performance.json): Metropolis updates and Wolff sweep-equivalents per
second, batched and looped, with the command, date and machine beside them. Run it
on a quiet machine for that.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import json
import math
import os
import platform
import statistics
import sys
import threading
import time
from itertools import repeat

import numpy as np

from machine import processor
from spinlattice import Lattice
from spinlattice_studies.exact import T_C


def timed(run):
    start = time.perf_counter_ns()
    run()
    return time.perf_counter_ns() - start


class Race:
    """Several paths timed in turn, round after round; each knows its units of work per run."""

    def __init__(self, rounds, **paths):
        self.best = {name: math.inf for name in paths}
        self.rounds = {name: [] for name in paths}
        for run, _ in paths.values():
            run()  # warm up: specialisation, caches, page faults
        names = list(paths)
        for r in range(rounds):
            for name in names[r % len(names):] + names[:r % len(names)]:
                run, per = paths[name]
                ns = timed(run) / per
                self.best[name] = min(self.best[name], ns)
                self.rounds[name].append(ns)

    def ratio(self, ours, anchor):
        fastest = self.best[ours] / self.best[anchor]
        median = statistics.median(o / a for o, a in zip(self.rounds[ours], self.rounds[anchor]))
        return fastest, median


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, value, goal=None, met=None):
        self.rows.append((figure, value, goal or "-", "info" if goal is None else ("met" if met else "NOT MET")))

    def print(self):
        widths = [max(len(str(row[i])) for row in self.rows) for i in range(4)]
        for row in self.rows:
            print("  " + "  ".join(str(v).ljust(w) for v, w in zip(row, widths)))


def loop_of(step, n):
    def run():
        for _ in repeat(None, n):
            step()
    return run


def equilibrated(side, temperature):
    lat = Lattice(side, side, temperature, 0.0)
    lat.wolff_steps(200)
    return lat


class Floor:
    """The model's own loops, from the library built beside bench_blocks."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.floor_lattice.restype = ctypes.c_void_p
        self.lib.floor_lattice.argtypes = [ctypes.c_uint64, ctypes.c_uint64, ctypes.c_double]
        for name in ("floor_metropolis", "floor_wolff"):
            getattr(self.lib, name).restype = ctypes.c_uint64
            getattr(self.lib, name).argtypes = [ctypes.c_void_p, ctypes.c_uint64]

    def metropolis(self, side, temperature, count):
        lattice = self.lib.floor_lattice(side, side, temperature)
        self.lib.floor_wolff(lattice, 200)
        return lambda: self.lib.floor_metropolis(lattice, count)


def numba_metropolis():
    """A sequential random-site Metropolis loop as numba users write it, or None without numba."""
    try:
        import numba
    except ImportError:
        return None

    @numba.njit(cache=False)
    def sweep(spins, beta, count):
        h, w = spins.shape
        for _ in range(count):
            i, j = np.random.randint(0, h), np.random.randint(0, w)
            s = spins[i, j]
            nb = spins[(i - 1) % h, j] + spins[(i + 1) % h, j] + spins[i, (j - 1) % w] + spins[i, (j + 1) % w]
            d_e = 2 * s * nb
            if d_e <= 0 or np.random.random() < math.exp(-beta * d_e):
                spins[i, j] = -s
    return sweep


def checkerboard_sweep(spins, beta, rng, colours):
    """One sweep of the NumPy checkerboard Metropolis: each sublattice updated at once."""
    for colour in colours:
        nb = np.roll(spins, 1, 0) + np.roll(spins, -1, 0) + np.roll(spins, 1, 1) + np.roll(spins, -1, 1)
        flip = colour & (rng.random(spins.shape) < np.exp(-beta * 2.0 * spins * nb))
        spins[flip] *= -1


def metropolis_figures(table, rounds, floor, quick):
    numba_sweep = numba_metropolis()
    per_second = []
    for side in (32, 128, 1024):
        n = side * side
        batch = 400_000 if quick else 2_000_000
        lat = equilibrated(side, T_C)
        paths = {
            "loop": (loop_of(lat.simulation_step, batch // 10), batch // 10),
            "steps": (lambda lat=lat: lat.simulation_steps(batch), batch),
            "floor": (floor.metropolis(side, T_C, batch), batch),
        }
        if numba_sweep is not None and side in (32, 128):
            field = np.where(np.random.default_rng(1).random((side, side)) < 0.5, 1, -1).astype(np.int8)
            numba_sweep(field, 1 / T_C, 10)  # compiles
            paths["numba"] = (lambda f=field: numba_sweep(f, 1 / T_C, batch), batch)
        if side in (32, 128):
            rng = np.random.default_rng(2)
            spins = np.where(rng.random((side, side)) < 0.5, 1, -1).astype(np.int8)
            rows, cols = np.indices((side, side))
            colours = [(rows + cols) % 2 == 0, (rows + cols) % 2 == 1]
            sweeps = max(1, batch // 20 // n)
            paths["numpy"] = (lambda s=spins: [checkerboard_sweep(s, 1 / T_C, rng, colours) for _ in range(sweeps)],
                              sweeps * n)
        race = Race(rounds, **paths)
        at = f"{side}x{side} at T_c"
        fastest, median = race.ratio("steps", "loop")
        table.add(f"simulation_steps / loop of simulation_step, {at}", f"{fastest:.3f} (median {median:.3f})",
                  "<= 0.15", fastest <= 0.15)
        fastest, median = race.ratio("steps", "floor")
        table.add(f"simulation_steps / C++ loop of the inline update, {at}",
                  f"{fastest:.3f} (median {median:.3f})", "<= 1.2", fastest <= 1.2)
        if "numba" in race.best:
            fastest, median = race.ratio("steps", "numba")
            table.add(f"simulation_steps / numba sequential loop, {at}", f"{fastest:.3f} (median {median:.3f})",
                      "<= 0.25", fastest <= 0.25)
        if "numpy" in race.best:
            fastest, median = race.ratio("steps", "numpy")
            goal = side == 128
            table.add(f"simulation_steps / NumPy checkerboard per update, {at}",
                      f"{fastest:.3f} (median {median:.3f})", "<= 0.25" if goal else None,
                      fastest <= 0.25 if goal else None)
        per_second.append((side, 1e9 / race.best["steps"], 1e9 / race.best["loop"],
                           {k: f"{v:.2f}" for k, v in race.best.items()}))
    if numba_sweep is None:
        table.add("numba sequential loop", "numba is not installed: pip install numba")
    return per_second


def wolff_figures(table, rounds, quick):
    lat = equilibrated(64, 3.0)
    count = 20_000 if quick else 100_000
    race = Race(rounds, loop=(loop_of(lat.wolff_step, count // 5), count // 5),
                steps=(lambda: lat.wolff_steps(count), count))
    fastest, median = race.ratio("steps", "loop")
    table.add("wolff_steps / loop of wolff_step per cluster, 64x64 at T = 3.0",
              f"{fastest:.3f} (median {median:.3f}; {race.best['steps']:.1f} ns a cluster)", "<= 0.6",
              fastest <= 0.6)


def bytes_figures(table, rounds):
    lat = Lattice(1024, 1024, T_C, 0.0)
    spins = lat.as_bytes()
    race = Race(rounds, out=(lat.as_bytes, 1), array=(lat.as_array, 1), into=(lambda: lat.set_spins(spins), 1))
    fastest, median = race.ratio("out", "array")
    table.add("as_bytes / as_array, 1024x1024", f"{fastest:.4f} (median {median:.4f})", "<= 0.05",
              fastest <= 0.05)
    ms = race.best["into"] / 1e6
    table.add("set_spins(bytes), 1024x1024", f"{ms:.3f} ms", "< 2 ms", ms < 2)


def thread_figures(table, rounds, quick):
    count = 2_000_000 if quick else 10_000_000
    a, b = equilibrated(128, T_C), equilibrated(128, T_C)

    def both_on_one_thread():
        a.simulation_steps(count)
        b.simulation_steps(count)

    def one_thread_each():
        threads = [threading.Thread(target=lat.simulation_steps, args=(count,)) for lat in (a, b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    race = Race(max(3, rounds // 2), one=(both_on_one_thread, 2 * count), two=(one_thread_each, 2 * count))
    fastest, median = race.ratio("one", "two")
    build = "free-threaded" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "with the GIL"
    table.add(f"two threads with a lattice each / one thread doing both (throughput), "
              f"{sys.version.split()[0]} {build}", f"{fastest:.2f}x (median {median:.2f}x)", ">= 1.6x",
              fastest >= 1.6)


def wolff_rates(rounds, quick):
    """Wolff sweep-equivalents per second at T_c, batched and looped, per size: the
    batch's returned counts give the mean cluster, which the loop's clusters share."""
    rates = []
    for side in (32, 128, 1024):
        n = side * side
        lat, flipped = Lattice(side, side, T_C, 0.0), 0
        while flipped < 200 * n:  # 200 sweep-equivalents: clusters of equilibrium size
            flipped += lat.wolff_steps(10)
        mean = lat.wolff_steps(100) / 100
        # Ten sweep-equivalents a round (two with --quick), and at least two million flipped spins.
        clusters = max(10, round(max((2 if quick else 10) * n, 2_000_000) / mean))
        sizes = []
        race = Race(rounds, loop=(loop_of(lat.wolff_step, clusters), clusters),
                    steps=(lambda lat=lat: sizes.append(lat.wolff_steps(clusters)), clusters))
        mean_cluster = sum(sizes) / (len(sizes) * clusters)
        rates.append({"L": side, "mean_cluster": mean_cluster,
                      "sweeps_per_second": {"wolff_steps": 1e9 * mean_cluster / (race.best["steps"] * n),
                                            "loop": 1e9 * mean_cluster / (race.best["loop"] * n)}})
    return rates


def write_rates(path, per_second, wolff):
    """The users' figures with how they were made (docs/_data/performance.json)."""
    import numpy

    record = {
        "recorded": {
            "command": "python " + " ".join(sys.argv),
            "date": datetime.date.today().isoformat(),
            "machine": f"{processor()}, {os.cpu_count()} cores, {platform.system()}",
            "python": f"CPython {platform.python_version()}",
            "numpy": numpy.__version__,
            "load_average": round(os.getloadavg()[0], 2) if hasattr(os, "getloadavg") else None,
            "temperature": "T_c",
        },
        "metropolis": [{"L": side, "updates_per_second": {"simulation_steps": steps, "loop": loop}}
                       for side, steps, loop, _ in per_second],
        "wolff": wolff,
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(record, f, indent=1)
        f.write("\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--floor", required=True, help="the run_floor library built with the benchmarks")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds: noisier")
    parser.add_argument("--json", metavar="PATH", help="also write the users' rates here (docs/_data/performance.json)")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds
    table = Table()
    per_second = metropolis_figures(table, rounds, Floor(args.floor), args.quick)
    wolff_figures(table, rounds, args.quick)
    bytes_figures(table, rounds)
    thread_figures(table, rounds, args.quick)
    print(f"runs in one call, fastest of {rounds} rounds (ratio; median of per-round ratios):")
    table.print()
    print("Metropolis updates per second at T_c (fastest round):")
    for side, steps, loop, ns in per_second:
        print(f"  {side:>4}x{side:<4}  simulation_steps {steps / 1e6:7.1f} M/s   loop of simulation_step "
              f"{loop / 1e6:6.1f} M/s   ns per update: {ns}")
    if args.json:
        wolff = wolff_rates(rounds, args.quick)
        print("Wolff sweep-equivalents per second at T_c (fastest round):")
        for row in wolff:
            rate = row["sweeps_per_second"]
            print(f"  {row['L']:>4}x{row['L']:<4}  wolff_steps {rate['wolff_steps']:9.1f}/s   "
                  f"loop of wolff_step {rate['loop']:9.1f}/s   mean cluster {row['mean_cluster']:.0f} spins")
        write_rates(args.json, per_second, wolff)
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
