"""Geometry of the periodic rectangle, the spin field as Python sees it, the
observables against independent evaluations over that field, and the repr text
with its number formatting and generator position."""

import math
import re
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from spinlattice import Lattice


def stop_of(call):
    try:
        call()
    except BaseException as exc:  # noqa: B036 - stops are BaseExceptions
        return type(exc).__name__, str(exc)
    raise AssertionError("no stop")


OUT_OF_BOUNDS = ("PanicException", "Accessing out of bounds!")


def expected_neighbours(w, h, k):
    """Left, up, right, down with Python's floor modulo doing the wrapping."""
    row, col = divmod(k, w)
    return [row * w + (col - 1) % w, ((row - 1) % h) * w + col,
            row * w + (col + 1) % w, ((row + 1) % h) * w + col]


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
        assert lattice.get_nearest_neighbors(k) == expected_neighbours(w, h, k), k
    for call in (lambda: lattice.flat_to_idx(n), lambda: lattice.get_nearest_neighbors(n),
                 lambda: lattice.flat_to_idx(n + w), lambda: lattice.get_nearest_neighbors(2**64 - 1),
                 lambda: lattice.idx_to_flat(h, 0), lambda: lattice.idx_to_flat(0, w),
                 lambda: lattice.idx_to_flat(h - 1, w), lambda: lattice.idx_to_flat(2**64 - 1, 0)):
        assert stop_of(call) == OUT_OF_BOUNDS


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
        assert stop_of(call) == OUT_OF_BOUNDS
    assert repr(lattice).startswith(f"Lattice {{ width: {w}, height: {h}, sites: [], ")


# --- The spin field and the observables -----------------------------------------------

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
        left, up, right, down = (float(spins[j]) for j in expected_neighbours(w, h, i))
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


# --- Repr and number text ----------------------------------------------------------

def generator_text(index):
    return f"StdRng(ChaCha12Rng {{ rng: BlockRng {{ core: ChaChaXCore {{}}, result_len: 64, index: {index} }} }})"


def lattice_text(lattice, temperature, h_z, index):
    sites = ", ".join(str(s) for s in lattice.as_array())
    return (f"Lattice {{ width: {lattice.width}, height: {lattice.height}, sites: [{sites}], "
            f"temperature: {temperature}, h_z: {h_z}, rng: {generator_text(index)} }}")


def test_repr_examples():
    two = Lattice(2, 2, 2.0, 0.0)
    assert repr(two) == lattice_text(two, "2.0", "0.0", 8)
    one = Lattice(1, 1, 2.0, 0.0)
    assert repr(one) == lattice_text(one, "2.0", "0.0", 2)
    assert repr(one) in (
        "Lattice { width: 1, height: 1, sites: [1], temperature: 2.0, h_z: 0.0, rng: " + generator_text(2) + " }",
        "Lattice { width: 1, height: 1, sites: [-1], temperature: 2.0, h_z: 0.0, rng: " + generator_text(2) + " }")
    empty = Lattice(0, 0, 1.0, -0.0)
    assert repr(empty) == ("Lattice { width: 0, height: 0, sites: [], temperature: 1.0, h_z: -0.0, rng: "
                           + generator_text(64) + " }")
    huge = Lattice(2**64 - 1, 0, 1.0, 0.0)
    assert repr(huge).startswith("Lattice { width: 18446744073709551615, height: 0, sites: [], ")


def test_repr_follows_the_lattice():
    lattice = Lattice(4, 3, 1.5, 0.25)
    for _ in range(20):
        lattice.wolff_step()
        text = repr(lattice)
        assert text.startswith(f"Lattice {{ width: 4, height: 3, sites: [{', '.join(map(str, lattice.as_array()))}]")
        assert repr(lattice) == text  # reading doesn't draw


def field_texts(lattice):
    match = re.fullmatch(r"Lattice \{ .*, temperature: (\S+), h_z: (\S+), rng: StdRng\(.*\) \}", repr(lattice))
    assert match, repr(lattice)
    return match.group(1), match.group(2)


NUMBER_TEXT = [
    (2.0, "2.0"),
    (12.5, "12.5"),
    (0.0001, "0.0001"),
    (0.1 + 0.2, "0.30000000000000004"),
    (1e15, "1000000000000000.0"),
    (1e16, "1e16"),
    (2.5e-5, "2.5e-5"),
    (1e-5, "1e-5"),
    (1.2345e20, "1.2345e20"),
    (5e-324, "5e-324"),
    (-0.0, "-0.0"),
    (0.0, "0.0"),
    (-1.5, "-1.5"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
    (math.nan, "NaN"),
    (-math.nan, "NaN"),
    (9.999999999999999e-05, "9.999999999999999e-5"),
    (-9.999999999999999e-05, "-9.999999999999999e-5"),
    (9999999999999998.0, "9999999999999998.0"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (123456789012345680.0, "1.2345678901234568e17"),
    (0.00012, "0.00012"),
    (100.0, "100.0"),
    (1e100, "1e100"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"),
]


@pytest.mark.parametrize("x, text", NUMBER_TEXT, ids=[t for _, t in NUMBER_TEXT])
def test_number_text(x, text):
    assert field_texts(Lattice(0, 0, x, 1.0)) == (text, "1.0")
    lattice = Lattice(0, 0, 1.0, x)
    assert field_texts(lattice) == ("1.0", text)
    lattice.temperature = x
    assert field_texts(lattice) == (text, text)


def significant_digits(text):
    mantissa = text.lstrip("-").split("e")[0]
    return mantissa.replace(".", "").strip("0")


def check_number_text(x, text):
    scientific = x != 0 and (abs(x) < 1e-4 or abs(x) >= 1e16)
    if scientific:
        assert re.fullmatch(r"-?[1-9](\.\d*[1-9])?e-?[1-9]\d*", text), text
    else:
        assert re.fullmatch(r"-?(0|[1-9]\d*)\.(0|\d*[1-9])", text), text
    assert text.startswith("-") == (math.copysign(1.0, x) < 0)
    value = float(text)
    assert value == x and math.copysign(1.0, value) == math.copysign(1.0, x)
    # the same shortest digits as Python's repr, and the exponent they imply
    assert significant_digits(text) == significant_digits(repr(abs(x))) or x == 0
    if scientific:
        assert int(text.split("e")[1]) == Decimal(repr(abs(x))).adjusted()


@settings(max_examples=400, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False), st.floats(allow_nan=False, allow_infinity=False))
def test_number_text_reads_back_with_the_shortest_digits(temperature, h_z):
    t_text, h_text = field_texts(Lattice(0, 1, temperature, h_z))
    check_number_text(temperature, t_text)
    check_number_text(h_z, h_text)


@settings(max_examples=200, deadline=None)
@given(st.integers(min_value=-20, max_value=25), st.integers(min_value=1, max_value=10**17 - 1))
def test_number_text_around_the_form_boundaries(exponent, digits):
    x = float(f"{digits}e{exponent - len(str(digits))}")
    check_number_text(x, field_texts(Lattice(0, 1, x, 0.0))[0])


def generator_index(lattice):
    return int(re.search(r"index: (\d+) \} \}\) \}$", repr(lattice)).group(1))


SITE_COUNTS = [0, 1, 2, 3, 9, 31, 32, 33, 63, 64, 65, 96, 97, 100, 1000, 4096, 4097]


@pytest.mark.parametrize("n", SITE_COUNTS)
def test_generator_index_after_construction(n):
    expected = 64 if n == 0 else 2 * (((n - 1) % 32) + 1)
    shapes = {(n, 1), (1, n)} | {(d, n // d) for d in range(2, 9) if n and n % d == 0}
    for w, h in shapes:
        assert generator_index(Lattice(w, h, 1.0, 0.0)) == expected, (w, h)


def test_generator_index_with_empty_dimension():
    for w, h in [(0, 0), (0, 5), (5, 0), (0, 2**64 - 1)]:
        assert generator_index(Lattice(w, h, 1.0, 0.0)) == 64
