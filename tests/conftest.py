"""Helpers that several test files share: the PanicException class, whether the
sanitizer is loaded, and the check that a lattice came through sound."""

import os

import spinlattice
from spinlattice import Lattice

# A wheel's test run must exercise the installed module, not a build tree's.
_installed_in = os.environ.get("SPINLATTICE_EXPECT_INSTALLED_IN")
if _installed_in and not os.path.realpath(spinlattice.__file__).startswith(os.path.realpath(_installed_in) + os.sep):
    raise ImportError(f"spinlattice came from {spinlattice.__file__}, not from the venv {_installed_in}")


def panic_exception_type():
    """The class of stops: not exported by the module, so taken from a caught one."""
    try:
        Lattice(0, 0, 1.0, 0.0).flat_to_idx(0)
    except BaseException as e:  # noqa: BLE001 - this is how the class is reached
        return type(e)
    raise AssertionError("an out-of-bounds index did not stop")


PanicException = panic_exception_type()


def under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


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
