"""Every callable at once from several threads, on one shared lattice and on
each thread's own, for a fixed time (`make tsan` runs this under
ThreadSanitizer).

The lattices are uniform at temperature +0.0 without a field: Metropolis then
flips nothing, every Wolff step negates all spins, and set_spins sets them all
to one value, so each read has one right answer. A shared lattice may refuse a call but is never seen torn; a
private one is never refused, and its sign follows its own Wolff steps only.
"""

import random
import re
import time

from conftest import BORROW_ERRORS, PanicException, assert_sound, run_threads, uniform_lattice
from spinlattice import Lattice

# Large enough that updates and full reads of the shared lattice overlap in time.
SIDE = 32
N = SIDE * SIDE
THREADS = 4
SECONDS = 3.0
OWN_SHARE = 0.25  # of the calls go to the thread's own lattice


def sites_in_repr(lat):
    text = repr(lat)
    assert text.startswith(f"Lattice {{ width: {SIDE}, height: {SIDE}, sites: [")
    return {int(s) for s in re.search(r"sites: \[([^]]*)\]", text).group(1).split(", ")}


def assert_equal(got, expected):
    assert got == expected, (got, expected)
    return got


def expect_error(kind, call):
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{kind.__name__} not raised")


class Caller:
    """One thread's calls on one lattice, each checking its answer. `sign` is
    the spin the lattice holds, or None when other threads may flip it."""

    def __init__(self, lat, sign, rng, expected):
        self.lat, self.sign = lat, sign
        flip_cost, neighbours = expected

        def site():
            k = rng.randrange(N)
            return k, *divmod(k, SIDE)

        def uniform(values):
            assert len(values) == 1 and values <= {1, -1}, f"a mixed lattice: {values}"
            assert self.sign in (None, *values), "another thread flipped a private lattice"

        def wolff():
            lat.wolff_step()
            if self.sign is not None:
                self.sign = -self.sign

        def wolff_run():
            count = rng.randrange(1, 4)
            assert_equal(lat.wolff_steps(count), count * N)  # each update negates the whole lattice
            if self.sign is not None and count % 2:
                self.sign = -self.sign

        def set_spins():
            sign = rng.choice([1, -1])
            lat.set_spins(bytes([sign & 0xFF]) * N)
            if self.sign is not None:
                self.sign = sign

        def geometry(check):
            return lambda: check(*site())

        self.calls = {
            "__new__": lambda: Lattice(3, 2, 1.5, 0.1).simulation_step(),
            "__repr__": lambda: uniform(sites_in_repr(lat)),
            "as_array": lambda: uniform(set(lat.as_array())),
            "get_total_magnetization": lambda: uniform({lat.get_total_magnetization() / N}),
            "average_magnetization": lambda: uniform({lat.average_magnetization()}),
            "get_energy": lambda: assert_equal(lat.get_energy(), -2.0 * N),
            "get_energy_diff_from_flip": lambda: assert_equal(
                lat.get_energy_diff_from_flip(rng.randrange(N)), flip_cost),
            "flat_to_idx": geometry(lambda k, row, col: assert_equal(lat.flat_to_idx(k), [row, col])),
            "idx_to_flat": geometry(lambda k, row, col: assert_equal(lat.idx_to_flat(row, col=col), k)),
            "get_nearest_neighbors": geometry(
                lambda k, row, col: assert_equal(lat.get_nearest_neighbors(k), neighbours[k])),
            "width": lambda: assert_equal(lat.width, SIDE),
            "height": lambda: assert_equal(lat.height, SIDE),
            "temperature": lambda: setattr(lat, "temperature", assert_equal(lat.temperature, 0.0)),
            "h_z": lambda: setattr(lat, "h_z", assert_equal(lat.h_z, 0.0)),
            "simulation_step": lat.simulation_step,
            "wolff_step": wolff,
            "simulation_steps": lambda: assert_equal(lat.simulation_steps(rng.randrange(5000)), 0),
            "wolff_steps": wolff_run,
            "as_bytes": lambda: uniform({1 if b == 1 else -1 for b in lat.as_bytes()}),
            "set_spins": set_spins,
            "stop": lambda: expect_error(PanicException, lambda: lat.flat_to_idx(N)),
            "argument error": lambda: expect_error(OverflowError, lambda: lat.idx_to_flat(-1, 0)),
        }


def test_every_callable_on_shared_and_private_lattices_at_once():
    shared_lat = uniform_lattice(SIDE)
    expected = shared_lat.get_energy_diff_from_flip(0), [shared_lat.get_nearest_neighbors(k) for k in range(N)]
    names = sorted(Caller(shared_lat, None, random.Random(), expected).calls)
    assert {n for n in dir(Lattice) if not n.startswith("_")} <= set(names), "a callable is left out"
    deadline = time.monotonic() + SECONDS
    done_shared = set()

    def worker(seed):
        rng = random.Random(seed)
        own_lat = uniform_lattice(SIDE)
        own = Caller(own_lat, own_lat.as_array()[0], rng, expected)
        shared = Caller(shared_lat, None, rng, expected)
        while time.monotonic() < deadline:
            name = rng.choice(names)
            if rng.random() < OWN_SHARE:
                own.calls[name]()
                continue
            try:
                shared.calls[name]()
            except RuntimeError as e:
                assert str(e) in BORROW_ERRORS, e
            else:
                done_shared.add(name)
        assert_equal(own_lat.as_array(), [own.sign] * N)
        assert_sound(own_lat)

    run_threads([lambda s=s: worker(s) for s in range(THREADS)], timeout=SECONDS + 60)
    assert done_shared == set(names), f"never completed on the shared lattice: {set(names) - done_shared}"
    assert len(set(shared_lat.as_array())) == 1
    assert_sound(shared_lat)
