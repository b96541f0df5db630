"""The spin field as Python sees it, and the observables against independent
evaluations over that field."""

import pytest

from conftest import wrapped_neighbours
from spinlattice import Lattice


def test_as_array_is_a_fresh_copy():
    lattice = Lattice(6, 5, 1.0, 0.0)
    first = lattice.as_array()
    assert len(first) == 30 and all(type(s) is int and s in (1, -1) for s in first)
    second = lattice.as_array()
    assert second == first and second is not first
    second[0] = 99
    second.append(5)
    assert lattice.as_array() == first
    snapshot = list(first)
    lattice.wolff_step()  # flips at least one site
    assert lattice.as_array() != snapshot
    assert first == snapshot  # an update doesn't reach a list already returned


def expected_energy(spins, w, h, h_z):
    total = 0.0
    for i, spin in enumerate(spins):
        s = float(spin)
        left, up, right, down = (float(spins[j]) for j in wrapped_neighbours(w, h, i))
        nb = ((left + up) + right) + down
        total = total + ((nb * s) * -0.5 - s * h_z)
    return total


ENERGY_SHAPES = [(1, 1), (1, 4), (4, 1), (2, 2), (3, 3), (4, 2), (5, 3), (7, 6), (16, 16), (40, 25)]


@pytest.mark.parametrize("w, h", ENERGY_SHAPES, ids=[f"{w}x{h}" for w, h in ENERGY_SHAPES])
@pytest.mark.parametrize("h_z", [0.0, 0.3, -1.7, 1e-3, 2.0 / 3.0, 1e17])
def test_observables_agree_with_the_spin_field(w, h, h_z):
    lattice = Lattice(w, h, 2.27, h_z)
    for _ in range(3):
        spins = lattice.as_array()
        assert len(spins) == w * h
        total = float(sum(spins))
        assert lattice.get_total_magnetization() == total
        assert lattice.average_magnetization() == total / (w * h)
        assert lattice.get_energy() == expected_energy(spins, w, h, h_z)
        lattice.wolff_step()
