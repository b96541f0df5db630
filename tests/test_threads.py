"""Several threads on one lattice, and on separate ones.

The borrow flag is the only arbitration: a conflicting call fails at once with
one of the two borrow errors and never waits. With the interpreter lock, calls
only overlap where Python code runs inside a call (an argument's __index__ or
__float__), so the tests make that code yield or block to force the overlap.
"""

import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import BORROW_ERRORS, assert_sound, run_threads, uniform_lattice
from spinlattice import Lattice

class Yielding:
    """An index whose conversion lets other threads run while the call holds its borrow."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class YieldingFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_hammering_one_lattice(fast_switching):
    lat = Lattice(8, 8, 2.3, 0.1)
    n = 64
    refused = []
    done = []

    def worker(seed):
        rng = random.Random(seed)
        ops = [
            lambda: lat.simulation_step(),
            lambda: lat.wolff_step(),
            lambda: setattr(lat, "temperature", YieldingFloat(rng.choice([1.5, 2.3, 3.0]))),
            lambda: setattr(lat, "h_z", rng.choice([0.0, 0.1, -0.1])),
            lambda: lat.as_array(),
            lambda: repr(lat),
            lambda: lat.get_energy(),
            lambda: lat.get_total_magnetization(),
            lambda: lat.flat_to_idx(Yielding(rng.randrange(n))),
            lambda: lat.idx_to_flat(Yielding(rng.randrange(8)), col=Yielding(rng.randrange(8))),
            lambda: lat.get_nearest_neighbors(rng.randrange(n)),
            lambda: lat.get_energy_diff_from_flip(Yielding(rng.randrange(n))),
            lambda: (lat.width, lat.height, lat.temperature, lat.h_z),
        ]
        ok = 0
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            try:
                rng.choice(ops)()
                ok += 1
            except RuntimeError as e:
                assert str(e) in BORROW_ERRORS, e
                refused.append(str(e))
        done.append(ok)

    run_threads([lambda s=s: worker(s) for s in range(4)])
    assert len(done) == 4 and all(done)
    assert refused, "the threads never overlapped inside a call"
    assert_sound(lat)


def test_threads_on_separate_lattices_never_conflict(fast_switching):
    results = {}

    def worker(k):
        lat = Lattice(6 + k, 5, 1.5 + 0.25 * k, 0.0)
        for i in range(2000):
            lat.simulation_step()
            if i % 50 == 0:
                lat.wolff_step()
                lat.temperature = YieldingFloat(1.5 + 0.25 * k)
                lat.get_energy_diff_from_flip(Yielding(i % (lat.width * 5)))
        assert_sound(lat)
        results[k] = lat.get_energy()

    run_threads([lambda k=k: worker(k) for k in range(4)])
    assert sorted(results) == [0, 1, 2, 3]


class Blocking:
    """Converts only when released: holds the calling thread inside the conversion."""

    def __init__(self, value):
        self.value = value
        self.entered = threading.Event()
        self.release = threading.Event()

    def wait(self):
        self.entered.set()
        assert self.release.wait(10)
        return self.value

    __index__ = wait

    def __float__(self):
        return float(self.wait())


def blocked_in(call, blocker):
    """Starts call on a thread and returns (thread, result box) once it blocks in blocker."""
    box = {}

    def run():
        try:
            box["result"] = call()
        except BaseException as e:  # noqa: BLE001 - examined by the test
            box["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    assert blocker.entered.wait(10)
    return thread, box


def test_a_reader_blocked_in_conversion_holds_its_shared_borrow():
    lat = Lattice(4, 3, 2.0, 0.0)
    before = repr(lat)
    blocker = Blocking(2)
    thread, box = blocked_in(lambda: lat.idx_to_flat(blocker, 1), blocker)
    try:
        # Updates and setters are refused at once, and nothing changes.
        for refused in (lat.simulation_step, lat.wolff_step,
                        lambda: setattr(lat, "temperature", 1.0),
                        lambda: setattr(lat, "h_z", 0.5)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                refused()
        # Readers share the borrow.
        assert repr(lat) == before
        assert lat.flat_to_idx(5) == [1, 1]
        assert len(lat.as_array()) == 12
        second = Blocking(3)
        other, other_box = blocked_in(lambda: lat.flat_to_idx(second), second)
        second.release.set()
        other.join(10)
        assert other_box == {"result": [0, 3]}
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            lat.simulation_step()  # the first reader still holds its borrow
    finally:
        blocker.release.set()
        thread.join(10)
    assert box == {"result": 2 * 4 + 1}
    assert repr(lat) == before
    assert_sound(lat)


def test_a_failing_blocked_reader_releases_its_borrow():
    lat = Lattice(3, 3, 2.0, 0.0)
    blocker = Blocking(-1)  # converts, then fails the range check
    thread, box = blocked_in(lambda: lat.get_energy_diff_from_flip(blocker), blocker)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lat.wolff_step()
    blocker.release.set()
    thread.join(10)
    assert type(box["error"]) is OverflowError
    assert box["error"].__notes__ == ["while processing 'flat_idx'"]
    assert_sound(lat)


def test_a_setter_converts_before_it_borrows():
    lat = Lattice(4, 4, 2.0, 0.0)
    blocker = Blocking(0.75)
    thread, box = blocked_in(lambda: setattr(lat, "temperature", blocker), blocker)
    try:
        # Nothing is borrowed while the value converts: everything works meanwhile.
        lat.simulation_step()
        lat.wolff_step()
        lat.temperature = 3.0
        lat.h_z = 0.25
        assert lat.temperature == 3.0
    finally:
        blocker.release.set()
        thread.join(10)
    assert box == {"result": None}
    assert lat.temperature == 0.75 and lat.h_z == 0.25
    assert_sound(lat)


def test_the_constructor_borrows_nothing():
    lat = Lattice(2, 2, 2.0, 0.0)
    blocker = Blocking(3)
    thread, box = blocked_in(lambda: Lattice(blocker, 2, 1.0, 0.0), blocker)
    try:
        lat.simulation_step()
        lat.temperature = 1.0
    finally:
        blocker.release.set()
        thread.join(10)
    made = box["result"]
    assert (made.width, made.height) == (3, 2)
    assert_sound(made)


def test_concurrent_first_stops_share_one_exception_class():
    # In a fresh interpreter, so that the first stop of the process happens here.
    code = textwrap.dedent("""
        import threading
        from spinlattice import Lattice
        lattices = [Lattice(0, 0, 1.0, 0.0) for _ in range(8)]
        start = threading.Barrier(8)
        types = []
        def stop(lat):
            start.wait()
            try:
                lat.wolff_step()
            except BaseException as e:
                types.append((type(e), str(e)))
        threads = [threading.Thread(target=stop, args=(l,)) for l in lattices]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(types) == 8, types
        assert len({id(t) for t, _ in types}) == 1, types
        assert types[0][0].__name__ == "PanicException", types
        assert {m for _, m in types} == {"cannot sample empty range"}, types
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()


def test_readers_never_see_a_half_flipped_lattice():
    side = 48
    n = side * side
    lat = uniform_lattice(side)
    deadline = time.monotonic() + 1.5
    refusals = []
    seen = []

    def writer():
        flips = 0
        while time.monotonic() < deadline:
            try:
                lat.wolff_step()
                flips += 1
            except RuntimeError as e:
                assert str(e) in BORROW_ERRORS, e
                refusals.append(str(e))
        assert flips

    def reader():
        reads = 0
        while time.monotonic() < deadline:
            try:
                spins = set(lat.as_array())
                energy = lat.get_energy()
                magnetization = lat.get_total_magnetization()
            except RuntimeError as e:
                assert str(e) in BORROW_ERRORS, e
                refusals.append(str(e))
                continue
            assert len(spins) == 1, "a reader saw a mixed lattice"
            assert energy == -2 * n
            assert abs(magnetization) == n
            reads += 1
        seen.append(reads)

    run_threads([writer, writer, reader, reader])
    assert len(seen) == 2 and all(seen)
    assert abs(lat.get_total_magnetization()) == n and lat.get_energy() == -2 * n
    if FREE_THREADED:
        assert "Already mutably borrowed" in refusals, "readers never met a running update"


@pytest.mark.skipif(not FREE_THREADED, reason="needs calls that overlap without the interpreter lock")
def test_a_read_during_an_update_on_another_thread_is_refused():
    lat = uniform_lattice(128)
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            try:
                lat.wolff_step()
            except RuntimeError as e:
                assert str(e) == "Already borrowed"

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                lat.get_energy()
            except RuntimeError as e:
                assert str(e) == "Already mutably borrowed"
                break
        else:
            pytest.fail("no read overlapped an update in 10 s")
    finally:
        stop.set()
        thread.join(10)
    assert_sound(lat)


def test_runs_and_set_spins_race_on_one_lattice_and_run_apart_on_two():
    """Runs in one call let go of the interpreter: another thread's call on the
    same lattice meets the held borrow, one on its own lattice runs meanwhile."""
    shared = Lattice(48, 48, 2.269, 0.0)
    n = 48 * 48
    refused, made = [], []

    def runner(k):
        own = Lattice(40, 40, 2.0 + k, 0.0)
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            for call in (lambda: shared.simulation_steps(20_000), lambda: shared.wolff_steps(20),
                         lambda: shared.set_spins(bytes([1, 0xFF]) * (n // 2)),
                         lambda: shared.set_spins([1] * n), shared.as_bytes):
                try:
                    call()
                except RuntimeError as e:
                    assert str(e) in BORROW_ERRORS, e
                    refused.append(e)
            made.append(own.simulation_steps(20_000) + own.wolff_steps(5))
        assert_sound(own)

    run_threads([lambda k=k: runner(k) for k in range(2)])
    assert refused, "the two threads never overlapped inside a call"
    assert made
    assert_sound(shared)
