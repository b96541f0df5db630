"""Geometry of the periodic rectangle as Python sees it: positions, indices and
neighbours of every site, and the stops outside the lattice."""

import pytest

from conftest import PanicException, expect, wrapped_neighbours
from spinlattice import Lattice


def out_of_bounds(call):
    expect(PanicException, "Accessing out of bounds!", call)


SHAPES = [(1, 1), (1, 2), (2, 1), (1, 5), (5, 1), (2, 2), (3, 3), (4, 2), (2, 4), (3, 2), (2, 3),
          (5, 3), (3, 7), (7, 1), (1, 7), (6, 5)]


@pytest.mark.parametrize("w, h", SHAPES, ids=[f"{w}x{h}" for w, h in SHAPES])
def test_geometry_of_every_site(w, h):
    lattice = Lattice(w, h, 1.0, 0.0)
    n = w * h
    for k in range(n):
        row, col = divmod(k, w)
        assert lattice.flat_to_idx(k) == [row, col]
        assert lattice.idx_to_flat(row, col) == k
        assert lattice.get_nearest_neighbors(k) == wrapped_neighbours(w, h, k), k
    for call in (lambda: lattice.flat_to_idx(n), lambda: lattice.get_nearest_neighbors(n),
                 lambda: lattice.flat_to_idx(n + w), lambda: lattice.get_nearest_neighbors(2**64 - 1),
                 lambda: lattice.idx_to_flat(h, 0), lambda: lattice.idx_to_flat(0, w),
                 lambda: lattice.idx_to_flat(h - 1, w), lambda: lattice.idx_to_flat(2**64 - 1, 0)):
        out_of_bounds(call)


@pytest.mark.parametrize("w, h, k, neighbours", [
    (1, 1, 0, [0, 0, 0, 0]),
    (3, 3, 0, [2, 6, 1, 3]),
    (3, 3, 4, [3, 1, 5, 7]),
    (3, 3, 8, [7, 5, 6, 2]),
    (4, 2, 5, [4, 1, 6, 1]),   # up and down coincide
    (2, 2, 0, [1, 2, 1, 2]),
    (1, 3, 1, [1, 0, 1, 2]),   # left and right are the site itself
    (5, 1, 4, [3, 4, 0, 4]),   # up and down are the site itself
])
def test_neighbour_examples(w, h, k, neighbours):
    assert Lattice(w, h, 1.0, 0.0).get_nearest_neighbors(k) == neighbours


def test_index_examples():
    assert Lattice(3, 3, 1.0, 0.0).flat_to_idx(7) == [2, 1]
    assert Lattice(3, 3, 1.0, 0.0).idx_to_flat(2, 1) == 7
    assert Lattice(3, 2, 1.0, 0.0).flat_to_idx(5) == [1, 2]  # row = index // width
    assert Lattice(2, 3, 1.0, 0.0).idx_to_flat(2, 1) == 5


EMPTY = [(0, 0), (0, 7), (7, 0), (0, 2**64 - 1), (2**64 - 1, 0), (2**63, 0)]


@pytest.mark.parametrize("w, h", EMPTY, ids=[f"{w}x{h}" for w, h in EMPTY])
def test_empty_lattices(w, h):
    lattice = Lattice(w, h, 1.0, 0.0)
    assert (lattice.width, lattice.height) == (w, h)
    assert lattice.as_array() == []
    for call in (lambda: lattice.flat_to_idx(0), lambda: lattice.get_nearest_neighbors(0),
                 lambda: lattice.idx_to_flat(0, 0)):
        out_of_bounds(call)
    assert repr(lattice).startswith(f"Lattice {{ width: {w}, height: {h}, sites: [], ")
