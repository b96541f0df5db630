"""tools/check_module_imports.py and tools/cross_headers.py: a macOS or Windows module
that needs more than the interpreter and the system, or exp from elsewhere, is refused;
the headers made for those systems say what those systems' builds say."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import check_module_imports as check  # noqa: E402
import cross_headers  # noqa: E402

LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
RECORDS = [f"SPINLATTICE_INTROSPECTION_{k}" for k in range(20)]


def sound_macho():
    return {"arch": "arm64", "filetype": "dylib", "libraries": [LIBSYSTEM],
            "undefined": {"PyErr_Clear": None, "_Py_Dealloc": None, "exp": LIBSYSTEM, "malloc": LIBSYSTEM},
            "exports": ["PyInit_spinlattice", "_Znwm", "_mh_dylib_header"] + RECORDS,
            "defines_exp": False, "linux_paths": []}


def sound_pe():
    return {"machine": "x86_64", "pe32plus": True, "dll": True,
            "imports": {"python313.dll": ["PyErr_Clear"], "KERNEL32.dll": ["CloseHandle"],
                        "bcrypt.dll": ["BCryptGenRandom"], "api-ms-win-crt-math-l1-1-0.dll": ["exp"]},
            "exports": ["PyInit_spinlattice"] + RECORDS, "linux_paths": []}


def assert_each_fault_named(faults, sound, problems_of):
    """Each fault, put into a sound summary on its own, gives a problem starting with its key."""
    for expected, fault in faults.items():
        summary = sound()
        fault(summary)
        problems = problems_of(summary)
        assert any(p.startswith(expected) for p in problems), (expected, problems)


def test_macho_faults_are_each_named():
    assert check.macho_problems(sound_macho(), "arm64") == []
    faults = {
        "links /usr/local/lib/libstdc++.6.dylib": lambda s: s["libraries"].append("/usr/local/lib/libstdc++.6.dylib"),
        "needs getrandom": lambda s: s["undefined"].update(getrandom=LIBSYSTEM),
        "needs __errno_location": lambda s: s["undefined"].update(__errno_location=LIBSYSTEM),
        "binds the interpreter's PyErr_Clear": lambda s: s["undefined"].update(PyErr_Clear="/opt/libpython3.13.dylib"),
        "defines exp": lambda s: s.update(defines_exp=True),
        "exp is bound to None": lambda s: s["undefined"].update(exp=None),
        "contains the path /dev/urandom": lambda s: s["linux_paths"].append("/dev/urandom"),
        "exports beyond the entry points and records: helper": lambda s: s["exports"].append("helper"),
        "PyInit_spinlattice is not exported": lambda s: s["exports"].remove("PyInit_spinlattice"),
        "introspection records exported": lambda s: s["exports"].remove("SPINLATTICE_INTROSPECTION_3"),
        "architecture x86_64": lambda s: s.update(arch="x86_64"),
    }
    assert_each_fault_named(faults, sound_macho, lambda summary: check.macho_problems(summary, "arm64"))


def test_pe_faults_are_each_named():
    assert check.pe_problems(sound_pe(), "python313.dll") == []
    faults = {
        "imports msvcp140.dll": lambda s: s["imports"].update({"MSVCP140.dll": ["?_Xlength_error@std@@YAXPEBD@Z"]}),
        "imports libwinpthread-1.dll": lambda s: s["imports"].update({"libwinpthread-1.dll": ["pthread_once"]}),
        "imports libc++.dll": lambda s: s["imports"].update({"libc++.dll": ["_Znwy"]}),
        "exp is imported from ['msvcrt.dll']": lambda s: (s["imports"].pop("api-ms-win-crt-math-l1-1-0.dll"),
                                                           s["imports"].update({"msvcrt.dll": ["exp"]})),
        "does not import python313.dll": lambda s: s["imports"].update({"python312.dll": s["imports"].pop("python313.dll")}),
        "exports beyond the entry points and records: _ZNSt12length_error": lambda s: s["exports"].append(
            "_ZNSt12length_errorC2EPKc"),
        "x86_64 PE32 DLL": lambda s: s.update(pe32plus=False),
    }
    assert_each_fault_named(faults, sound_pe, lambda summary: check.pe_problems(summary, "python313.dll"))


def test_macho_tables_are_read_as_dyld_reads_them():
    # Root: no terminal, two edges; the second leads to a node with two terminal children.
    leaf = b"\x03\x00\x80\x01\x00"  # a terminal of 3 bytes (flags 0, address 0x80), no children
    root_edges = [(b"_PyInit_spinlattice", 60), (b"_SPINLATTICE_INTROSPECTION_", 70)]
    root = b"\x00" + bytes([2]) + b"".join(e + b"\0" + bytes([o]) for e, o in root_edges)
    inner = b"\x00\x02" + b"0\0" + bytes([80]) + b"1\0" + bytes([90])
    trie = bytearray(100)
    for offset, data in ((0, root), (60, leaf), (70, inner), (80, leaf), (90, leaf)):
        trie[offset:offset + len(data)] = data
    assert sorted(check.trie_names(bytes(trie))) == [
        "_PyInit_spinlattice", "_SPINLATTICE_INTROSPECTION_0", "_SPINLATTICE_INTROSPECTION_1"]
    # Flat lookup for the interpreter's symbol, then libSystem (ordinal 1) for exp, each bound once.
    binds = (b"\x72\x10" + b"\x3e" + b"\x40_PyErr_Clear\0" + b"\x90" + b"\x11" + b"\x40_exp\0"
             + b"\xc0\x02\x08" + b"\x00")
    assert check.bind_ordinals(binds) == {"_PyErr_Clear": -2, "_exp": 1}
    # The same two imports as Apple's newer linkers write them: chained fixups, 32-bit import entries.
    symbols = b"\0_PyErr_Clear\0_exp\0"
    header = b"".join(v.to_bytes(4, "little") for v in (0, 0, 28, 36, 2, 1, 0))
    imports = (0xFE | 1 << 9).to_bytes(4, "little") + (1 | 14 << 9).to_bytes(4, "little")
    assert check.chained_import_ordinals(header + imports + symbols) == {"_PyErr_Clear": -2, "_exp": 1}


def test_cross_headers_follow_each_systems_build(tmp_path):
    linux = "\n".join(["#define _GNU_SOURCE 1", "#define _POSIX_C_SOURCE 200809L", "#define _XOPEN_SOURCE 700",
                       "#define HAVE_LINUX_RANDOM_H 1", "#define PY_HAVE_PERF_TRAMPOLINE 1",
                       "/* #undef HAVE_KQUEUE */", "#define SIZEOF_LONG 8"])
    macos = cross_headers.macos_pyconfig(linux)
    assert "#define _GNU_SOURCE 1" in macos and "#define SIZEOF_LONG 8" in macos
    for gone in ("_POSIX_C_SOURCE 2", "_XOPEN_SOURCE 7", "HAVE_LINUX_RANDOM_H 1", "PY_HAVE_PERF_TRAMPOLINE 1"):
        assert f"#define {gone}" not in macos
    assert "#define HAVE_KQUEUE 1" in macos
    include = tmp_path / "Include"
    (include / "cpython").mkdir(parents=True)
    (include / "object.h").write_text("PyAPI_FUNC(PyObject *) PyObject_Str(PyObject *);\n"
                                      "PyAPI_DATA(PyTypeObject) PyType_Type;\n")
    (include / "cpython" / "pystate.h").write_text(
        "PyAPI_FUNC(void (*)(int))\n    _PyHandler_Get(void);\nPyAPI_DATA(int) Py_Flags[];\n")
    text = cross_headers.def_file("python313.dll", cross_headers.exported_api(str(include)))
    assert text.splitlines() == ["LIBRARY python313.dll", "EXPORTS", "    PyObject_Str", "    PyType_Type DATA",
                                 "    Py_Flags DATA", "    _PyHandler_Get"]
