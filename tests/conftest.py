"""Helpers that several test files share: the PanicException class, what a call
raised, an index-like argument, the neighbours by definition, the generator's
position in a repr, whether the sanitizer is loaded, the check that a lattice came
through sound, child interpreters that import these helpers, threads, and the skips
of tests that need what only some systems have. Importing it gives Ctrl-C back to a
runner started with SIGINT ignored, and checks that a test run of an installed wheel
really imports that wheel."""

import os
import re
import signal
import sys
import threading

import pytest

import shim
import spinlattice
from spinlattice import Lattice

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# A wheel's test run must exercise the installed module, not a build tree's.
_installed_in = os.environ.get("SPINLATTICE_EXPECT_INSTALLED_IN")
if _installed_in and not os.path.realpath(spinlattice.__file__).startswith(os.path.realpath(_installed_in) + os.sep):
    raise ImportError(f"spinlattice came from {spinlattice.__file__}, not from the venv {_installed_in}")

# Ctrl-C tests need SIGINT to raise KeyboardInterrupt here and in the interpreters the
# tests start; a runner launched as a background job inherits SIGINT ignored.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def outcome(call):
    """(result, None) when `call` returns, (None, exception) when it raises anything."""
    try:
        return call(), None
    except BaseException as exc:  # noqa: BLE001 - stops are BaseExceptions; every exception is examined
        return None, exc


def caught(call):
    """The exception that `call` raises, whatever its base class."""
    _, exc = outcome(call)
    if exc is None:
        raise AssertionError("no exception raised")
    return exc


def expect(exc_type, message, call):
    """The exception `call` raises, checked to be exactly of exc_type with this text."""
    exc = caught(call)
    assert type(exc) is exc_type, repr(exc)
    assert str(exc) == message
    return exc


PanicException = type(caught(lambda: Lattice(0, 0, 1.0, 0.0).flat_to_idx(0)))  # not exported by the module


class Index:
    """An integer argument through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def wrapped_neighbours(w, h, k):
    """The definition: left, up, right, down of site k, Python's floor modulo doing the wrapping."""
    row, col = divmod(k, w)
    return [row * w + (col - 1) % w, ((row - 1) % h) * w + col,
            row * w + (col + 1) % w, ((row + 1) % h) * w + col]


def generator_index(text):
    """The generator's position, 1..64, that a lattice's repr text ends with."""
    return int(re.search(r"index: (\d+) \} \}\) \}$", text).group(1))


def under_asan():
    if not os.path.exists("/proc/self/maps"):
        return False  # the sanitized build is made on Linux only
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Seeded child interpreters (seeded.py) need the seed stand-in, which some systems lack.
needs_seed_stand_in = pytest.mark.skipif(shim.unavailable() is not None, reason=str(shim.unavailable()))


def linux_only(needs):
    """Skips a test elsewhere: it `needs` something only Linux has."""
    return pytest.mark.skipif(not sys.platform.startswith("linux"), reason=f"needs {needs} (Linux only)")


def assert_sound(lat):
    """Spins are +-1, the magnetisation is their sum, and no borrow was left behind."""
    spins = lat.as_array()
    assert len(spins) == lat.width * lat.height and set(spins) <= {1, -1}
    assert lat.get_total_magnetization() == sum(spins)
    lat.temperature = 1.25
    lat.h_z = 0.0
    if spins:
        lat.simulation_step()
        lat.wolff_step()
    assert lat.temperature == 1.25


def with_test_helpers(env):
    """A copy of the environment `env` in which a child interpreter imports the helpers here."""
    return dict(env, PYTHONPATH=os.pathsep.join([TESTS_DIR, *filter(None, [env.get("PYTHONPATH")])]))


BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def run_threads(targets, timeout=30):
    errors = []

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - reported to the main thread
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "a thread is stuck"
    if errors:
        raise errors[0]


def uniform_lattice(side):
    """A lattice of one spin value at temperature +0.0, where the bond probability
    is 1: every wolff_step then negates the whole lattice."""
    lat = Lattice(side, side, 0.0, 0.0)
    n = side * side
    for _ in range(10_000):
        if abs(lat.get_total_magnetization()) == n:
            return lat
        lat.wolff_step()
    raise AssertionError("the lattice never became uniform")
