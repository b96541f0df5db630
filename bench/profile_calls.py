"""Instructions per call of the hot methods, by where they are spent, under callgrind.

Wall time on a shared machine is noisy; callgrind's instruction counts are
repeatable. Each operation runs in a small driver loop twice, with N and 3N
calls after the same set-up and warm-up; the difference of the two profiles
divided by 2N is the cost of one call (loop included), free of start-up.
Costs are grouped by source: the interpreter, our binding layer, the model,
the generator, the C library. Build the module with -g for names and files
(the same code otherwise), e.g.

    cmake -S . -B /tmp/prof -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g
    cmake --build /tmp/prof --target spinlattice
    python bench/profile_calls.py --module /tmp/prof/spinlattice.*.so [op ...]

Without --module the installed module is profiled (stripped: no files, so
everything of ours lands in one group).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
# The critical temperature, from the study toolkit that ships with the module.
from spinlattice_studies.exact import T_C as T_CRITICAL
TESTS_DIR = os.path.join(os.path.dirname(BENCH_DIR), "tests")  # the getrandom shim, shim.py

# name: (set-up code, loop body, calls per unit N). Set-up binds what the body uses.
STEP = "L = lattice(64, 64, {}, {}); warm(L); f = L.simulation_step"
OPERATIONS = {
    "bit_length": ("f = (12345).bit_length", "f()", 1),
    "noop": ("f = noop_module().noop", "f()", 1),
    **{name: (STEP.format(t, h), "f()", 1) for name, t, h in [
        ("step_tc", "TC", "0.0"), ("step_t5", "5.0", "0.0"), ("step_t05", "0.5", "0.0"),
        ("step_nan", "TC", "float('nan')")]},
    "wolff_128": ("seed_next(); L = lattice(128, 128, TC, 0.0); settle(L, 1000); f = L.wolff_step", "f()", 1 / 1000),
    "wolff_256": ("seed_next(); L = lattice(256, 256, TC, 0.0); settle(L, 5000); f = L.wolff_step", "f()", 1 / 1000),
    "divmod": ("f = divmod; a = 64 * 37 + 21; b = 64", "f(a, b)", 1),
    "flat_to_idx": ("L = lattice(64, 64, TC, 0.0); f = L.flat_to_idx; a = 64 * 37 + 21", "f(a)", 1),
    "idx_to_flat": ("L = lattice(64, 64, TC, 0.0); f = L.idx_to_flat; a, b = 37, 21", "f(a, b)", 1),
    "energy_diff": ("L = lattice(64, 64, TC, 0.0); f = L.get_energy_diff_from_flip; a = 64 * 37 + 21", "f(a)", 1),
    "real": ("o = 1.5", "o.real", 1),
    "width": ("o = lattice(64, 64, TC, 0.0)", "o.width", 1),
    "temperature": ("o = lattice(64, 64, TC, 0.0)", "o.temperature", 1),
    "as_array": ("L = lattice(1024, 1024, TC, 0.0); f = L.as_array", "f()", 1 / 10_000),
    "list_bytes": ("n = 1024 * 1024", "list(bytes(n))", 1 / 10_000),
    "get_energy": ("L = lattice(1024, 1024, TC, 0.0); f = L.get_energy", "f()", 1 / 10_000),
}
DEFAULT = ["bit_length", "noop", "step_tc", "step_t5", "step_nan", "divmod", "flat_to_idx", "real", "width",
           "temperature", "as_array", "list_bytes"]

DRIVER = """
import sys, importlib.util
from itertools import repeat
sys.path[:0] = [{bench!r}, {tests!r}]
from noop_module import noop_module
path, calls = sys.argv[1], int(sys.argv[2])
if path:
    spec = importlib.util.spec_from_file_location("spinlattice", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
else:
    import spinlattice as module
lattice, TC = module.Lattice, {tc!r}
def warm(L):  # Metropolis only: a Wolff call's cost varies with its cluster and would not cancel
    s = L.simulation_step
    for _ in repeat(None, 100_000):
        s()
def settle(L, calls_):
    for _ in repeat(None, calls_):
        L.wolff_step()
def seed_next():  # the next lattice's seed, through the getrandom shim (Wolff: the same clusters every run)
    import shim
    shim.load().shim_queue_seed(bytes(range(1, 33)))
def run(calls_):  # a name the set-up code cannot shadow
    {setup}
    for _ in repeat(None, calls_):
        {body}
def count(calls_):  # examined neighbours: a cluster of c sites moves M by 2c and examines 4c
    {setup}
    total, m = 0.0, L.get_total_magnetization()
    for _ in repeat(None, calls_):
        {body}
        m2 = L.get_total_magnetization()
        total, m = total + 2 * abs(m2 - m), m2
    print(total)
run({warmup})
count(calls) if len(sys.argv) > 3 else run(calls)
"""


def profile(op, module, calls, workdir):
    setup, body, scale = OPERATIONS[op]
    n = max(1, int(calls * scale))
    script = os.path.join(workdir, f"drive_{op}.py")
    with open(script, "w") as f:
        f.write(DRIVER.format(tc=T_CRITICAL, bench=BENCH_DIR, tests=TESTS_DIR, setup=setup, body=body,
                              warmup=max(1, n // 10)))
    env = dict(os.environ)
    examined = None
    if "seed_next()" in setup:
        sys.path.insert(0, TESTS_DIR)
        import shim
        env = shim.preloaded(env)
        counts = [float(subprocess.run([sys.executable, script, module or "", str(count), "count"], check=True,
                                       env=env, capture_output=True, text=True).stdout) for count in (n, 3 * n)]
        examined = (counts[1] - counts[0]) / (2 * n)
    costs = []
    for count in (n, 3 * n):
        out = os.path.join(workdir, f"{op}.{count}.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--branch-sim=yes", "--callgrind-out-file=" + out,
                        sys.executable, script,
                        module or "", str(count)], check=True, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        costs.append(read_costs(out))
    zero = (0,) * len(EVENTS)
    per_call = {key: tuple((b - a) / (2 * n) for a, b in zip(costs[0].get(key, zero), costs[1].get(key, zero)))
                for key in set(costs[0]) | set(costs[1])}
    return per_call, examined


# One column per event: "1,234 (5.6%)", "1,234" or "." for zero; then "file:function [object]".
COLUMN = re.compile(r"\s*(?:([\d,]+)(?:\s+\(\s*[\d.]+%\))?|\.)(?=\s)")
LOCATION = re.compile(r"\s*(\S.*?)(?:\s+\[(.*)\])?\s*$")
EVENTS = ("Ir", "Bcm", "Bim")  # instructions; mispredicted conditional and indirect branches


def read_costs(out):
    """{(file:function, object): (Ir, Bcm, Bim)} of one profile, self costs."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no",
                           "--show=" + ",".join(EVENTS), out], check=True, capture_output=True, text=True).stdout
    costs = {}
    body = text.split("file:function", 1)[1]
    for line in body.splitlines():
        numbers, pos = [], 0
        for _ in EVENTS:
            m = COLUMN.match(line, pos)
            if not m:
                break
            numbers.append(int(m.group(1).replace(",", "")) if m.group(1) else 0)
            pos = m.end()
        where = LOCATION.match(line, pos)
        if len(numbers) != len(EVENTS) or not where or ":" not in where.group(1):
            continue
        key = (where.group(1), where.group(2) or "")
        old = costs.get(key, (0,) * len(EVENTS))
        costs[key] = tuple(a + b for a, b in zip(old, numbers))
    return costs


# Our layers by source folder, whatever the build recorded (absolute, relative or
# ../-prefixed paths), then by namespace for code inlined from elsewhere.
OUR_FOLDER = re.compile(r"(?:^|/)src/(binding|model|random)/|(?:^|/)src/(lib|stop)\.(?:cpp|hpp)$")
OUR_NAMESPACE = re.compile(r"\bspinlattice::(binding|model|random)::")
GROUPS = {"binding": "binding", "lib": "binding", "model": "model", "stop": "model", "random": "generator"}


def group_of(location, obj):
    file, _, function = location.partition(":")
    m = OUR_FOLDER.search(file) or OUR_NAMESPACE.search(function)
    if m:
        return GROUPS[m.group(1) or m.group(2)]
    if function.startswith("spinlattice::") or "spinlattice" in obj:
        if "atomic" in file:
            return "binding: atomics"
        if "Include/" in file or "python3" in file:
            return "binding: inlined CPython API"
        return "ours: other (std headers)" if file != "???" else "ours (no debug info)"
    if "libpython" in obj or "/Python-3." in file or "/python3." in obj:
        return "interpreter"
    if "libm" in obj:
        return "libm"
    if "libc" in obj:
        return "libc"
    return "other"


def report(op, profiled, top):
    per_call, examined = profiled
    total = [sum(v[i] for v in per_call.values()) for i in range(len(EVENTS))]
    groups = defaultdict(lambda: [0.0] * len(EVENTS))
    for (location, obj), values in per_call.items():
        g = groups[group_of(location, obj)]
        for i, v in enumerate(values):
            g[i] += v
    unit = "call (1024x1024)" if "1024" in OPERATIONS[op][0] else "call"
    print(f"{op}  [{OPERATIONS[op][1]}]: per {unit} {total[0]:,.1f} instructions, "
          f"{total[1]:.2f} mispredicted conditional + {total[2]:.2f} indirect branches")
    if examined:
        print(f"    per examined neighbour ({examined:,.0f} per call, seeded): {total[0] / examined:.2f} instructions, "
              f"{total[1] / examined:.3f} mispredicted")
    print(f"    {'group':<30} {'Ir':>12} {'Bcm':>7} {'Bim':>7}")
    for name, values in sorted(groups.items(), key=lambda x: -x[1][0]):
        if abs(values[0]) >= 0.5:
            print(f"    {name:<30} {values[0]:12,.1f} {values[1]:7.2f} {values[2]:7.2f}")
    print("    top entries (file:function; inlined code is listed under its own file):")
    for (location, obj), values in sorted(per_call.items(), key=lambda x: -x[1][0])[:top]:
        file, _, function = location.partition(":")
        print(f"      {values[0]:12,.1f} {values[1]:7.2f}  {os.path.basename(file)}:{function[:80]}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ops", nargs="*", default=DEFAULT, help=f"operations (default: {' '.join(DEFAULT)}); "
                        f"all: {' '.join(OPERATIONS)}")
    parser.add_argument("--module", default="", help="path of a spinlattice .so to load instead of the installed one")
    parser.add_argument("--calls", type=int, default=100_000, help="N, calls per unit (default 100000)")
    parser.add_argument("--top", type=int, default=12, help="entries listed per operation")
    args = parser.parse_args()
    unknown = [op for op in args.ops if op not in OPERATIONS]
    if unknown:
        parser.error(f"unknown operations: {unknown}")
    print(f"callgrind instruction counts per call; python {sys.version.split()[0]}; "
          f"module {args.module or '(installed)'}\n")
    with tempfile.TemporaryDirectory(prefix="spinlattice-prof-") as workdir:
        for op in args.ops:
            report(op, profile(op, args.module, args.calls, workdir), args.top)


if __name__ == "__main__":
    main()
