"""Two-dimensional Ising model on a periodic rectangle of +1/-1 spins.

Failures inside the native code (an index outside the lattice, an update of an
empty lattice, an oversized lattice, no entropy for the seed) raise
``PanicException``. It derives from ``BaseException``, not ``Exception``, and
is not importable from this module: catch ``BaseException`` to handle it.
Calling into a lattice while another call on the same lattice is still running
(from another thread, or re-entrantly from an argument's ``__index__``) raises
``RuntimeError`` at once instead of waiting.
"""

from typing import final

__all__ = ["Lattice"]

@final
class Lattice:
    """A ``width`` x ``height`` lattice of spins (+1 or -1) with periodic boundaries.

    Sites are numbered row-major: site index = row * width + col, row 0 first.
    The coupling between nearest neighbours is 1 and ``h_z`` is the external
    field; the temperature is in units of the coupling (Boltzmann's constant 1).
    Each lattice has its own random generator, seeded from the operating system,
    so runs are not reproducible.
    """

    def __new__(cls, /, width: int, height: int, temperature: float, h_z: float) -> Lattice:
        """Build a lattice with every spin drawn independently as +1 or -1.

        Sizes and parameters are not validated: zero sizes give an empty
        lattice, and any float is accepted for ``temperature`` and ``h_z``.
        A negative size raises ``OverflowError``; ``width * height >= 2**63``
        raises ``PanicException``.
        """

    def __repr__(self, /) -> str:
        """All fields, spins and the generator's position, on one line."""

    def flat_to_idx(self, /, flat_idx: int) -> list[int]:
        """Return ``[row, col]`` of a site index; ``PanicException`` if outside."""

    def idx_to_flat(self, /, row: int, col: int) -> int:
        """Return the site index ``row * width + col``; ``PanicException`` if outside."""

    def get_nearest_neighbors(self, /, flat_idx: int) -> list[int]:
        """Return the four periodic neighbours of a site as site indices.

        The order is left, up, right, down; entries repeat on lattices one or
        two sites wide or high. ``PanicException`` if the site is outside.
        """

    def get_energy(self, /) -> float:
        """Total energy: -sum over bonds of s_i * s_j - h_z * sum of s_i.

        Each nearest-neighbour bond is counted once. An empty lattice gives 0.0.
        """

    def get_energy_diff_from_flip(self, /, flat_idx: int) -> float:
        """Energy change if the site's spin s were flipped: 2 * s * (neighbour sum + h_z).

        The lattice is not changed. ``PanicException`` if the site is outside.
        """

    def simulation_step(self, /) -> None:
        """One Metropolis update: pick one random site and flip it with probability
        min(1, exp(-dE / temperature)).

        This is a single attempted flip, not a sweep: call it ``width * height``
        times for one sweep. ``PanicException`` on an empty lattice.
        """

    def wolff_step(self, /) -> None:
        """One Wolff cluster update: grow one cluster of equal spins from a random
        site, adding each bond with probability 1 - exp(-2 / temperature), and
        flip it.

        ``h_z`` takes no part in this update. ``PanicException`` on an empty lattice.
        """

    def get_total_magnetization(self, /) -> float:
        """Sum of all spins, as a float (-0.0 for an empty lattice)."""

    def average_magnetization(self, /) -> float:
        """Sum of all spins divided by ``width * height``, in [-1, 1] (NaN if empty)."""

    def as_array(self, /) -> list[int]:
        """A copy of the spins (+1 or -1) in site-index order (row-major)."""

    @property
    def width(self, /) -> int:
        """Number of columns (read-only)."""

    @property
    def height(self, /) -> int:
        """Number of rows (read-only)."""

    @property
    def temperature(self, /) -> float:
        """Temperature of the updates; any float is accepted and stored unchanged."""

    @temperature.setter
    def temperature(self, /, value: float) -> None: ...
    @property
    def h_z(self, /) -> float:
        """External field along the spin axis; any float is accepted and stored unchanged."""

    @h_z.setter
    def h_z(self, /, value: float) -> None: ...
