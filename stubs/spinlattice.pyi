"""Two-dimensional Ising model on a periodic rectangle of +1/-1 spins.

Failures inside the native code (an index outside the lattice, an update of an
empty lattice, an oversized lattice, no entropy for the seed) raise
``PanicException``. It derives from ``BaseException``, not ``Exception``, and
is not importable from this module: catch ``BaseException`` to handle it.
Calling into a lattice while another call on the same lattice is still running
(from another thread, or re-entrantly from an argument's ``__index__``) raises
``RuntimeError`` at once instead of waiting.

Every random decision draws from the lattice's own ChaCha12 generator, in the
order each method states: an *index draw* (a uniform site index, one to four
keystream words), a *unit draw* (a uniform float in [0, 1), two words) and a
*coin draw* (a fair +1/-1, two words). A call that raises before its operation
starts (a wrong argument, a refused borrow) draws nothing and changes nothing;
running out of memory raises ``MemoryError`` and leaves the lattice usable.

The module does not need the GIL. Reading calls (properties, ``repr``,
``as_array``, the geometry and the observables) share a lattice; updates and
setters need it alone, and a call that meets a conflicting one raises
``RuntimeError`` instead of waiting: "Already mutably borrowed" for a read
during an update, "Already borrowed" for an update or a setter during any
other call. Give each thread its own lattices.
"""

from collections.abc import Sequence
from typing import final

from typing_extensions import Buffer

__all__ = ["Lattice"]

@final
class Lattice:
    """A ``width`` x ``height`` lattice of spins (+1 or -1) with periodic boundaries.

    Sites are numbered row-major: site index = row * width + col, row 0 first.
    The coupling between nearest neighbours is 1 and ``h_z`` is the external
    field; the temperature is in units of the coupling (Boltzmann's constant 1).
    Each lattice has its own random generator, seeded from the operating system,
    so runs are not reproducible. The class is final, its instances have no
    ``__dict__``, and they cannot be pickled or copied.
    """

    def __new__(cls, /, width: int, height: int, temperature: float, h_z: float) -> Lattice:
        """``Lattice(width, height, temperature, h_z)``: a lattice with every spin drawn
        independently as +1 or -1.

        Sizes and parameters are not validated: zero sizes give an empty
        lattice, and any float is accepted for ``temperature`` and ``h_z``
        (ints and objects with ``__float__`` are converted).

        Draws: the generator is seeded from the operating system, then one coin
        draw per site in site-index order (+1 for heads); nothing else.

        :raises TypeError: for a size without ``__index__`` or a parameter that
            is no number; the note names the argument (``while processing 'width'``).
        :raises OverflowError: for a negative size or one of ``2**64`` or more.
        :raises ~pyo3_runtime.PanicException: "capacity overflow" when
            ``width * height >= 2**63``; "from_os_rng failed: ..." when the
            operating system gives no seed.
        :raises MemoryError: when the spins do not fit in memory.
        """

    def __repr__(self, /) -> str:
        """All fields, spins and the generator's position, on one line.

        :returns: ``Lattice { width: ..., height: ..., sites: [...], temperature: ...,
            h_z: ..., rng: StdRng(...) }``; the generator shows its buffer position,
            never its key. Draws nothing; a read (see threads in the module notes).
        """

    def flat_to_idx(self, /, flat_idx: int) -> list[int]:
        """Return ``[row, col]`` of a site index.

        Draws nothing; a read.

        :raises ~pyo3_runtime.PanicException: "Accessing out of bounds!" when
            ``flat_idx >= width * height``.
        :raises TypeError: ``flat_idx`` has no ``__index__`` (a float, a str).
        :raises OverflowError: ``flat_idx`` is negative or ``2**64`` or more.
        """

    def idx_to_flat(self, /, row: int, col: int) -> int:
        """Return the site index ``row * width + col``.

        Draws nothing; a read. ``row`` is converted before ``col``, so a bad
        ``row`` is the one reported.

        :raises ~pyo3_runtime.PanicException: "Accessing out of bounds!" when
            ``row >= height`` or ``col >= width``.
        :raises TypeError: an argument has no ``__index__``.
        :raises OverflowError: an argument is negative or ``2**64`` or more.
        """

    def get_nearest_neighbors(self, /, flat_idx: int) -> list[int]:
        """Return the four periodic neighbours of a site as site indices.

        The order is left, up, right, down; entries repeat on lattices one or
        two sites wide or high. Draws nothing; a read.

        :raises ~pyo3_runtime.PanicException: "Accessing out of bounds!" when
            the site is outside the lattice.
        :raises TypeError: ``flat_idx`` has no ``__index__``.
        :raises OverflowError: ``flat_idx`` is negative or ``2**64`` or more.
        """

    def get_energy(self, /) -> float:
        """Total energy: -sum over bonds of s_i * s_j - h_z * sum of s_i.

        Each nearest-neighbour bond is counted once, summed in site-index order
        in a fixed order of operations, so the result is the same to the bit on
        every machine. An empty lattice gives 0.0; a NaN ``h_z`` gives NaN.
        Draws nothing, raises nothing but the borrow error; a read.
        """

    def get_energy_diff_from_flip(self, /, flat_idx: int) -> float:
        """Energy change if the site's spin s were flipped: 2 * s * (neighbour sum + h_z).

        The lattice is not changed. Draws nothing; a read.

        :raises ~pyo3_runtime.PanicException: "index out of bounds: the len is
            N but the index is K" when the site is outside the lattice.
        :raises TypeError: ``flat_idx`` has no ``__index__``.
        :raises OverflowError: ``flat_idx`` is negative or ``2**64`` or more.
        """

    def simulation_step(self, /) -> None:
        """One Metropolis update: pick one random site and flip it with probability
        min(1, exp(-dE / temperature)).

        This is a single attempted flip, not a sweep: call it ``width * height``
        times for one sweep.

        Draws: one index draw for the site; then one unit draw u only when dE is
        positive or NaN, and the site flips when u < exp(-dE / temperature).
        A site with dE <= 0 flips with no second draw. An update: it needs the
        lattice alone.

        :raises ~pyo3_runtime.PanicException: "cannot sample empty range" on an
            empty lattice, before any draw.
        """

    def wolff_step(self, /) -> None:
        """One Wolff cluster update: grow one cluster of equal spins from a random
        site, adding each bond with probability 1 - exp(-2 / temperature), and
        flip it.

        ``h_z`` takes no part in this update.

        Draws: one index draw for the start site; then the cluster grows depth
        first, the last site added expanded first, each site's neighbours taken
        left, up, right, down, and each neighbour that has the cluster's spin and
        is not yet in it takes one unit draw u (it joins when u < p). A neighbour
        met again later takes a fresh draw. An update: it needs the lattice alone.

        :raises ~pyo3_runtime.PanicException: "cannot sample empty range" on an
            empty lattice, before any draw.
        """

    def get_total_magnetization(self, /) -> float:
        """Sum of all spins, as a float (-0.0 for an empty lattice). Draws nothing; a read."""

    def average_magnetization(self, /) -> float:
        """Sum of all spins divided by ``width * height``, in [-1, 1] (NaN if empty).

        Draws nothing; a read.
        """

    def as_array(self, /) -> list[int]:
        """A copy of the spins (+1 or -1) in site-index order (row-major).

        A new list on every call; draws nothing; a read.
        """

    def simulation_steps(self, /, count: int) -> int:
        """Make ``count`` Metropolis updates in one call; return how many flipped.

        Exactly ``count`` calls of :meth:`simulation_step`, the same draws in the
        same order and the same spins, without a Python call per update: the
        fast way to run sweeps (``simulation_steps(width * height)`` is one).
        ``count`` 0 draws nothing and returns 0.

        A long run lets go of the interpreter, so other threads run meanwhile,
        and checks for signals every few milliseconds: Ctrl-C raises
        ``KeyboardInterrupt`` (or whatever the signal handler raises) between
        two whole updates. The lattice is then left after its last whole update
        and stays usable, and the exception carries a note saying how many
        updates were made and what they would have returned. While the run
        lasts, any other call on this lattice (from another thread) raises
        ``RuntimeError``. ``count`` is converted before the lattice is taken.

        :raises ~pyo3_runtime.PanicException: "cannot sample empty range" on an
            empty lattice when ``count`` >= 1, before any draw.
        :raises TypeError: ``count`` has no ``__index__``.
        :raises OverflowError: ``count`` is negative or ``2**64`` or more.
        """

    def wolff_steps(self, /, count: int) -> int:
        """Make ``count`` Wolff cluster updates in one call; return the number of
        spins they flipped (the clusters' sizes added up).

        Exactly ``count`` calls of :meth:`wolff_step`, the same draws in the same
        order and the same spins. Divide the result by ``width * height`` for
        the run's length in sweeps. Long runs behave as in
        :meth:`simulation_steps`: other threads run, Ctrl-C stops them between
        whole clusters, other calls on this lattice are refused meanwhile. One
        cluster may span the whole lattice, so a check for signals can wait for
        the cluster in progress.

        :raises ~pyo3_runtime.PanicException: "cannot sample empty range" on an
            empty lattice when ``count`` >= 1, before any draw.
        :raises TypeError: ``count`` has no ``__index__``.
        :raises OverflowError: ``count`` is negative or ``2**64`` or more.
        """

    def as_bytes(self, /) -> bytes:
        """The spins as bytes: one signed byte per site in site-index order, 0x01
        for +1 and 0xff for -1.

        ``numpy.frombuffer(lattice.as_bytes(), numpy.int8).reshape(height, width)``
        is the spin field as an array, without a copy beyond this one. Draws
        nothing; a read.
        """

    def set_spins(self, /, spins: Buffer | Sequence[int]) -> None:
        """Replace every spin, in site-index order; draws nothing.

        ``spins`` holds exactly ``width * height`` values, each 1 or -1: bytes,
        bytearray, memoryview, ``array.array`` or a NumPy array of any integer
        dtype, byte order and shape (read in C order, as ``numpy.ravel`` reads
        it), or a sequence of ints. In an unsigned buffer the all-ones value of
        its width (0xff for bytes) stands for -1, so ``as_bytes()`` goes straight
        back in. The values are copied out and checked before anything changes,
        so a refused call leaves the lattice as it was, and a buffer changed by
        another thread meanwhile can't leave it half set. Setting the spins the
        lattice already has changes nothing, its generator included.

        :raises TypeError: ``spins`` is no buffer of integers (floats, bools)
            and no sequence (a str, a set, an iterator), or an item of a
            sequence is no int; the message names the item.
        :raises ValueError: the number of values is not ``width * height``, or
            a value is not 1 or -1; the message names the counts, or the item
            and its value.
        """

    @property
    def width(self, /) -> int:
        """Number of columns (read-only)."""

    @property
    def height(self, /) -> int:
        """Number of rows (read-only)."""

    @property
    def temperature(self, /) -> float:
        """Temperature of the updates; any float is accepted and stored unchanged.

        Setting it converts the value first (``TypeError`` with the note
        ``while processing 'temperature'`` if it is no number), then needs the
        lattice alone.
        """

    @temperature.setter
    def temperature(self, /, value: float) -> None: ...
    @property
    def h_z(self, /) -> float:
        """External field along the spin axis; any float is accepted and stored unchanged.

        Setting it converts the value first (``TypeError`` with the note
        ``while processing 'h_z'`` if it is no number), then needs the lattice
        alone.
        """

    @h_z.setter
    def h_z(self, /, value: float) -> None: ...
