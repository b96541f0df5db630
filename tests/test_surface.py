"""The module's declared surface must tell one story in three places: the
introspection records exported by the shared object, the type stubs, and the
signatures the runtime objects report."""

import ast
import builtins
import ctypes
import importlib.util
import inspect
import json
import os
import re
import struct
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import linux_only

STUB = Path(__file__).resolve().parents[1] / "stubs" / "spinlattice.pyi"
PREFIX = "SPINLATTICE_INTROSPECTION_"
# The records are read from the module's ELF dynamic symbols.
READS_ELF = linux_only("an ELF module")

# The members added to the first ten carry a summary after their text signature.
SUMMARISED = {"simulation_steps", "wolff_steps", "as_bytes", "set_spins"}


def signature_text(posonly, args, returns):
    params = [*posonly, "/", *(f"{name}: {ann}" for name, ann in args)]
    return f"({', '.join(params)}) -> {returns}"


# --- Records out of the shared object --------------------------------------------

def shared_object_path():
    spec = importlib.util.find_spec("spinlattice")
    assert spec is not None and spec.origin, "spinlattice is not installed"
    return Path(spec.origin)


def exported_objects(path):
    """Defined dynamic symbols of a 64-bit little-endian ELF file:
    name -> (info, other, bytes or None, flags of the holding section)."""
    data = path.read_bytes()
    assert data[:6] == b"\x7fELF\x02\x01", "expected a 64-bit little-endian ELF file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    # name, type, flags, addr, offset, size, link, info, addralign, entsize
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    dynsym = next(s for s in sections if s[1] == 11)  # SHT_DYNSYM
    strtab_off = sections[dynsym[6]][4]
    symbols = {}
    for off in range(dynsym[4], dynsym[4] + dynsym[5], 24):
        st_name, info, other, shndx, value, size = struct.unpack_from("<IBBHQQ", data, off)
        if shndx == 0 or shndx >= 0xFF00:  # undefined or special
            continue
        start = strtab_off + st_name
        name = data[start:data.index(b"\0", start)].decode()
        section = sections[shndx]
        if section[1] != 1:  # not SHT_PROGBITS: no bytes in the file (.bss, ...)
            symbols[name] = (info, other, None, section[2])
            continue
        at = value - section[3] + section[4]
        symbols[name] = (info, other, data[at:at + size], section[2])
    return symbols


@pytest.fixture(scope="module")
def records():
    """Decoded records, keyed by the symbol's number."""
    found = {}
    for name, (info, other, raw, flags) in exported_objects(shared_object_path()).items():
        if not name.startswith(PREFIX):
            continue
        number = name[len(PREFIX):]
        assert number.isdecimal(), name
        assert (info >> 4, info & 0xF, other & 3) == (1, 1, 0), f"{name}: not a global default-visibility object"
        assert raw is not None and flags & 0x2 and not flags & 0x1, f"{name}: not in read-only data"
        (length,) = struct.unpack_from("<I", raw)
        end = 4 + length
        assert len(raw) == (end + 3) // 4 * 4, f"{name}: size {len(raw)} for length {length}"
        assert raw[end:] == bytes(len(raw) - end), f"{name}: padding is not zero"
        text = raw[4:end].decode("utf-8")
        record = json.loads(text, object_pairs_hook=checked_object)
        assert isinstance(record, dict), name
        assert json.dumps(record, separators=(",", ":"), ensure_ascii=False) == text, f"{name}: not compact"
        assert int(number) not in found, f"{name}: number used twice"
        found[int(number)] = record
    return found


def checked_object(pairs):
    keys = [k for k, _ in pairs]
    assert keys == sorted(set(keys)), f"keys out of order or repeated: {keys}"
    return dict(pairs)


def render(expr, ids):
    kind = expr["type"]
    if kind == "name":
        return expr["id"]
    if kind == "attribute":
        return f"{render(expr['value'], ids)}.{expr['attr']}"
    if kind == "subscript":
        return f"{render(expr['value'], ids)}[{render(expr['slice'], ids)}]"
    if kind == "binop":
        assert expr["op"] == "BitOr", expr
        return f"{render(expr['left'], ids)} | {render(expr['right'], ids)}"
    if kind == "id":
        return ids[expr["id"]]
    raise AssertionError(f"unknown expression {expr}")


def record_surface(records):
    by_type = {}
    for record in records.values():
        by_type.setdefault(record["type"], []).append(record)
    assert sorted(by_type) == ["class", "function", "module"]
    (module,), (cls,) = by_type["module"], by_type["class"]
    ids = {module["id"]: module["name"], cls["id"]: cls["name"]}
    surface = {}
    for fn in by_type["function"]:
        assert fn["parent"] == cls["id"], fn
        decorators = [render(d, ids) for d in fn.get("decorators", [])]
        key = fn["name"]
        if decorators == ["property"]:
            key += ".getter"
        elif decorators == [f"Lattice.{fn['name']}.setter"]:
            key += ".setter"
        else:
            assert "decorators" not in fn, fn
        arguments = fn["arguments"]
        assert "args" not in arguments or arguments["args"], f"{key}: empty args are left out"
        for a in arguments["posonlyargs"]:
            assert list(a) == ["name"], f"{key}: receiver carries only its name"
        posonly = [a["name"] for a in arguments["posonlyargs"]]
        args = [(a["name"], render(a["annotation"], ids)) for a in arguments.get("args", [])]
        assert key not in surface, f"{key} described twice"
        surface[key] = signature_text(posonly, args, render(fn["returns"], ids))
    return surface


@READS_ELF
def test_records_describe_module_class_and_every_function(records):
    assert sorted(records) == list(range(2 + len(SURFACE)))  # module, class, one per member
    modules = [r for r in records.values() if r["type"] == "module"]
    classes = [r for r in records.values() if r["type"] == "class"]
    assert len(modules) == 1 and len(classes) == 1
    module, cls = modules[0], classes[0]
    assert list(module) == ["id", "incomplete", "members", "name", "type"]
    assert module["id"].isdecimal() and module["incomplete"] is True
    assert (module["members"], module["name"]) == ([], "spinlattice")
    assert list(cls) == ["decorators", "id", "name", "type"]
    assert cls["id"].isdecimal() and cls["id"] != module["id"] and cls["name"] == "Lattice"
    assert [render(d, {}) for d in cls["decorators"]] == ["typing.final"]
    for r in records.values():
        if r["type"] == "function":
            expected = ["arguments", "decorators", "name", "parent", "returns", "type"]
            if "decorators" not in r:
                expected.remove("decorators")
            assert list(r) == expected, r["name"]
    assert record_surface(records) == SURFACE


# --- Export hook -------------------------------------------------------------------

class Slot(ctypes.Structure):
    """One unified slot record: id, flags, 32 reserved bits, an 8-byte value."""
    _fields_ = [("id", ctypes.c_uint16), ("flags", ctypes.c_uint16), ("reserved", ctypes.c_uint32),
                ("value", ctypes.c_uint64)]


@READS_ELF
@pytest.mark.skipif(sys.version_info < (3, 15), reason="the export hook is CPython 3.15's")
def test_export_hook_hands_over_the_module_slots(spinlattice):
    path = shared_object_path()
    assert "PyModExport_spinlattice" in exported_objects(path)
    hook = ctypes.PyDLL(str(path)).PyModExport_spinlattice
    hook.restype = ctypes.c_void_p
    slots = (Slot * 6).from_address(hook())
    # exec, ABI record, GIL use, name, docstring, end; flags: 2 static data, 4 an integer value
    assert [(s.id, s.flags, s.reserved) for s in slots] == [
        (85, 0, 0), (109, 2, 0), (87, 4, 0), (100, 2, 0), (101, 2, 0), (0, 0, 0)]
    exec_step, abi, gil, name, doc, end = (s.value for s in slots)
    assert exec_step and (gil, end) == (1, 0)
    threading_flag = 4 if sysconfig.get_config_var("Py_GIL_DISABLED") else 2
    assert ctypes.string_at(abi, 12) == struct.pack("<BBHII", 1, 0, threading_flag, 0, 0)
    assert (ctypes.string_at(name), ctypes.string_at(doc)) == (b"spinlattice", b"")
    # The interpreter imported the module through the hook: it has no module definition.
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes, get_def.restype = [ctypes.py_object], ctypes.c_void_p
    assert get_def(spinlattice) is None


# --- Stubs --------------------------------------------------------------------------

def qualify(node, imported):
    """Annotation or decorator source with builtins and imports spelled out."""
    if node is None:
        return "<missing>"

    class Qualify(ast.NodeTransformer):
        def visit_Name(self, n):
            if n.id in imported:
                return ast.parse(imported[n.id], mode="eval").body
            if n.id != "None" and hasattr(builtins, n.id):
                return ast.Attribute(ast.Name("builtins", ast.Load()), n.id, ast.Load())
            return n

    return ast.unparse(Qualify().visit(node))


def stub_surface(tree):
    imported = {}
    for node in tree.body:
        if isinstance(node, ast.ImportFrom):
            imported.update({a.asname or a.name: f"{node.module}.{a.name}" for a in node.names})
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    assert cls.name == "Lattice" and not cls.bases
    assert [qualify(d, imported) for d in cls.decorator_list] == ["typing.final"]
    surface = {}
    for fn in cls.body:
        if isinstance(fn, ast.Expr):  # the class docstring
            continue
        assert isinstance(fn, ast.FunctionDef), ast.dump(fn)
        a = fn.args
        assert not (a.vararg or a.kwarg or a.kwonlyargs or a.defaults or a.kw_defaults), fn.name
        assert all(p.annotation is None for p in a.posonlyargs), fn.name
        decorators = tuple(ast.unparse(d) for d in fn.decorator_list)
        kinds = {(): "", ("property",): ".getter", (f"{fn.name}.setter",): ".setter"}
        assert decorators in kinds, f"{fn.name}: unexpected decorators {decorators}"
        key = fn.name + kinds[decorators]
        args = [(p.arg, qualify(p.annotation, imported)) for p in a.args]
        assert key not in surface, f"{key} declared twice"
        surface[key] = signature_text([p.arg for p in a.posonlyargs], args, qualify(fn.returns, imported))
    return surface


# The surface the stub declares, as "(parameters) -> return" with fully qualified
# annotations, properties keyed "name.getter" / "name.setter". The build checks
# the stub against the module's own table; these tests check the exported
# records and the runtime objects against the stub.
SURFACE = stub_surface(ast.parse(STUB.read_text(), str(STUB)))
METHODS = [k for k in SURFACE if "." not in k and not k.startswith("__")]


@READS_ELF
def test_stub_declares_the_surface_of_the_records(records):
    tree = ast.parse(STUB.read_text(), str(STUB))
    (all_assign,) = [n for n in tree.body if isinstance(n, ast.Assign)]
    assert ast.unparse(all_assign) == "__all__ = ['Lattice']"
    assert stub_surface(tree) == record_surface(records)


def test_stub_matches_runtime_objects(tmp_path):
    code, out = run_mypy(tmp_path, "mypy.stubtest", "spinlattice", mypy_path=STUB.parent)
    assert code == 0, out


def test_installed_stubs_are_the_tree_stubs():
    installed = shared_object_path().parent
    for copy in (installed / "spinlattice.pyi", installed / "spinlattice-stubs" / "__init__.pyi"):
        assert copy.read_bytes() == STUB.read_bytes(), f"{copy} is stale: reinstall"


def run_mypy(cwd, *args, mypy_path=None):
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if mypy_path:
        env["MYPYPATH"] = str(mypy_path)
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout + done.stderr


def check_snippet(tmp_path, source):
    """mypy --strict on a snippet, with the stubs found where they are installed."""
    snippet = tmp_path / "snippet.py"
    snippet.write_text(textwrap.dedent(source))
    return run_mypy(tmp_path, "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, snippet.name)


def test_mypy_finds_the_stubs_and_accepts_correct_use(tmp_path):
    code, out = check_snippet(tmp_path, """\
        from spinlattice import Lattice
        lat = Lattice(4, 3, 2.0, h_z=0.0)
        lat.temperature = 3
        row_col: list[int] = lat.flat_to_idx(flat_idx=5)
        energy: float = lat.get_energy() + lat.get_energy_diff_from_flip(2)
        lat.simulation_step()
        size: int = lat.width * lat.height + lat.idx_to_flat(row=1, col=2)
        reveal_type(lat.as_array())
        flips: int = lat.simulation_steps(100) + lat.wolff_steps(count=2)
        lat.set_spins(lat.as_bytes())
        lat.set_spins([1, -1] * 6)
        """)
    assert code == 0, out
    assert re.search(r'Revealed type is "(builtins\.)?list\[(builtins\.)?int\]"', out), out


def test_mypy_rejects_misuse_line_by_line(tmp_path):
    code, out = check_snippet(tmp_path, """\
        from spinlattice import Lattice
        lat = Lattice(1, 2, 3.0, 0.0)
        lat.idx_to_flat("a", 1)  # E
        lat.width = 3  # E
        class Sub(Lattice): ...  # E
        n: int = lat.get_energy()  # E
        lat.wolff_step(1)  # E
        lat.get_nearest_neighbors(self=lat, flat_idx=0)  # E
        Lattice(1, 2, 3.0)  # E
        """)
    assert code == 1, out
    flagged = {int(m) for m in re.findall(r"^snippet\.py:(\d+): error:", out, re.M)}
    assert flagged == {3, 4, 5, 6, 7, 8, 9}, out


# --- Runtime ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def spinlattice():
    import spinlattice
    return spinlattice


def runtime_signature(obj):
    posonly, args = [], []
    for p in inspect.signature(obj).parameters.values():
        assert p.default is p.empty and p.annotation is p.empty, obj
        if p.kind is p.POSITIONAL_ONLY:
            posonly.append(p.name)
        else:
            assert p.kind is p.POSITIONAL_OR_KEYWORD, obj
            args.append(p.name)
    return posonly, args


def declared_parameters(text):
    """Receiver and parameter names of a SURFACE entry."""
    params = text[1:text.index(")")].split(", ")
    slash = params.index("/")
    return params[:slash], [p.split(":")[0] for p in params[slash + 1:]]


def test_module_surface(spinlattice):
    assert spinlattice.__doc__ == ""
    assert spinlattice.__all__ == ["Lattice"]
    assert [n for n in vars(spinlattice) if not n.startswith("_")] == ["Lattice"]
    Lattice = spinlattice.Lattice
    assert (Lattice.__module__, Lattice.__name__, Lattice.__qualname__) == ("builtins", "Lattice", "Lattice")


def test_runtime_signatures_match_the_declared_ones(spinlattice):
    Lattice = spinlattice.Lattice
    assert Lattice.__text_signature__ == "(width, height, temperature, h_z)"
    assert not Lattice.__doc__  # "" or None by interpreter version: nothing past the signature
    assert runtime_signature(Lattice) == ([], declared_parameters(SURFACE["__new__"])[1])
    assert runtime_signature(Lattice.__repr__) == (["self"], [])
    for name in METHODS:
        method = vars(Lattice)[name]
        posonly, args = declared_parameters(SURFACE[name])
        assert method.__text_signature__ == f"($self{''.join(', ' + a for a in args)})", name
        # the docstring is the text signature alone, or with a one-line summary
        assert (method.__doc__ is None) == (name not in SUMMARISED), name
        assert runtime_signature(method) == (posonly, args), name


def test_runtime_attributes_are_the_declared_ones(spinlattice):
    Lattice = spinlattice.Lattice
    declared = {k.split(".")[0] for k in SURFACE}
    defined = {n for n in vars(Lattice) if not n.startswith("__")} | {"__new__", "__repr__"}
    assert defined == declared
    lat = Lattice(2, 2, 1.0, 0.0)
    for name in {k.split(".")[0] for k in SURFACE if k.endswith(".getter")}:
        prop = vars(Lattice)[name]
        assert inspect.isgetsetdescriptor(prop) and prop.__doc__ is None, name
        if f"{name}.setter" in SURFACE:
            setattr(lat, name, 0.5)
            assert getattr(lat, name) == 0.5
        else:
            with pytest.raises(AttributeError):
                setattr(lat, name, 3)
