"""The Python face of the module: argument binding and its messages, argument
conversion and the notes naming the failed argument, the borrow flag under
re-entrant calls (across threads: test_threads.py), PanicException and the
stops it carries, properties, class and module facts, and refused sizes and
memory."""

import copy
import gc
import importlib
import json
import math
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import weakref

import pytest

import oracle
import spinlattice
from conftest import (Index, PanicException, caught, expect, linux_only, needs_seed_stand_in, under_asan,
                      with_test_helpers)
from seeded import run_seeded, seed_bytes
from spinlattice import Lattice


@pytest.fixture
def lat():
    return Lattice(3, 3, 2.0, 0.5)


class Hook:
    """An int and float stand-in that runs `action` when it is converted."""

    def __init__(self, action, value=0):
        self.action, self.value, self.calls = action, value, 0

    def __index__(self):
        self.calls += 1
        self.action()
        return self.value

    def __float__(self):
        self.calls += 1
        self.action()
        return float(self.value)


def notes(exc):
    return getattr(exc, "__notes__", None)


# --- Binding ---------------------------------------------------------------------

L3 = Lattice(3, 3, 2.0, 0.0)
NEW_CALLS = {"Lattice": Lattice, "Lattice.__new__": lambda *a, **k: Lattice.__new__(Lattice, *a, **k)}


@pytest.mark.parametrize("call, message", [
    # too many positional arguments: "was" for one, "were" otherwise; keywords are not looked at
    (lambda: L3.idx_to_flat(1, 2, 3), "Lattice.idx_to_flat() takes 2 positional arguments but 3 were given"),
    (lambda: L3.flat_to_idx(0, 1), "Lattice.flat_to_idx() takes 1 positional arguments but 2 were given"),
    (lambda: L3.get_nearest_neighbors(0, 1, 2, bogus=1),
     "Lattice.get_nearest_neighbors() takes 1 positional arguments but 3 were given"),
    (lambda: L3.get_energy_diff_from_flip(0, 0, flat_idx=0),
     "Lattice.get_energy_diff_from_flip() takes 1 positional arguments but 2 were given"),
    # missing: one name, two joined by "and"
    (lambda: L3.idx_to_flat(), "Lattice.idx_to_flat() missing 2 required positional arguments: 'row' and 'col'"),
    (lambda: L3.idx_to_flat(row=1), "Lattice.idx_to_flat() missing 1 required positional argument: 'col'"),
    (lambda: L3.idx_to_flat(col=1), "Lattice.idx_to_flat() missing 1 required positional argument: 'row'"),
    (lambda: L3.flat_to_idx(), "Lattice.flat_to_idx() missing 1 required positional argument: 'flat_idx'"),
    (lambda: L3.get_nearest_neighbors(),
     "Lattice.get_nearest_neighbors() missing 1 required positional argument: 'flat_idx'"),
    (lambda: L3.get_energy_diff_from_flip(),
     "Lattice.get_energy_diff_from_flip() missing 1 required positional argument: 'flat_idx'"),
    # multiple values and unexpected keywords, the first offending keyword in call order wins
    (lambda: L3.idx_to_flat(1, row=1), "Lattice.idx_to_flat() got multiple values for argument 'row'"),
    (lambda: L3.idx_to_flat(1, column=1), "Lattice.idx_to_flat() got an unexpected keyword argument 'column'"),
    (lambda: L3.idx_to_flat(1, row=1, zzz=2), "Lattice.idx_to_flat() got multiple values for argument 'row'"),
    (lambda: L3.idx_to_flat(1, zzz=2, row=1), "Lattice.idx_to_flat() got an unexpected keyword argument 'zzz'"),
    (lambda: L3.idx_to_flat(Row=1, col=1), "Lattice.idx_to_flat() got an unexpected keyword argument 'Row'"),
    (lambda: L3.idx_to_flat(zzz=1), "Lattice.idx_to_flat() got an unexpected keyword argument 'zzz'"),
    (lambda: L3.flat_to_idx(1, flat_idx=0), "Lattice.flat_to_idx() got multiple values for argument 'flat_idx'"),
    # a name that can't be read as UTF-8 text matches nothing, and is reported as given
    (lambda: L3.idx_to_flat(**{"\udc80": 1}), "Lattice.idx_to_flat() got an unexpected keyword argument '\udc80'"),
])
def test_fast_call_binding_messages(call, message):
    expect(TypeError, message, call)


@pytest.mark.parametrize("new", NEW_CALLS.values(), ids=NEW_CALLS.keys())
@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4, 5), {}, "Lattice.__new__() takes 4 positional arguments but 5 were given"),
    ((1, 2, 3, 4, 5), {"zzz": 1}, "Lattice.__new__() takes 4 positional arguments but 5 were given"),
    ((), {}, "Lattice.__new__() missing 4 required positional arguments: 'width', 'height', 'temperature', "
             "and 'h_z'"),
    ((3,), {}, "Lattice.__new__() missing 3 required positional arguments: 'height', 'temperature', and 'h_z'"),
    ((3, 3), {}, "Lattice.__new__() missing 2 required positional arguments: 'temperature' and 'h_z'"),
    ((3,), {"temperature": 1.0},
     "Lattice.__new__() missing 2 required positional arguments: 'height' and 'h_z'"),
    ((3, 3, 1.0), {}, "Lattice.__new__() missing 1 required positional argument: 'h_z'"),
    ((), {"h_z": 0.0}, "Lattice.__new__() missing 3 required positional arguments: 'width', 'height', "
                       "and 'temperature'"),
    ((1, 1, 1, 1), {"x": 1}, "Lattice.__new__() got an unexpected keyword argument 'x'"),
    ((1, 1, 1), {"width": 1}, "Lattice.__new__() got multiple values for argument 'width'"),
    # dictionary order decides which keyword is reported
    ((1, 1), {"h_z": 1, "width": 2, "zzz": 3}, "Lattice.__new__() got multiple values for argument 'width'"),
    ((1, 1), {"zzz": 3, "width": 2}, "Lattice.__new__() got an unexpected keyword argument 'zzz'"),
    ((), {"width": 1, "height": 1, "temperature": 1, "h_z": 1, "extra": 2},
     "Lattice.__new__() got an unexpected keyword argument 'extra'"),
])
def test_constructor_binding_messages(new, args, kwargs, message):
    expect(TypeError, message, lambda: new(*args, **kwargs))


class NamedStr(str):
    pass


def test_keywords_bind_by_name_in_any_order():
    assert L3.idx_to_flat(col=1, row=2) == L3.idx_to_flat(row=2, col=1) == L3.idx_to_flat(2, 1) == 7
    assert L3.idx_to_flat(2, col=1) == 7
    assert L3.flat_to_idx(flat_idx=7) == [2, 1]
    assert L3.get_nearest_neighbors(flat_idx=4) == L3.get_nearest_neighbors(4)
    assert L3.get_energy_diff_from_flip(flat_idx=4) == L3.get_energy_diff_from_flip(4)
    # names are compared as text: a str subclass binds like the str it holds
    assert L3.idx_to_flat(**{NamedStr("row"): 2, NamedStr("col"): 1}) == 7


@pytest.mark.parametrize("new", NEW_CALLS.values(), ids=NEW_CALLS.keys())
def test_construction_by_keywords_in_any_order(new):
    for lattice in (new(h_z=-0.25, temperature=1.5, height=2, width=5),
                    new(5, temperature=1.5, h_z=-0.25, height=2),
                    new(5, 2, 1.5, -0.25)):
        assert type(lattice) is Lattice
        assert (lattice.width, lattice.height, lattice.temperature, lattice.h_z) == (5, 2, 1.5, -0.25)
        assert len(lattice.as_array()) == 10


# --- Conversions and notes ----------------------------------------------------------

class IntWithOtherIndex(int):
    def __index__(self):  # an int's own value is used; __index__ is not consulted
        return 7


class Floaty:
    def __float__(self):
        return 0.75


@pytest.mark.parametrize("value, expected", [
    (0, [0, 0]),
    (True, [0, 1]),
    (False, [0, 0]),
    (Index(5), [1, 2]),
    (IntWithOtherIndex(1), [0, 1]),
])
def test_index_arguments_accepted(lat, value, expected):
    assert lat.flat_to_idx(value) == expected


@pytest.mark.parametrize("value", [2**63 - 1, 2**63, 2**64 - 1, Index(2**64 - 1), 9])
def test_u64_edges_convert_and_reach_the_bounds_check(lat, value):
    # accepted by the conversion, refused by the lattice
    for call in (lambda: lat.idx_to_flat(value, 0), lambda: lat.idx_to_flat(0, value),
                 lambda: lat.flat_to_idx(value), lambda: lat.get_nearest_neighbors(value)):
        expect(PanicException, "Accessing out of bounds!", call)


@pytest.mark.parametrize("value, exc_type, message", [
    (2**64, OverflowError, None),
    (2**200, OverflowError, None),
    (-1, OverflowError, None),
    (-(2**64), OverflowError, None),
    (Index(-1), OverflowError, None),
    (Index(2**64), OverflowError, None),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (Floaty(), TypeError, None),
    (Index(1.5), TypeError, None),
])
@pytest.mark.parametrize("method", ["flat_to_idx", "get_nearest_neighbors", "get_energy_diff_from_flip"])
def test_index_conversion_failures_carry_one_note(lat, method, value, exc_type, message):
    exc = caught(lambda: getattr(lat, method)(value))
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert notes(exc) == ["while processing 'flat_idx'"]


class Recorder:
    """Records its conversion so that tests can see which arguments were converted."""

    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __index__(self):
        self.log.append(self.name)
        return self.value

    def __float__(self):
        self.log.append(self.name)
        return float(self.value)


def test_arguments_convert_in_parameter_order_and_stop_at_the_first_failure(lat):
    log = []
    exc = caught(lambda: lat.idx_to_flat(col=Recorder(log, "col", 1), row=Recorder(log, "row", -1)))
    assert type(exc) is OverflowError and notes(exc) == ["while processing 'row'"]
    assert log == ["row"]

    log.clear()
    exc = caught(lambda: lat.idx_to_flat(Recorder(log, "row", 0), Recorder(log, "col", -1)))
    assert type(exc) is OverflowError and notes(exc) == ["while processing 'col'"]
    assert log == ["row", "col"]

    exc = caught(lambda: lat.idx_to_flat("x", -1))
    assert type(exc) is TypeError and notes(exc) == ["while processing 'row'"]


@pytest.mark.parametrize("args, name, exc_type", [
    (("w", -1, "t", "h"), "width", TypeError),
    ((2**64, -1, "t", "h"), "width", OverflowError),
    ((1, -1, "t", "h"), "height", OverflowError),
    ((1, 1.5, "t", "h"), "height", TypeError),
    ((1, 1, "t", "h"), "temperature", TypeError),
    ((1, 1, 10**400, "h"), "temperature", OverflowError),
    ((1, 1, None, "h"), "temperature", TypeError),
    ((1, 1, 1.0, "h"), "h_z", TypeError),
    ((1, 1, 1.0, -(10**400)), "h_z", OverflowError),
])
def test_constructor_conversion_failures_name_the_first_bad_argument(args, name, exc_type):
    exc = caught(lambda: Lattice(*args))
    assert type(exc) is exc_type
    assert notes(exc) == [f"while processing '{name}'"]


def test_constructor_conversion_order_with_keywords():
    log = []
    exc = caught(lambda: Lattice(h_z=Recorder(log, "h_z", 0), temperature=Recorder(log, "temperature", 1),
                                 height=Recorder(log, "height", -1), width=Recorder(log, "width", 2)))
    assert type(exc) is OverflowError and notes(exc) == ["while processing 'height'"]
    assert log == ["width", "height"]


@pytest.mark.parametrize("value, stored", [
    (2, 2.0),
    (True, 1.0),
    (False, 0.0),
    (Floaty(), 0.75),
    (Index(-3), -3.0),
    (2**53 + 1, 9007199254740992.0),  # rounded to the nearest double
    (2**1023, 2.0**1023),
])
def test_double_arguments_accept_numbers(value, stored):
    lattice = Lattice(1, 1, value, value)
    assert type(lattice.temperature) is float and lattice.temperature == stored
    assert lattice.h_z == stored
    lattice.temperature = 0.5
    lattice.temperature = value
    assert lattice.temperature == stored


# --- Properties --------------------------------------------------------------------

@pytest.mark.parametrize("name", ["temperature", "h_z"])
@pytest.mark.parametrize("value, exc_type, message", [
    ("1.0", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    (10**400, OverflowError, "int too large to convert to float"),
    ([1.0], TypeError, "must be real number, not list"),
])
def test_setter_failure_names_the_property_and_keeps_the_value(lat, name, value, exc_type, message):
    before = repr(lat)
    exc = expect(exc_type, message, lambda: setattr(lat, name, value))
    assert notes(exc) == [f"while processing '{name}'"]
    assert repr(lat) == before


@pytest.mark.parametrize("name", ["temperature", "h_z"])
def test_setters_store_any_double_unchanged(lat, name):
    for value in (0.0, -0.0, -7.25, 1e-320, 1e308, math.inf, -math.inf, math.nan, 3):
        setattr(lat, name, value)
        got = getattr(lat, name)
        assert type(got) is float
        assert struct.pack("<d", got) == struct.pack("<d", float(value))
    other = "h_z" if name == "temperature" else "temperature"
    assert getattr(lat, other) == {"temperature": 2.0, "h_z": 0.5}[other]


def test_properties_without_setter_or_deleter(lat):
    before = repr(lat)
    for name in ("width", "height"):
        with pytest.raises(AttributeError):
            setattr(lat, name, 5)
        with pytest.raises(AttributeError):
            delattr(lat, name)
    for name in ("temperature", "h_z"):
        expect(AttributeError, "property has no deleter", lambda: delattr(lat, name))
    assert repr(lat) == before
    assert (lat.width, lat.height) == (3, 3)


def test_sizes_read_back_unsigned():
    lattice = Lattice(2**64 - 1, 0, 1.0, 0.0)
    assert (lattice.width, lattice.height) == (2**64 - 1, 0)
    assert Lattice(0, 2**63, 1.0, 0.0).height == 2**63


# --- Class and module --------------------------------------------------------------

def test_class_is_final_without_dict_or_weakrefs(lat):
    with pytest.raises(TypeError):
        type("Sub", (Lattice,), {})
    with pytest.raises(AttributeError):
        lat.anything = 1
    assert not hasattr(lat, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(lat)
    assert not gc.is_tracked(lat)


def test_no_instance_without_the_constructor(lat):
    # neither an uninitialised instance, nor one of another class, nor a second owner of the same spins
    before = repr(lat)
    for attempt in (lambda: object.__new__(Lattice), lambda: Lattice.__new__(int, 1, 1, 1.0, 0.0),
                    lambda: Lattice.__new__(), lambda: copy.copy(lat), lambda: copy.deepcopy(lat),
                    lambda: pickle.dumps(lat)):
        with pytest.raises(TypeError):
            attempt()
    assert repr(lat) == before


def test_class_object_accepts_new_attributes():
    Lattice.scratch_attribute = 1
    try:
        assert Lattice(1, 1, 1.0, 0.0).scratch_attribute == 1
    finally:
        del Lattice.scratch_attribute


def test_method_without_arguments_refuses_one(lat):
    with pytest.raises(TypeError, match="takes no arguments"):
        lat.get_energy(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        lat.as_array(x=1)


def test_reimport_gives_a_new_module_with_the_same_class():
    original = sys.modules.pop("spinlattice")
    try:
        again = importlib.import_module("spinlattice")
        assert again is not original
        assert again.Lattice is Lattice
        assert again.__all__ == ["Lattice"] and again.__doc__ == ""
        assert type(caught(lambda: again.Lattice(1, 1, 1.0, 0.0).flat_to_idx(1))) is PanicException
    finally:
        sys.modules["spinlattice"] = original


# --- PanicException ----------------------------------------------------------------

def test_panic_exception_class():
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__name__ == PanicException.__qualname__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert "PanicException" not in vars(spinlattice)
    assert PanicException.__doc__


def expect_stop(message, call):
    """A stop: PanicException (one class for every stop) with this text and no note,
    past a handler of ordinary errors."""
    with pytest.raises(PanicException) as info:
        try:
            call()
        except Exception:  # a stop must not be caught here
            pytest.fail("a stop was caught by an Exception handler")
    assert type(info.value) is PanicException
    assert info.value.args == (message,)
    assert notes(info.value) is None


@pytest.mark.parametrize("call, message", [
    (lambda lat: lat.flat_to_idx(9), "Accessing out of bounds!"),
    (lambda lat: lat.get_nearest_neighbors(2**64 - 1), "Accessing out of bounds!"),
    (lambda lat: lat.idx_to_flat(0, 3), "Accessing out of bounds!"),
    (lambda lat: lat.get_energy_diff_from_flip(9), "index out of bounds: the len is 9 but the index is 9"),
    (lambda lat: Lattice(0, 5, 1.0, 0.0).wolff_step(), "cannot sample empty range"),
    (lambda lat: Lattice(5, 0, 1.0, 0.0).simulation_step(), "cannot sample empty range"),
])
def test_stops_raise_panic_exception_past_except_exception(lat, call, message):
    expect_stop(message, lambda: call(lat))


@needs_seed_stand_in
def test_a_seeding_failure_is_a_stop_and_the_next_lattice_seeds_afresh():
    """How seeding fails, retries and falls back is tested in tests/cpp/test_seeding.cpp;
    here, its stop as the constructor raises it, and the next construction."""
    got = run_seeded(f"""
import errno
spinlattice.Lattice(1, 1, 1.0, 0.0)  # the first seeding probes the source
shim.shim_fail_next(errno.EIO, 1)
try:
    spinlattice.Lattice(3, 3, 1.0, 0.0)
    failed = None
except BaseException as e:
    failed = [type(e).__module__, type(e).__name__, e.args, getattr(e, "__notes__", None)]
seed({seed_bytes(42)!r})
emit([failed, repr(spinlattice.Lattice(3, 3, 1.0, 0.0))])
""")
    assert got[0] == ["pyo3_runtime", "PanicException", ["from_os_rng failed: Input/output error (os error 5)"],
                      None]
    assert got[1] == repr(oracle.Lattice(3, 3, 1.0, 0.0, seed_bytes(42)))


def test_panic_from_python_code_comes_back_as_a_new_panic(lat, capfd):
    raised = []

    def inner():
        try:
            lat.flat_to_idx(99)
        except BaseException as exc:
            raised.append(exc)
            raise

    exc = expect(PanicException, "Accessing out of bounds!", lambda: lat.idx_to_flat(Hook(inner), 0))
    assert exc is not raised[0]
    assert notes(exc) is None
    err = capfd.readouterr().err
    traceback = err.index("Traceback (most recent call last):")
    assert traceback > 0  # a notice comes first
    assert "in inner" in err[traceback:]
    assert err.rstrip().endswith("pyo3_runtime.PanicException: Accessing out of bounds!")
    lat.simulation_step()  # the borrow was released


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("make, message", [
    (lambda: PanicException("made by hand"), "made by hand"),
    (lambda: PanicException(Unprintable()), "Unwrapped panic from Python code"),
])
@pytest.mark.parametrize("site", ["fast call", "setter", "constructor"])
def test_panic_raised_in_conversion(lat, capfd, make, message, site):
    def action():
        raise make()

    call = {
        "fast call": lambda: lat.get_nearest_neighbors(Hook(action)),
        "setter": lambda: setattr(lat, "h_z", Hook(action)),
        "constructor": lambda: Lattice(1, 1, 1.0, Hook(action)),
    }[site]
    before = repr(lat)
    expect(PanicException, message, call)
    assert "Traceback (most recent call last):" in capfd.readouterr().err
    assert repr(lat) == before


def test_subclass_of_panic_exception_is_an_ordinary_conversion_error(lat):
    class Sub(PanicException):
        pass

    def action():
        raise Sub("mine")

    exc = expect(Sub, "mine", lambda: lat.flat_to_idx(Hook(action)))
    assert notes(exc) == ["while processing 'flat_idx'"]


# --- Borrows -----------------------------------------------------------------------

def test_readers_inside_a_fast_call_conversion_succeed(lat):
    seen = []
    hook = Hook(lambda: seen.append((lat.as_array(), repr(lat), lat.width, lat.h_z,
                                     lat.get_energy(), lat.flat_to_idx(Index(4)),
                                     lat.idx_to_flat(Hook(lambda: lat.get_nearest_neighbors(0), 1), 1))), 2)
    assert lat.idx_to_flat(hook, 1) == 7
    assert len(seen) == 1 and seen[0][-1] == 4


@pytest.mark.parametrize("inner", [
    lambda lat: lat.simulation_step(),
    lambda lat: lat.wolff_step(),
    lambda lat: setattr(lat, "h_z", 1.0),
    lambda lat: setattr(lat, "temperature", 1.0),
])
@pytest.mark.parametrize("outer, name", [
    (lambda lat, arg: lat.idx_to_flat(arg, 0), "row"),
    (lambda lat, arg: lat.idx_to_flat(0, arg), "col"),
    (lambda lat, arg: lat.flat_to_idx(arg), "flat_idx"),
    (lambda lat, arg: lat.get_nearest_neighbors(flat_idx=arg), "flat_idx"),
    (lambda lat, arg: lat.get_energy_diff_from_flip(arg), "flat_idx"),
])
def test_writers_inside_a_fast_call_conversion_are_refused(lat, inner, outer, name):
    before = repr(lat)
    exc = expect(RuntimeError, "Already borrowed", lambda: outer(lat, Hook(lambda: inner(lat))))
    assert notes(exc) == [f"while processing '{name}'"]
    assert repr(lat) == before
    lat.simulation_step()


def test_a_failing_setter_inside_a_conversion_keeps_both_notes(lat):
    exc = caught(lambda: lat.flat_to_idx(Hook(lambda: setattr(lat, "h_z", "x"))))
    assert type(exc) is TypeError
    assert notes(exc) == ["while processing 'h_z'", "while processing 'flat_idx'"]


def test_setters_convert_before_borrowing(lat):
    other = Lattice(2, 2, 1.0, 0.0)
    # readers, updates and the other setter all run inside the setter's conversion
    hook = Hook(lambda: (lat.as_array(), repr(lat), lat.simulation_step(), lat.wolff_step(),
                         setattr(lat, "temperature", 5.0), setattr(lat, "h_z", 9.0),
                         other.simulation_step()), 3)
    lat.h_z = hook
    assert hook.calls == 1
    assert (lat.h_z, lat.temperature) == (3.0, 5.0)  # the outer value is stored last
    hook = Hook(lambda: Lattice(2, 2, Hook(lambda: lat.wolff_step(), 1), 0.0), 4)
    lat.temperature = hook
    assert lat.temperature == 4.0


# --- The lattice after failures ------------------------------------------------------

FAILING_CALLS = {
    "binding": lambda lat: lat.idx_to_flat(1, 2, 3),
    "missing": lambda lat: lat.get_energy_diff_from_flip(),
    "conversion": lambda lat: lat.flat_to_idx(-1),
    "second conversion": lambda lat: lat.idx_to_flat(0, 2**64),
    "stop": lambda lat: lat.get_nearest_neighbors(9),
    "stop in energy": lambda lat: lat.get_energy_diff_from_flip(10),
    "stop in idx_to_flat": lambda lat: lat.idx_to_flat(2**64 - 1, 0),
    "re-entrant update": lambda lat: lat.flat_to_idx(Hook(lat.wolff_step)),
    "re-entrant panic": lambda lat: lat.flat_to_idx(Hook(lambda: lat.flat_to_idx(9))),
    "setter conversion": lambda lat: setattr(lat, "temperature", "hot"),
    "read-only": lambda lat: setattr(lat, "width", 1),
    "deleter": lambda lat: delattr(lat, "h_z"),
    "no arguments": lambda lat: lat.simulation_step(1),
}


@pytest.mark.parametrize("fail", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_lattice_is_unchanged_and_usable_after_a_failure(lat, fail, capfd):
    before = repr(lat)
    caught(lambda: fail(lat))
    assert repr(lat) == before
    lat.simulation_step()  # needs the exclusive borrow: nothing was left held
    lat.h_z = -1.0
    assert lat.h_z == -1.0 and repr(lat) != before
    capfd.readouterr()


# --- Refused sizes -----------------------------------------------------------------

@pytest.mark.parametrize("width, height", [
    (2**63, 1),
    (1, 2**63),
    (2**32, 2**31),             # exactly 2^63
    (2**32 + 1, 2**32 - 1),     # 2^64 - 1
    (2**33, 2**33),             # the product wraps to 0
    (2**64 - 1, 2),             # wraps to 2^64 - 2
    (2**63 + 1, 2),             # wraps to 2
    (2**32 + 1, 2**32),         # wraps to 2^32
    (2**64 - 1, 2**64 - 1),     # wraps to 1
])
def test_oversized_lattices_stop_with_capacity_overflow(width, height):
    expect_stop("capacity overflow", lambda: Lattice(width, height, 1.0, 0.0))
    expect_stop("capacity overflow", lambda: Lattice(height=height, width=width, temperature=1, h_z=0))


@pytest.mark.skipif(under_asan(), reason="AddressSanitizer aborts on impossible allocations")
@pytest.mark.parametrize("width", [2**62, 2**63 - 1])
def test_impossible_allocation_is_memory_error(width):
    """Beyond any address space: refused everywhere, without a limit (this
    interpreter's heap may make a limit toothless, below); the argument is released."""
    size = Index(width)
    before = sys.getrefcount(size)
    expect(MemoryError, "", lambda: Lattice(size, 1, 1.0, 0.0))
    assert sys.getrefcount(size) == before


@linux_only("RLIMIT_AS and /proc/self/status")
def test_memory_exhaustion_raises_memory_error():
    """Under an address-space limit, storage that can't be had is a MemoryError
    and the lattice that was refused memory for a result stays usable."""
    script = textwrap.dedent("""
        import json, resource
        from conftest import outcome
        from spinlattice import Lattice

        def vm_bytes():
            with open("/proc/self/status") as f:
                line = next(l for l in f if l.startswith("VmSize:"))
            return int(line.split()[1]) * 1024

        def failure(call):
            _, exc = outcome(call)
            return "ok" if exc is None else type(exc).__name__ + (": " + str(exc) if str(exc) else "")

        lattice = Lattice(1 << 22, 1, 1.0, 0.0)   # 4 MiB of spins
        before = lattice.get_total_magnetization()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (8 << 20), hard))
        try:
            probe = [0] * (1 << 23)   # 64 MiB, far past the limit
        except MemoryError:
            pass
        else:
            del probe
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(json.dumps({"skip": "RLIMIT_AS does not limit allocations here "
                                      "(address space reserved up front, or an emulator that ignores it)"}))
            raise SystemExit
        results = {
            "2^40 x 1": failure(lambda: Lattice(1 << 40, 1, 1.0, 0.0)),
            "2^14 x 2^14": failure(lambda: Lattice(1 << 14, 1 << 14, 1.0, 0.0)),
            "as_array": failure(lattice.as_array),
            "repr": failure(lambda: repr(lattice)),
        }
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        lattice.simulation_step()
        results["after"] = [len(lattice.as_array()), abs(lattice.get_total_magnetization() - before) <= 2,
                            repr(Lattice(1, 1, 1.0, 0.0))[:29]]
        print(json.dumps(results))
    """)
    proc = subprocess.run([sys.executable, "-c", script], env=with_test_helpers(os.environ), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    if "skip" in results:
        pytest.skip(results["skip"])
    assert results.pop("after") == [1 << 22, True, "Lattice { width: 1, height: 1"]
    assert set(results.values()) == {"MemoryError"}, results
