"""Hostile arguments: every callable, with every kind of argument object.

Each argument is generated as a plain description (a tuple), and a small model
predicts from the descriptions alone what binding and conversion must do:
which exception comes out (its exact type, its message for stops and borrow
errors, the note naming the argument), which of the arguments' own methods run
and in which order, and the converted values. The real call is checked against
that prediction, and a failed call must leave the lattice exactly as the
arguments' callbacks left it (its repr: spins, parameters, generator position).

Some arguments call back into the same lattice while they are being converted:
reads must work, updates and setters must be refused while a method holds its
shared borrow, and must work from a setter's or the constructor's conversion,
which runs before any borrow is taken.
"""

import array
import contextlib
import math
import operator
import re
import signal
import struct
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from conftest import PanicException, assert_sound, outcome
from spinlattice import Lattice

U64 = 2**64
BIG_SITES = 64  # the fuzz never builds a lattice with more sites than this


# --- Exceptions the test raises itself ----------------------------------------------

class CustomError(Exception):
    pass


class CustomBase(BaseException):
    pass


RAISE_KINDS = {
    "ValueError": ValueError,
    "TypeError": TypeError,
    "OverflowError": OverflowError,
    "MemoryError": MemoryError,
    "CustomError": CustomError,
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": SystemExit,
    "GeneratorExit": GeneratorExit,
    "CustomBase": CustomBase,
}


# --- The state every argument object sees ---------------------------------------------

class Context:
    """The lattice under test and what its hostile arguments did to it."""

    def reset(self, lattice):
        self.lattice = lattice
        self.snapshot = repr(lattice)  # the state the last callback left
        self.borrowed = False  # whether the call being converted holds a shared borrow
        self.raised = []  # every exception a callback raised, in order
        self.calls = []  # (label, method) of each callback that ran
        self.problems = []  # expectations that failed inside callbacks

    def check(self, ok, what):
        if not ok:
            self.problems.append(what)


CTX = Context()


class MustNotCall(BaseException):
    """Raised by methods that conversion must never use."""


class IntSub(int):
    # An int subclass is an int: its value is taken without asking __index__.
    def __index__(self):
        CTX.problems.append("IntSub.__index__ called")
        raise MustNotCall("IntSub.__index__")


class FloatSub(float):
    # A float subclass is read directly, without __float__.
    def __float__(self):
        CTX.problems.append("FloatSub.__float__ called")
        raise MustNotCall("FloatSub.__float__")


class IntOnly:
    # __int__ is not an integer protocol for indices or doubles.
    def __int__(self):
        CTX.problems.append("IntOnly.__int__ called")
        raise MustNotCall("IntOnly.__int__")


class _Hostile:
    __slots__ = ("float_cb", "index_cb", "label")

    def __init__(self, label, index_cb, float_cb):
        self.label, self.index_cb, self.float_cb = label, index_cb, float_cb

    def __repr__(self):
        return f"<hostile {self.label}>"


class IndexObj(_Hostile):
    def __index__(self):
        return run_callback(self.label, "index", self.index_cb)


class FloatObj(_Hostile):
    def __float__(self):
        return run_callback(self.label, "float", self.float_cb)


class BothObj(IndexObj, FloatObj):
    pass


class PlainObj(_Hostile):
    pass


class Inner:
    """Converted by a nested call: the nested call's own borrow must refuse an update."""

    def __index__(self):
        try:
            CTX.lattice.wolff_step()
        except RuntimeError as e:
            CTX.check(str(e) == "Already borrowed", f"nested update refused with {e!r}")
        else:
            CTX.problems.append("an update ran inside a nested shared borrow")
        return 0


# --- Callbacks: an action on the lattice, then a return value or a raise ----------------

ACTIONS = ["none", "repr", "read", "sim", "wolff", "set_t", "set_h", "nested", "panic", "step_raw"]


def expect_refused_or_runs(call, may_stop_empty):
    lat = CTX.lattice
    empty = lat.width * lat.height == 0
    try:
        call()
    except RuntimeError as e:
        CTX.check(CTX.borrowed and str(e) == "Already borrowed", f"unexpected {e!r}")
    except PanicException as e:
        CTX.check(not CTX.borrowed and may_stop_empty and empty
                  and str(e) == "cannot sample empty range", f"unexpected stop {e!r}")
    else:
        CTX.check(not CTX.borrowed and not (may_stop_empty and empty),
                  "a call that needs an exclusive borrow ran inside a shared one")


def run_action(action):
    lat = CTX.lattice
    if action == "repr":
        CTX.check(repr(lat) == CTX.snapshot, "lattice changed under a conversion")
    elif action == "read":
        spins = lat.as_array()
        CTX.check(lat.get_total_magnetization() == sum(spins), "magnetisation != sum of spins")
        lat.get_energy(), lat.average_magnetization(), lat.width, lat.height, lat.temperature, lat.h_z
    elif action == "sim":
        expect_refused_or_runs(lat.simulation_step, True)
    elif action == "wolff":
        expect_refused_or_runs(lat.wolff_step, True)
    elif action == "set_t":
        expect_refused_or_runs(lambda: setattr(lat, "temperature", 0.5), False)
    elif action == "set_h":
        expect_refused_or_runs(lambda: setattr(lat, "h_z", -0.25), False)
    elif action == "nested":
        try:
            lat.get_energy_diff_from_flip(Inner())
        except PanicException as e:
            CTX.check(lat.width * lat.height == 0
                      and str(e) == "index out of bounds: the len is 0 but the index is 0",
                      f"nested call stopped with {e!r}")
    elif action == "panic":  # a stop escapes from Python code back into the module
        lat.flat_to_idx(U64 - 1)
    elif action == "step_raw":  # a borrow error (or a stop) escapes unhandled
        lat.simulation_step()


def run_callback(label, method, cb):
    CTX.calls.append((label, method))
    action, (kind, payload) = cb
    try:
        run_action(action)
        if kind == "raise":
            exc = RAISE_KINDS[payload](f"raised by the test, #{len(CTX.raised)}")
            CTX.raised.append(exc)
            raise exc
        return make(payload)
    finally:
        CTX.snapshot = repr(CTX.lattice)


# --- Building argument objects from their descriptions -----------------------------------

def make(spec, label=None):
    kind = spec[0]
    if kind == "v":
        return spec[1]
    if kind == "intsub":
        return IntSub(spec[1])
    if kind == "floatsub":
        return FloatSub(spec[1])
    if kind == "intonly":
        return IntOnly()
    if kind == "obj":
        _, index_cb, float_cb = spec
        cls = {(True, True): BothObj, (True, False): IndexObj,
               (False, True): FloatObj, (False, False): PlainObj}[index_cb is not None, float_cb is not None]
        return cls(label, index_cb, float_cb)
    raise AssertionError(spec)


# --- The model ------------------------------------------------------------------------

class Err:
    """An expected failure. `raised`: the very exception a callback raised."""

    def __init__(self, cls, message=None, note=None, raised=False):
        self.cls, self.message, self.note, self.raised = cls, message, note, raised

    def with_note(self, name):
        if self.cls is PanicException:  # a stop from Python code comes back as a new stop
            return self
        return Err(self.cls, self.message, name, self.raised)

    def __repr__(self):
        return f"Err({self.cls.__name__}, {self.message!r}, note={self.note!r}, raised={self.raised})"


def action_error(action, borrowed, empty):
    """The exception an action lets escape from its callback, if any."""
    if action == "panic":
        return Err(PanicException, "Accessing out of bounds!")
    if action == "step_raw":
        if borrowed:
            return Err(RuntimeError, "Already borrowed")
        if empty:
            return Err(PanicException, "cannot sample empty range")
    return None


def emulate(fn, value):
    try:
        return fn(value)
    except BaseException as e:  # noqa: BLE001 - whatever the interpreter raises is expected
        return Err(type(e))


def plain_u64(v):
    # An int (or subclass) is used as it is; anything else goes through __index__.
    i = v if isinstance(v, int) else operator.index(v)
    if not 0 <= i < U64:
        raise OverflowError
    return int(i)


def plain_double(v):
    # A float (or subclass) is read directly; strings are not parsed.
    if isinstance(v, float):
        return float.__float__(v)
    if isinstance(v, (str, bytes, bytearray, memoryview)):
        raise TypeError
    return float(v)


def callback_result(label, method, cb, borrowed, empty, warn_error, calls):
    """What a callback hands back: an int/float object, or an Err."""
    calls.append((label, method))
    action, (kind, payload) = cb
    err = action_error(action, borrowed, empty)
    if err:
        return err
    if kind == "raise":
        return Err(RAISE_KINDS[payload], raised=True)
    r = make(payload)
    want = int if method == "index" else float
    if type(r) is want:
        return r
    if isinstance(r, want):  # a strict subclass: accepted with a DeprecationWarning
        return Err(DeprecationWarning) if warn_error else want.__dict__[f"__{method}__"](r)
    return Err(TypeError)


def model_u64(spec, label, borrowed, empty, warn_error, calls):
    if spec[0] != "obj":
        return emulate(plain_u64, make(spec))
    if spec[1] is None:
        return Err(TypeError)
    r = callback_result(label, "index", spec[1], borrowed, empty, warn_error, calls)
    if isinstance(r, Err):
        return r
    return int(r) if 0 <= r < U64 else Err(OverflowError)


def model_double(spec, label, borrowed, empty, warn_error, calls):
    if spec[0] != "obj":
        return emulate(plain_double, make(spec))
    _, index_cb, float_cb = spec
    if float_cb is not None:
        r = callback_result(label, "float", float_cb, borrowed, empty, warn_error, calls)
        return r if isinstance(r, Err) else float(r)
    if index_cb is not None:
        r = callback_result(label, "index", index_cb, borrowed, empty, warn_error, calls)
        return r if isinstance(r, Err) else emulate(float, int(r))
    return Err(TypeError)


def model_binding(params, kinds, args, kwargs, borrowed, empty, warn_error):
    """Returns (converted values or Err, callbacks expected to run)."""
    calls = []
    if len(args) > len(params):
        return Err(TypeError), calls
    bound = {p: (f"p{i}", s) for i, (p, s) in enumerate(zip(params, args))}
    for name, spec in kwargs.items():
        if name not in params or name in bound:
            return Err(TypeError), calls
        bound[name] = (f"k:{name}", spec)
    if len(bound) < len(params):
        return Err(TypeError), calls
    values = []
    for p, kind in zip(params, kinds):
        label, spec = bound[p]
        convert = {"u64": model_u64, "double": model_double}.get(kind, kind)
        v = convert(spec, label, borrowed, empty, warn_error, calls)
        if isinstance(v, Err):
            return v.with_note(p), calls
        values.append(v)
    return values, calls


def build_args(args, kwargs):
    return ([make(s, f"p{i}") for i, s in enumerate(args)],
            {k: make(s, f"k:{k}") for k, s in kwargs.items()})


# --- Checking a call against the model --------------------------------------------------

ALLOWED = (TypeError, OverflowError, ValueError, RuntimeError, AttributeError, MemoryError,
           PanicException, Warning)


def bits(x):
    return struct.pack("<d", x)


def check_error(expected, exc):
    event(f"error: {expected.cls.__name__}{' (raised by the test)' if expected.raised else ''}")
    assert exc is not None, f"expected {expected}, the call succeeded"
    if expected.raised:
        assert CTX.raised and exc is CTX.raised[-1], f"expected the raised {expected.cls}, got {exc!r}"
    else:
        assert type(exc) is expected.cls, f"expected {expected}, got {exc!r}"
        assert isinstance(exc, ALLOWED), f"undocumented exception {exc!r}"
    if expected.message is not None:
        assert str(exc) == expected.message
    # Every exception here is fresh, so the binding's note (one at most) is all it carries.
    notes = getattr(exc, "__notes__", [])
    expected_notes = [] if expected.note is None else [f"while processing '{expected.note}'"]
    assert notes == expected_notes, (exc, notes)
    if isinstance(exc, RuntimeError):
        assert str(exc) in ("Already borrowed", "Already mutably borrowed")


def strip_field(text, field):
    return re.sub(rf"\b{field}: [^,]+,", f"{field}: _,", text)


FAST = {
    "flat_to_idx": ("flat_idx",),
    "idx_to_flat": ("row", "col"),
    "get_nearest_neighbors": ("flat_idx",),
    "get_energy_diff_from_flip": ("flat_idx",),
}
NOARGS = ["get_energy", "get_total_magnetization", "average_magnetization", "as_array", "as_bytes",
          "simulation_step", "wolff_step", "__repr__"]
UPDATES = {"simulation_step", "wolff_step"}
NEW_PARAMS = ("width", "height", "temperature", "h_z")
NEW_KINDS = ("u64", "u64", "double", "double")


def do_fast(name, args, kwargs, warn_error):
    lat = CTX.lattice
    params = FAST[name]
    empty = lat.width * lat.height == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warn_error else "ignore")
        expected, expected_calls = model_binding(params, ("u64",) * len(params), args, kwargs,
                                                 True, empty, warn_error)
        a, k = build_args(args, kwargs)
        CTX.borrowed = True
        try:
            result, exc = outcome(lambda: getattr(lat, name)(*a, **k))
        finally:
            CTX.borrowed = False
    assert CTX.calls == expected_calls
    if isinstance(expected, Err):
        check_error(expected, exc)
    else:
        event("converted: method")
        # The operation itself, on the converted values: same result or same stop.
        plain, plain_exc = outcome(lambda: getattr(lat, name)(*expected))
        if plain_exc is not None:
            assert type(exc) is PanicException and type(plain_exc) is PanicException, (exc, plain_exc)
            assert str(exc) == str(plain_exc)
        else:
            assert exc is None, exc
            assert type(result) is type(plain)
            assert (bits(result) == bits(plain)) if isinstance(plain, float) else result == plain
    assert repr(lat) == CTX.snapshot, "a reading method changed the lattice"


def do_noargs(name, args, kwargs):
    lat = CTX.lattice
    a, k = build_args(args, kwargs)
    result, exc = outcome(lambda: getattr(lat, name)(*a, **k))
    assert CTX.calls == []
    if args or kwargs:
        check_error(Err(TypeError), exc)
    elif name in UPDATES and lat.width * lat.height == 0:
        check_error(Err(PanicException, "cannot sample empty range"), exc)
    else:
        assert exc is None, exc
        if name in UPDATES:
            assert result is None
            CTX.snapshot = repr(lat)
            return
        assert type(result) is {"as_array": list, "as_bytes": bytes, "__repr__": str}.get(name, float)
    assert repr(lat) == CTX.snapshot


def do_setter(field, spec, warn_error):
    lat = CTX.lattice
    empty = lat.width * lat.height == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warn_error else "ignore")
        expected, expected_calls = model_binding((field,), ("double",), (spec,), {}, False, empty,
                                                 warn_error)
        value = make(spec, "p0")
        _, exc = outcome(lambda: setattr(lat, field, value))
    assert CTX.calls == expected_calls
    if isinstance(expected, Err):
        check_error(expected, exc)
        assert repr(lat) == CTX.snapshot
    else:
        event("converted: setter")
        assert exc is None, exc
        assert bits(getattr(lat, field)) == bits(expected[0])
        assert strip_field(repr(lat), field) == strip_field(CTX.snapshot, field)
        CTX.snapshot = repr(lat)


def do_refused_attribute(action, field, spec):
    """Read-only properties, deleting any property, unknown attributes: the value is never used."""
    lat = CTX.lattice
    value = make(spec, "p0")
    if action == "set":
        _, exc = outcome(lambda: setattr(lat, field, value))
    else:
        _, exc = outcome(lambda: delattr(lat, field))
    assert CTX.calls == []
    assert type(exc) is AttributeError, exc
    if action == "del" and field in ("temperature", "h_z"):
        assert str(exc) == "property has no deleter"
    assert repr(lat) == CTX.snapshot


BATCHES = ("simulation_steps", "wolff_steps")
LONG_RUN = 10**7  # a run longer than this is stopped by an alarm: the fuzz can't wait for it
RUN_NOTE = re.compile(r"Lattice\.\w+\(\) was stopped after (\d+) of (\d+) updates, for which it would have returned (\d+)")


class Alarm(BaseException):
    pass


@contextlib.contextmanager
def alarm_after(seconds):
    def ring(*_):
        raise Alarm
    previous = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def do_batch(name, args, kwargs, warn_error):
    """A run in one call: the count is converted before any borrow, so its callbacks may update."""
    lat = CTX.lattice
    n = lat.width * lat.height
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warn_error else "ignore")
        expected, expected_calls = model_binding(("count",), ("u64",), args, kwargs, False, n == 0, warn_error)
        long_run = not isinstance(expected, Err) and expected[0] > LONG_RUN and n > 0
        if long_run and not hasattr(signal, "setitimer"):
            return
        a, k = build_args(args, kwargs)
        with alarm_after(0.002) if long_run else contextlib.nullcontext():
            result, exc = outcome(lambda: getattr(lat, name)(*a, **k))
    assert CTX.calls == expected_calls
    if isinstance(expected, Err):
        check_error(expected, exc)
        assert repr(lat) == CTX.snapshot
        return
    (count,) = expected
    event(f"converted: run{' (alarm)' if long_run else ''}")
    if n == 0 and count > 0:
        assert type(exc) is PanicException and str(exc) == "cannot sample empty range", exc
        assert RUN_NOTE.fullmatch(exc.__notes__[0]).groups() == ("0", str(count), "0")
        assert repr(lat) == CTX.snapshot
    elif long_run:
        assert type(exc) is Alarm, exc
        made, of, _ = map(int, RUN_NOTE.fullmatch(exc.__notes__[0]).groups())
        assert made < of == count
    else:
        assert exc is None and type(result) is int, exc
        assert result <= count if name == "simulation_steps" else count <= result <= count * n
    CTX.snapshot = repr(lat)


def reference_spins(obj, n):
    """What set_spins reads from obj, by its documented rules: the spins, or it raises
    TypeError (not integers) or ValueError (wrong count or value), whichever comes first."""
    try:
        view = memoryview(obj)
    except TypeError:
        if isinstance(obj, (str, dict)) or not hasattr(type(obj), "__getitem__"):
            raise
        items = tuple(obj)
        if len(items) != n:
            raise ValueError from None
        values = [operator.index(item) for item in items]
    else:
        code = view.format.lstrip("@=<>!")
        if len(code) != 1 or code not in "bBhHiIlLqQnN":
            raise TypeError from None
        if view.nbytes // view.itemsize != n:
            raise ValueError from None
        all_ones = (1 << 8 * view.itemsize) - 1
        values = view.tolist()
        for _ in range(view.ndim - 1):  # rows of rows, in C order
            values = [v for row in values for v in row]
        values = [values] if view.ndim == 0 else values
        values = [-1 if code.isupper() and v == all_ones else v for v in values]
    if any(v not in (1, -1) for v in values):
        raise ValueError
    return values


def model_spins(n):
    def convert(spec, label, borrowed, empty, warn_error, calls):
        if spec[0] != "v":  # argument objects with callbacks are neither buffers nor sequences
            return Err(TypeError)
        return emulate(lambda v: reference_spins(v, n), make(spec))
    return convert


def fitted(spec, n):
    """("fit", pattern, kind): the pattern cycled to n spins, as that kind of object."""
    if spec[0] != "fit":
        return spec
    _, pattern, kind = spec
    spins = [pattern[i % len(pattern)] for i in range(n)]
    return ("v", {"list": spins, "bytes": bytes(v & 0xFF for v in spins), "int64": array.array("q", spins),
                  "uint16": array.array("H", [v & 0xFFFF for v in spins])}[kind])


def do_set_spins(args, kwargs, warn_error):
    lat = CTX.lattice
    n = lat.width * lat.height
    args = tuple(fitted(a, n) for a in args)
    kwargs = {k: fitted(v, n) for k, v in kwargs.items()}
    expected, expected_calls = model_binding(("spins",), (model_spins(n),), args, kwargs, False, n == 0,
                                             warn_error)
    a, k = build_args(args, kwargs)
    _, exc = outcome(lambda: lat.set_spins(*a, **k))
    assert CTX.calls == expected_calls
    if isinstance(expected, Err):
        check_error(expected, exc)
        assert repr(lat) == CTX.snapshot
        return
    event("converted: set_spins")
    assert exc is None, exc
    assert lat.as_array() == expected[0]
    CTX.snapshot = repr(lat)


def sites_ok(w, h):
    """True when the fuzz may build a lattice of these converted sizes: few sites, or a
    count of 2^63 or more that stops before allocating. (Counts in between would really
    try to allocate; the MemoryError path has its own test.)"""
    n = w * h
    return n <= BIG_SITES or n % U64 >= 2**63 or (n >= U64 and n % U64 <= BIG_SITES)


def do_new(args, kwargs, warn_error, via_dunder):
    lat = CTX.lattice
    empty = lat.width * lat.height == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warn_error else "ignore")
        # The model comes first: the sizes decide whether the call may be made at all.
        expected, expected_calls = model_binding(NEW_PARAMS, NEW_KINDS, args, kwargs, False,
                                                 empty, warn_error)
        if not isinstance(expected, Err) and not sites_ok(expected[0], expected[1]):
            return
        a, k = build_args(args, kwargs)
        if via_dunder:
            made, exc = outcome(lambda: Lattice.__new__(Lattice, *a, **k))
        else:
            made, exc = outcome(lambda: Lattice(*a, **k))
    assert CTX.calls == expected_calls
    assert repr(lat) == CTX.snapshot, "building another lattice changed this one"
    if isinstance(expected, Err):
        check_error(expected, exc)
        return
    w, h, t, hz = expected
    event("converted: constructor")
    # A product of 2^63 or more is refused; one that wraps past 2^64 may be.
    if w * h >= 2**63 and (exc is not None or w * h % U64 >= 2**63):
        check_error(Err(PanicException, "capacity overflow"), exc)
        return
    assert exc is None, exc
    assert (made.width, made.height) == (w, h)
    assert bits(made.temperature) == bits(t) and bits(made.h_z) == bits(hz)
    spins = made.as_array()
    assert len(spins) == w * h % U64 and set(spins) <= {1, -1}


# --- Strategies --------------------------------------------------------------------------

INT_EDGES = [-(2**100), -U64, -(2**63) - 1, -(2**63), -1, 0, 1, 2, 3, 5,
             2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, U64 - 1, U64, 2**100]
FLOATS = [0.0, -0.0, -1.0, 1.5, -2.5, math.nan, math.inf, -math.inf, 5e-324, 1e308, 2.0**64, 1e-5]
OTHERS = ["", "1", "abc", "\udc80", b"", b"1", bytearray(b"2"), memoryview(b"3"), None,
          [], [1], (), (1, 2), {}, {"a": 1}, set(), frozenset({1}), 1j, complex(2, 0),
          Decimal("1.5"), Decimal("NaN"), Decimal("sNaN"), Decimal(3), Decimal("-0"),
          Fraction(3, 2), Fraction(4, 1), object(), Lattice, range(3), print, Ellipsis,
          NotImplemented, np.int64(3), np.int64(-1), np.uint64(U64 - 1), np.float64(2.5),
          np.float32(1.5), np.bool_(True), np.int8(-1), np.array(2), np.array([1, 2])]

def weighted(*pairs):
    """one_of with weights (one_of itself flattens nested one_of and weighs branches alike)."""
    return st.sampled_from([strategy for weight, strategy in pairs for _ in range(weight)]).flatmap(
        lambda strategy: strategy)


small_ints = st.integers(-2, 40)
ret_payload = weighted(
    (4, small_ints.map(lambda v: ("v", v))),
    (1, st.sampled_from(INT_EDGES).map(lambda v: ("v", v))),
    (2, st.sampled_from([True, False, 1.5, -1.0, math.nan, -0.0, "7", None, b"1", 2**70 * 1.0]).map(
        lambda v: ("v", v))),
    (1, st.sampled_from([("intsub", 3), ("intsub", -1), ("floatsub", 2.5), ("floatsub", math.inf)])),
)
callback = st.tuples(
    st.sampled_from(ACTIONS),
    weighted((3, st.tuples(st.just("ret"), ret_payload)),
             (1, st.tuples(st.just("raise"), st.sampled_from(sorted(RAISE_KINDS))))),
)
maybe_callback = weighted((3, callback), (1, st.none()))
hostile_obj = st.tuples(st.just("obj"), maybe_callback, maybe_callback)

plain_arg = st.one_of(
    st.sampled_from(INT_EDGES).map(lambda v: ("v", v)),
    st.sampled_from(FLOATS).map(lambda v: ("v", v)),
    st.floats(allow_nan=True, allow_infinity=True).map(lambda v: ("v", v)),
    st.booleans().map(lambda v: ("v", v)),
    st.sampled_from(OTHERS).map(lambda v: ("v", v)),
    st.sampled_from(INT_EDGES).map(lambda v: ("intsub", v)),
    st.sampled_from(FLOATS).map(lambda v: ("floatsub", v)),
    st.just(("intonly",)),
)
# Mostly small ints and objects with callbacks, so that many calls get past binding.
arg_spec = weighted((3, small_ints.map(lambda v: ("v", v))), (3, plain_arg), (4, hostile_obj))

KW_NAMES = ["flat_idx", "row", "col", "width", "height", "temperature", "h_z", "value", "self",
            "cls", "column", "", "Row", "wídth", "\udc80", "x" * 300]


def call_args(params):
    """Well-formed calls (each parameter once, positionally or by keyword) and arbitrary ones."""
    def split(specs_and_cut):
        specs, cut, order = specs_and_cut
        kw = {p: specs[i] for i, p in enumerate(params) if i >= cut}
        kw = dict(sorted(kw.items(), key=lambda item: order.index(item[0]) if item[0] in order else 0))
        return tuple(specs[:cut]), kw
    well_formed = st.tuples(
        st.lists(arg_spec, min_size=len(params), max_size=len(params)),
        st.integers(0, len(params)),
        st.permutations(params),
    ).map(split)
    arbitrary = st.tuples(
        st.lists(arg_spec, max_size=len(params) + 1).map(tuple),
        st.dictionaries(st.sampled_from(KW_NAMES + list(params)), arg_spec, max_size=3),
    )
    return weighted((3, well_formed), (1, arbitrary))


def _fast_call():
    return st.sampled_from(sorted(FAST)).flatmap(
        lambda name: st.tuples(st.just("fast"), st.just(name), call_args(FAST[name]), st.booleans()))


spins_arg = weighted(
    (1, plain_arg),
    (1, st.lists(st.sampled_from([1, -1, 0, True, 2**64, 1.0]), max_size=26).map(lambda v: ("v", v))),
    (3, st.tuples(st.just("fit"), st.lists(st.sampled_from([1, -1, 1, -1, 3, -2]), min_size=1, max_size=4),
                  st.sampled_from(["list", "bytes", "int64", "uint16"]))))


step = st.one_of(
    _fast_call(),
    _fast_call(),
    _fast_call(),
    st.tuples(st.just("noargs"), st.sampled_from(NOARGS),
              st.one_of(st.just(((), {})), call_args(("x",))), st.just(False)),
    st.tuples(st.just("set"), st.sampled_from(["temperature", "h_z"]), arg_spec, st.booleans()),
    st.tuples(st.just("batch"), st.sampled_from(BATCHES), call_args(("count",)), st.booleans()),
    st.tuples(st.just("spins"), st.just("set_spins"),
              weighted((3, st.tuples(spins_arg.map(lambda v: (v,)), st.just({}))), (1, call_args(("spins",)))),
              st.booleans()),
    st.tuples(st.just("refuse"), st.sampled_from([("set", "width"), ("set", "height"), ("set", "spins"),
                                                    ("del", "temperature"), ("del", "h_z"),
                                                    ("del", "width")]), arg_spec, st.just(False)),
    st.tuples(st.just("new"), st.booleans(), call_args(NEW_PARAMS), st.booleans()),
)

lattice_shape = st.tuples(st.integers(0, 5), st.integers(0, 5),
                          st.sampled_from([2.0, 0.5, 0.0, -1.0, math.inf, math.nan]),
                          st.sampled_from([0.0, 0.3, -1.0]))

FUZZ = settings(max_examples=600, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def run_step(s):
    kind, what, payload, flag = s
    CTX.calls.clear()
    if kind == "fast":
        do_fast(what, payload[0], payload[1], flag)
    elif kind == "noargs":
        do_noargs(what, payload[0], payload[1])
    elif kind == "set":
        do_setter(what, payload, flag)
    elif kind == "batch":
        do_batch(what, payload[0], payload[1], flag)
    elif kind == "spins":
        do_set_spins(payload[0], payload[1], flag)
    elif kind == "refuse":
        do_refused_attribute(what[0], what[1], payload)
    elif kind == "new":
        do_new(payload[0], payload[1], flag, what)


def obj(index_cb=None, float_cb=None):
    return ("obj", index_cb, float_cb)


RET1 = ("ret", ("v", 1))


@FUZZ
@given(lattice_shape, st.lists(step, min_size=1, max_size=4))
# A borrow error, a stop and test-raised exceptions escaping from conversions.
@example((3, 3, 2.0, 0.0), [("fast", "idx_to_flat", ((obj(("step_raw", RET1)), ("v", 0)), {}), False),
                            ("fast", "flat_to_idx", ((), {"flat_idx": obj(("panic", RET1))}), False),
                            ("fast", "get_nearest_neighbors", ((obj(("nested", RET1)),), {}), False)])
@example((2, 3, 2.0, 0.0), [("set", "temperature", obj(None, ("sim", ("raise", "KeyboardInterrupt"))), True),
                            ("set", "h_z", obj(("wolff", ("ret", ("intsub", 3)))), True),
                            ("set", "h_z", obj(("set_h", ("ret", ("v", 2**1100)))), False),
                            ("new", False, ((obj(("set_t", ("ret", ("v", 2)))),),
                                            {"h_z": ("v", 0.0), "height": obj(("wolff", RET1)),
                                             "temperature": obj(("sim", ("raise", "CustomBase")))}),
                             False)])
# -1.0 and 2^64 - 1 are also the conversion functions' error values.
@example((1, 2, 1.0, 0.0), [("set", "temperature", ("floatsub", -1.0), False),
                            ("set", "h_z", ("v", -1), False),
                            ("fast", "flat_to_idx", ((("intsub", U64 - 1),), {}), False),
                            ("fast", "idx_to_flat", ((("v", 0),), {"col": ("v", U64 - 1)}), False)])
@example((0, 4, 1.0, 0.0), [("set", "temperature", obj(("step_raw", RET1)), False),
                            ("fast", "get_energy_diff_from_flip", ((obj(("nested", RET1)),), {}), False)])
def test_hostile_calls(shape, steps):
    lat = Lattice(*shape)
    CTX.reset(lat)
    for s in steps:
        run_step(s)
        assert CTX.problems == []
    assert_sound(lat)


@FUZZ
@given(lattice_shape, st.booleans(), call_args(NEW_PARAMS), st.booleans())
def test_hostile_constructor(shape, via_dunder, args, warn_error):
    lat = Lattice(*shape)
    CTX.reset(lat)
    do_new(args[0], args[1], warn_error, via_dunder)
    assert CTX.problems == []
    assert_sound(lat)


# --- Calls the interpreter refuses before any argument is looked at ---------------------

NOT_LATTICES = [None, 0, "Lattice", Lattice, object(), [Lattice(1, 1, 1.0, 0.0)]]


@pytest.mark.parametrize("bad_self", NOT_LATTICES, ids=repr)
def test_methods_and_properties_refuse_other_objects(bad_self):
    probe = IndexObj("self", ("none", ("ret", ("v", 0))), None)
    CTX.reset(Lattice(2, 2, 1.0, 0.0))
    for name in list(FAST) + NOARGS + list(BATCHES) + ["set_spins"]:
        args = (probe,) * len(FAST.get(name, ("count",) if name not in NOARGS else ()))
        with pytest.raises(TypeError):
            getattr(Lattice, name)(bad_self, *args)
    for field in ("width", "height", "temperature", "h_z"):
        with pytest.raises(TypeError):
            getattr(Lattice, field).__get__(bad_self)
    for field in ("temperature", "h_z"):
        with pytest.raises(TypeError):
            getattr(Lattice, field).__set__(bad_self, probe)
    assert CTX.calls == []


def test_keyword_names_are_compared_as_text_and_shown_through_str():
    lat = Lattice(3, 3, 1.0, 0.0)

    class Unequal(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    class Shown(str):  # the message shows str() of the name, which may call back
        def __str__(self):
            lat.simulation_step()  # no borrow is held while binding fails
            return "shown"

    class Interrupts(str):
        def __str__(self):
            raise KeyboardInterrupt("from __str__")

    assert lat.idx_to_flat(**{Unequal("row"): 1, Unequal("col"): 2}) == 5
    with pytest.raises(TypeError, match="unexpected keyword argument 'shown'"):
        lat.flat_to_idx(**{Shown("column"): 1})
    with pytest.raises(KeyboardInterrupt, match="from __str__"):
        lat.idx_to_flat(1, **{Interrupts("row"): 1})
    with pytest.raises(KeyboardInterrupt, match="from __str__"):
        Lattice(1, 1, 1.0, 0.0, **{Interrupts("bogus"): 1})
    assert_sound(lat)


def test_recursion_through_conversions_ends_in_recursion_error():
    lat = Lattice(3, 3, 1.0, 0.0)
    before = repr(lat)

    class Deeper:
        def __index__(self):
            return lat.flat_to_idx(Deeper())[0]

    with pytest.raises(RecursionError) as info:
        lat.flat_to_idx(Deeper())
    assert set(info.value.__notes__) == {"while processing 'flat_idx'"}
    assert repr(lat) == before
    assert_sound(lat)
