"""Whole runs in one call and spins in and out in bulk.

A run in one call must be the run of single calls, bit for bit, whatever the
slices it is cut into; a long one must give way to signals and to other
threads; spins read from any kind of integer buffer or sequence must land in
site order, and a refused argument must leave the lattice as it was.
"""

import array
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import PanicException, caught, expect, needs_seed_stand_in
from seeded import case, check_same, run_seeded
from spinlattice import Lattice

INF, NAN = float("inf"), float("nan")
# Work of the first slice of a run (on lattices of at most this many sites) and of each later one.
ATTACHED_WORK, SLICE_WORK = 4096, 65536
RUN_NOTE = re.compile(r"Lattice\.(simulation|wolff)_steps\(\) was stopped after (\d+) of (\d+) updates, "
                      r"for which it would have returned (\d+)")


# --- Runs in one call against the oracle and against single calls --------------------------

@needs_seed_stand_in
def test_runs_in_one_call_match_the_oracle():
    shapes = [(1, 7), (7, 1), (2, 2), (3, 5), (5, 13), (16, 16)]
    temperatures = [2.269, 0.5, 1e-300, INF, NAN, -1.0]
    fields = [0.0, 0.3, NAN]
    cases = []
    for i, (w, h) in enumerate(shapes):
        t, hz = temperatures[i % len(temperatures)], fields[i % len(fields)]
        ops = [["M", 0], ["W", 0], ["M", 1], ["M", 3 * w * h], ["W", 1], ["W", 40], ["T", 1e-300], ["W", 5],
               ["S", [1] * (w * h)], ["M", 10], ["T", INF], ["W", 3], ["h", 1e300], ["M", 17]]
        cases.append(case(4000 + i, w, h, t, hz, ops))
    cases.append(case(4100, 0, 3, 1.0, 0.0, [["M", 2], ["W", 1], ["M", 0], ["S", []], "obs"]))
    # Around the first slice and the first detached ones, attached (64 x 64) and not (65 x 64).
    cases.append(case(4101, 64, 64, 2.269, 0.0,
                      [["M", ATTACHED_WORK - 1], ["M", ATTACHED_WORK], ["M", ATTACHED_WORK + SLICE_WORK + 1],
                       ["W", 30]]))
    cases.append(case(4102, 65, 64, 2.269, 0.1, [["M", SLICE_WORK - 1], ["M", SLICE_WORK + 1], ["W", 30]]))
    check_same(cases)


@needs_seed_stand_in
def test_millions_of_updates_in_one_call_are_those_of_single_calls():
    """One call, the same run cut into uneven calls, and single calls: the same
    spins and generator; the counts of the first two agree (the oracle checks
    them on shorter runs)."""
    results = run_seeded(textwrap.dedent("""
        from spinlattice import Lattice
        PIECES = [1, 4095, 4097, 65535, 65537, 1_000_003]
        out = []
        for i, (w, h, t, hz, rule, count) in enumerate([(128, 128, 2.269, 0.0, "simulation", 3_000_000),
                                                        (31, 17, 1.7, -0.2, "simulation", 1_500_000),
                                                        (64, 64, 2.269, 0.0, "wolff", 30_000)]):
            for _ in range(3):
                seed(bytes([i + 1]) * 32)
            whole, cut, single = (Lattice(w, h, t, hz) for _ in range(3))
            total = getattr(whole, rule + "_steps")(count)
            pieces = [p for p in PIECES if p < count // 2]
            summed = sum(getattr(cut, rule + "_steps")(p) for p in pieces + [count - sum(pieces)])
            step = getattr(single, rule + "_step")
            for _ in range(count):
                step()
            out.append([total, summed, repr(whole) == repr(cut) == repr(single)])
        emit(out)
        """), timeout=600)
    for total, summed, same in results:
        assert same and total == summed > 0


# --- Long runs: signals and threads ------------------------------------------------------------

INTERRUPTED = """
import os, signal, threading, time
from spinlattice import Lattice
lat = Lattice({w}, {w}, 2.269, 0.0)
sent = []
def interrupt():
    time.sleep(0.3)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
try:
    lat.{method}(10**15)
except KeyboardInterrupt as e:
    waited = time.monotonic() - sent[0]
    notes = e.__notes__
spins = lat.as_array()
w = lat.width
bonds = sum(spins[k] * (spins[k - k % w + (k + 1) % w] + spins[(k + w) % len(spins)]) for k in range(len(spins)))
print(waited, -bonds == lat.get_energy(), lat.{method}(3) >= 0, notes[0])
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is sent with os.kill")
@pytest.mark.parametrize("method, side", [("simulation_steps", 256), ("wolff_steps", 512)])
def test_ctrl_c_stops_a_long_run_between_whole_updates(method, side):
    done = subprocess.run([sys.executable, "-c", INTERRUPTED.format(w=side, method=method)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    waited, energy_matches, usable, note = done.stdout.split(" ", 3)
    assert float(waited) < 1.0 and energy_matches == "True" and usable == "True"
    made = RUN_NOTE.match(note)
    assert made and made.group(1) + "_steps" == method and 0 < int(made.group(2)) < 10**15 == int(made.group(3))


class Stopped(BaseException):
    pass


def test_a_run_lets_other_threads_in_and_refuses_calls_on_its_lattice():
    lat, other = Lattice(64, 64, 2.269, 0.0), Lattice(8, 8, 2.0, 0.0)
    seen = {}

    def probe():
        time.sleep(0.1)
        seen["set_spins"] = caught(lambda: lat.set_spins(bytes([1]) * 4096))
        seen["as_bytes"] = caught(lat.as_bytes)
        seen["wolff_steps"] = caught(lambda: lat.wolff_steps(1))
        seen["other"] = other.simulation_steps(10_000)  # another lattice runs meanwhile
        signal.raise_signal(signal.SIGINT)

    def stop(*_):
        raise Stopped

    previous = signal.signal(signal.SIGINT, stop)
    try:
        thread = threading.Thread(target=probe)
        thread.start()
        exc = caught(lambda: lat.simulation_steps(10**15))
        thread.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert type(exc) is Stopped and RUN_NOTE.match(exc.__notes__[0])
    assert {k: str(v) for k, v in seen.items() if k != "other"} == {
        "set_spins": "Already borrowed", "as_bytes": "Already mutably borrowed", "wolff_steps": "Already borrowed"}
    assert seen["other"] > 0
    lat.set_spins(bytes([1]) * 4096)  # the borrow was given back
    assert lat.get_energy() == -2 * 4096


def test_runs_of_nothing_and_runs_on_empty_lattices():
    lat = Lattice(3, 3, 2.0, 0.0)
    before = repr(lat)
    assert lat.simulation_steps(0) == 0 and lat.wolff_steps(0) == 0 and repr(lat) == before
    empty = Lattice(0, 5, 1.0, 0.0)
    for method in (empty.simulation_steps, empty.wolff_steps):
        exc = expect(PanicException, "cannot sample empty range", lambda: method(4))
        assert RUN_NOTE.match(exc.__notes__[0]).group(2, 3, 4) == ("0", "4", "0")
    exc = expect(OverflowError, "can't convert negative int to unsigned", lambda: lat.wolff_steps(-1))
    assert exc.__notes__ == ["while processing 'count'"]


# --- Spins in and out ----------------------------------------------------------------------------

W, H = 5, 3
SPINS = [1, -1, -1, 1, 1, -1, 1, -1, -1, -1, 1, 1, 1, -1, 1]

# Every kind of argument set_spins takes, each holding SPINS in site order.
KINDS = {
    "bytes": lambda s: bytes(v & 0xFF for v in s),
    "bytearray": lambda s: bytearray(v & 0xFF for v in s),
    "memoryview": lambda s: memoryview(bytes(v & 0xFF for v in s)),
    "list": list,
    "tuple": lambda s: tuple(np.int8(v) for v in s),
    **{f"array {code}": (lambda code: lambda s: array.array(code, s))(code) for code in "bhilq"},
    "array B": lambda s: array.array("B", [v & 0xFF for v in s]),
    "int8 rows": lambda s: np.array(s, np.int8).reshape(H, W),
    "uint16": lambda s: np.array(s, np.int16).view(np.uint16),
    "big-endian int32": lambda s: np.array(s, ">i4"),
    "uint64": lambda s: np.array(s, np.int64).view(np.uint64),
    "Fortran order": lambda s: np.asfortranarray(np.array(s, np.int64).reshape(H, W)),
    "strided": lambda s: np.repeat(np.array(s, np.int16), 3)[::3],
}


# Made once: NumPy's own reference counts drift when arrays are made, which the
# reference-leak runs of this suite would take for ours.
ARGUMENTS = {kind: make(SPINS) for kind, make in KINDS.items()}


@pytest.mark.parametrize("kind", KINDS)
def test_set_spins_takes_every_integer_buffer_and_sequence(kind):
    lat = Lattice(W, H, 2.0, 0.5)
    index = re.search(r"index: \d+", repr(lat)).group()
    lat.set_spins(ARGUMENTS[kind])
    assert lat.as_array() == SPINS
    assert memoryview(lat.as_bytes()).cast("b").tolist() == SPINS  # signed bytes in site order
    assert re.search(r"index: \d+", repr(lat)).group() == index  # nothing drawn
    assert lat.get_total_magnetization() == sum(SPINS)


N = W * H
BAD = [
    (SPINS[:-1], ValueError, f"expects {N} spins (width * height), but was given {N - 1}"),
    (bytes(N + 1), ValueError, f"expects {N} spins (width * height), but was given {N + 1}"),
    (np.ones((N, 2), np.int8), ValueError, f"expects {N} spins (width * height), but was given {2 * N}"),
    (SPINS[:-1] + [0], ValueError, f"expects spins of 1 or -1, but item {N - 1} is 0"),
    ([1, True, np.int8(-1), 2**70] + SPINS[4:], ValueError, f"expects spins of 1 or -1, but item 3 is {2**70}"),
    (bytes([1, 0xFE]) + bytes(N - 2), ValueError, "expects spins of 1 or -1, but item 1 is 254"),
    (np.full(N, -2, np.int16), ValueError, "expects spins of 1 or -1, but item 0 is -2"),
    (np.full(N, 0xFFFE, ">u2"), ValueError, "expects spins of 1 or -1, but item 0 is 65534"),
    ([1.0] * N, TypeError, "expects ints, but item 0 is of type 'float'"),
    (np.ones(N), TypeError, "expects integers, but the buffer holds items of format 'd'"),
    (np.ones(N, bool), TypeError, "expects integers, but the buffer holds items of format '?'"),
    ("+" * N, TypeError, "expects a buffer of integers or a sequence of ints, not 'str'"),
    ({1, -1}, TypeError, "expects a buffer of integers or a sequence of ints, not 'set'"),
    (iter(SPINS), TypeError, "expects a buffer of integers or a sequence of ints, not 'list_iterator'"),
    (None, TypeError, "expects a buffer of integers or a sequence of ints, not 'NoneType'"),
]


@pytest.mark.parametrize("spins, error, message", BAD, ids=lambda x: str(x)[:30])
def test_refused_spins_name_the_problem_and_change_nothing(spins, error, message):
    lat = Lattice(W, H, 2.0, 0.0)
    before = repr(lat)
    exc = expect(error, "Lattice.set_spins() " + message, lambda: lat.set_spins(spins))
    assert exc.__notes__ == ["while processing 'spins'"]
    assert repr(lat) == before


def test_a_sequence_is_copied_before_its_items_are_converted():
    lat = Lattice(2, 2, 1.0, 0.0)
    spins = [None, -1, 1, -1]

    class Meddles:
        def __index__(self):
            spins.clear()  # the list changes under the conversion
            lat.simulation_step()  # no borrow is held while converting
            return 1

    spins[0] = Meddles()
    lat.set_spins(spins)
    assert lat.as_array() == [1, -1, 1, -1]


def test_setting_the_spins_a_lattice_has_changes_nothing():
    lat = Lattice(9, 4, 2.269, 0.0)
    lat.simulation_steps(100)
    before = repr(lat)
    lat.set_spins(lat.as_bytes())
    lat.set_spins(lat.as_array())
    assert repr(lat) == before
