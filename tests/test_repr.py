"""The repr text: the lattice's fields, its numbers in their fixed text (and the
oracle's copy of that text), and the generator's position."""

import math
import re
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import oracle
from conftest import generator_index
from spinlattice import Lattice


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
    (9.9999e-5, "9.9999e-5"),
    (-1e-300, "-1e-300"),
    (2.269, "2.269"),
]


@pytest.mark.parametrize("x, text", NUMBER_TEXT, ids=[t for _, t in NUMBER_TEXT])
def test_number_text(x, text):
    assert oracle.number_text(x) == text
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


SITE_COUNTS = [0, 1, 2, 3, 9, 31, 32, 33, 63, 64, 65, 96, 97, 100, 1000, 4096, 4097]


@pytest.mark.parametrize("n", SITE_COUNTS)
def test_generator_index_after_construction(n):
    expected = 64 if n == 0 else 2 * (((n - 1) % 32) + 1)
    shapes = {(n, 1), (1, n)} | {(d, n // d) for d in range(2, 9) if n and n % d == 0}
    for w, h in shapes:
        assert generator_index(repr(Lattice(w, h, 1.0, 0.0))) == expected, (w, h)


def test_generator_index_with_empty_dimension():
    for w, h in [(0, 0), (0, 5), (5, 0), (0, 2**64 - 1)]:
        assert generator_index(repr(Lattice(w, h, 1.0, 0.0))) == 64
