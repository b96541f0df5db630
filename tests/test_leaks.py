"""Memory stays flat over many calls, on success and on every error path.

Each case runs one call many times after a warm-up and compares the resident
set size before and after: a leak of even a few bytes per call shows at this
count. Reference leaks on argument objects show in their reference counts.
"""

import contextlib
import gc
import os
import sys

import pytest

from conftest import Index, PanicException, under_asan
from spinlattice import Lattice

CALLS = 200_000
# Growth allowed over CALLS calls: below 8 bytes (one pointer) per call.
LIMIT = 1 << 20


# The sanitizer's quarantine holds freed memory back, so sizes mean nothing there;
# the memory checker looks for leaks directly instead.
pytestmark = pytest.mark.skipif(under_asan(), reason="resident size is meaningless under ASan")


def rss():
    if not os.path.exists("/proc/self/statm"):
        import psutil  # /proc is Linux's; psutil asks other systems for the same figure

        return psutil.Process().memory_info().rss
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(op, count, expected):
    for _ in range(count):
        try:
            op()
        except expected:
            pass


def assert_flat(op, expected=(), count=CALLS):
    repeat(op, count // 10, expected)  # warm-up: caches, free lists, arenas
    gc.collect()
    before = rss()
    repeat(op, count, expected)
    gc.collect()
    grown = rss() - before
    assert grown < LIMIT, f"resident memory grew by {grown} bytes over {count} calls"


LAT = Lattice(6, 5, 2.0, 0.1)
EMPTY = Lattice(0, 3, 2.0, 0.0)


class Raises:
    def __index__(self):
        raise LookupError("from __index__")

    def __float__(self):
        raise LookupError("from __float__")


class CallsUpdate:
    """Converting it tries an update of LAT, which a reading call's borrow refuses."""

    def __index__(self):
        LAT.simulation_step()
        return 0


class PanicsInside:
    """A stop raised in Python code during a conversion, which the module turns back into a stop."""

    def __index__(self):
        LAT.flat_to_idx(10**6)
        return 0


SUCCESS = {
    "flat_to_idx": lambda: LAT.flat_to_idx(7),
    "idx_to_flat keywords": lambda: LAT.idx_to_flat(col=2, row=3),
    "get_nearest_neighbors": lambda: LAT.get_nearest_neighbors(29),
    "get_energy_diff_from_flip": lambda: LAT.get_energy_diff_from_flip(Index(4)),
    "observables": lambda: (LAT.get_energy(), LAT.get_total_magnetization(), LAT.average_magnetization()),
    "as_array": LAT.as_array,
    "repr": lambda: repr(LAT),
    "getters": lambda: (LAT.width, LAT.height, LAT.temperature, LAT.h_z),
    "setters": lambda: (setattr(LAT, "temperature", 2), setattr(LAT, "h_z", 0.1)),
    "updates": lambda: (LAT.simulation_step(), LAT.wolff_step()),
    "runs in one call": lambda: (LAT.simulation_steps(3), LAT.wolff_steps(2)),
    "spins out and in": lambda: (LAT.set_spins(LAT.as_bytes()), LAT.set_spins(LAT.as_array())),
    "construct and drop": lambda: Lattice(4, 4, 2.0, 0.0),
}

FAILURES = {
    # Binding errors, with and without building a message list.
    "too many positional": (lambda: LAT.idx_to_flat(1, 2, 3), TypeError),
    "unexpected keyword": (lambda: LAT.flat_to_idx(0, column=1), TypeError),
    "multiple values": (lambda: LAT.idx_to_flat(1, row=1), TypeError),
    "missing arguments": (lambda: Lattice(3, height=3), TypeError),
    "no arguments allowed": (lambda: LAT.get_energy(1), TypeError),
    # Conversion errors, each with its note.
    "float as index": (lambda: LAT.flat_to_idx(1.0), TypeError),
    "negative index": (lambda: LAT.idx_to_flat(0, -1), OverflowError),
    "index raises": (lambda: LAT.get_nearest_neighbors(Raises()), LookupError),
    "str temperature": (lambda: Lattice(2, 2, "hot", 0.0), TypeError),
    "huge width": (lambda: Lattice(2**64, 1, 1.0, 0.0), OverflowError),
    # Stops.
    "out of bounds": (lambda: LAT.flat_to_idx(30), PanicException),
    "energy diff out of bounds": (lambda: LAT.get_energy_diff_from_flip(30), PanicException),
    "update of empty lattice": (EMPTY.wolff_step, PanicException),
    "run on an empty lattice, with its note": (lambda: EMPTY.simulation_steps(2), PanicException),
    # Spins refused.
    "spins of the wrong count": (lambda: LAT.set_spins([1] * 29), ValueError),
    "a bad spin in a buffer": (lambda: LAT.set_spins(bytes(30)), ValueError),
    "a float among the spins": (lambda: LAT.set_spins([1.0] * 30), TypeError),
    "spins that are no sequence": (lambda: LAT.set_spins({1}), TypeError),
    "capacity overflow": (lambda: Lattice(2**32, 2**31, 1.0, 0.0), PanicException),
    # Borrow errors, reaching the caller with a note.
    "borrow refused in conversion": (lambda: LAT.idx_to_flat(CallsUpdate(), 0), RuntimeError),
    # Setter errors.
    "setter str": (lambda: setattr(LAT, "h_z", "strong"), TypeError),
    "setter raises": (lambda: setattr(LAT, "temperature", Raises()), LookupError),
    "delete property": (lambda: delattr(LAT, "temperature"), AttributeError),
    "assign read-only": (lambda: setattr(LAT, "width", 3), AttributeError),
}


@pytest.mark.parametrize("name", SUCCESS)
def test_success_is_flat(name):
    assert_flat(SUCCESS[name])


@pytest.mark.parametrize("name", FAILURES)
def test_error_path_is_flat(name):
    op, expected = FAILURES[name]
    assert_flat(op, expected)


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_stop_from_python_code_is_flat():
    # Each one writes a notice and a traceback, which are thrown away here.
    with contextlib.redirect_stderr(Discard()):
        assert_flat(lambda: LAT.flat_to_idx(PanicsInside()), PanicException, count=20_000)


def test_many_small_lattices_are_freed():
    def batch():
        lattices = [Lattice(8, 8, 2.0, 0.0) for _ in range(10_000)]
        for lat in lattices[::100]:
            lat.wolff_step()
    assert_flat(batch, count=20)


def test_a_big_lattice_gives_its_memory_back():
    gc.collect()
    before = rss()
    lat = Lattice(4096, 4096, 2.0, 0.0)  # 16 MiB of spins
    assert rss() - before > 12 << 20
    del lat
    gc.collect()
    assert rss() - before < 2 << 20


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_failing_calls_release_their_arguments():
    # Objects that only these calls reference: a leaked reference shows in their counts.
    bad_index, raises, huge, wide = object(), Raises(), Index(2**64), Index(2**32)
    name = "".join(["col", "umn"])  # an unexpected keyword name, not interned
    text = "".join(["ho", "t"])
    watched = [bad_index, raises, huge, wide, name, text, Lattice]
    before = refcounts(watched)
    for _ in range(1000):
        for op, expected in [
            (lambda: LAT.flat_to_idx(bad_index), TypeError),
            (lambda: LAT.idx_to_flat(0, raises), LookupError),
            (lambda: LAT.idx_to_flat(row=huge, col=0), OverflowError),
            (lambda: LAT.get_nearest_neighbors(**{"flat_idx": 0, name: bad_index}), TypeError),
            (lambda: LAT.idx_to_flat(bad_index, row=text), TypeError),
            (lambda: Lattice(huge, 1, 1.0, 0.0), OverflowError),
            (lambda: Lattice(1, 1, text, 0.0), TypeError),
            (lambda: Lattice(1, 1, 1.0, h_z=raises), LookupError),
            (lambda: Lattice(1, 1, 1.0, 0.0, bad_index), TypeError),
            (lambda: Lattice(wide, 2**31, 1.0, 0.0), PanicException),
            (lambda: setattr(LAT, "temperature", text), TypeError),
            (lambda: setattr(LAT, "h_z", raises), LookupError),
            (lambda: LAT.flat_to_idx(Index(99)), PanicException),
        ]:
            try:
                op()
            except expected:
                pass
    gc.collect()
    assert refcounts(watched) == before


def test_successful_calls_release_their_arguments():
    index, value = Index(3), Index(1)
    lat = Lattice(3, 3, 1.0, 0.0)
    watched = [index, value, Lattice]
    before = refcounts(watched)
    for _ in range(1000):
        lat.flat_to_idx(index)
        lat.idx_to_flat(row=index.value - 1, col=value)
        lat.temperature = value
        Lattice(index, value, 1.0, value)
    assert refcounts(watched) == before
