"""tools/check_module_imports.py and tools/cross_headers.py: a macOS or Windows module
that needs more than the interpreter and the system, or exp from elsewhere, is refused;
the headers made for those systems say what those systems' builds say."""

import subprocess
import sys

import pytest

import check_module_imports as check
import cross_headers

LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def sound_macho(records):
    return {"arch": "arm64", "filetype": "dylib", "libraries": [LIBSYSTEM],
            "undefined": {"PyErr_Clear": None, "_Py_Dealloc": None, "exp": LIBSYSTEM, "malloc": LIBSYSTEM},
            "exports": ["PyInit_spinlattice", "_Znwm", "_mh_dylib_header"] + records,
            "defines_exp": False, "linux_paths": []}


def sound_pe(records):
    return {"machine": "x86_64", "pe32plus": True, "dll": True,
            "imports": {"python313.dll": ["PyErr_Clear"], "KERNEL32.dll": ["CloseHandle"],
                        "bcrypt.dll": ["BCryptGenRandom"], "api-ms-win-crt-math-l1-1-0.dll": ["exp"]},
            "exports": ["PyInit_spinlattice"] + records, "linux_paths": []}


def assert_each_fault_named(faults, sound, problems_of):
    """Each fault, put into a sound summary on its own, gives a problem starting with its key."""
    for expected, fault in faults.items():
        summary = sound()
        fault(summary)
        problems = problems_of(summary)
        assert any(p.startswith(expected) for p in problems), (expected, problems)


def test_linux_build_exports_what_every_build_must(linux_exports, records):
    assert check.export_problems(linux_exports) == [] and len(records) >= 2


def test_macho_faults_are_each_named(records):
    assert check.macho_problems(sound_macho(records), "arm64") == []
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
        "introspection records exported": lambda s: s["exports"].remove(records[0]),
        "architecture x86_64": lambda s: s.update(arch="x86_64"),
    }
    assert_each_fault_named(faults, lambda: sound_macho(records), lambda summary: check.macho_problems(summary, "arm64"))


def test_pe_faults_are_each_named(records):
    assert check.pe_problems(sound_pe(records), "python313.dll") == []
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
    assert_each_fault_named(faults, lambda: sound_pe(records), lambda summary: check.pe_problems(summary, "python313.dll"))


# A module in miniature: the interpreter's function, exp as the real module takes it, the
# entry point and the records. FAULTY adds an export and takes exp from the wrong place.
MODULE = r"""
#include <math.h>
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
extern double (*__imp_exp)(double);
#define SYSTEM_EXP __imp_exp
#else
#define EXPORT __attribute__((visibility("default")))
#define SYSTEM_EXP exp
#endif
void PyErr_Clear(void);
%s
#ifdef FAULTY
EXPORT double helper(double x) { return x; }
#ifdef _WIN32
#undef SYSTEM_EXP
#define SYSTEM_EXP exp  /* MinGW's own, linked in */
#else
double exp(double x) { return x; }
#endif
#endif
EXPORT void *PyInit_spinlattice(void) { static volatile double x = 1.0; PyErr_Clear(); return (void *)(long long)SYSTEM_EXP(x); }
"""


@pytest.mark.parametrize("target, faults", [
    ("aarch64-macos.13.3", ["defines exp itself", "exports beyond the entry points and records: exp, helper"]),
    ("x86_64-windows-gnu", ["exp is imported from nowhere", "exports beyond the entry points and records: helper"]),
])
def test_built_modules_are_read_through_lief(tmp_path, zig_cc, import_library, records, target, faults):
    """Modules built here by zig: the sound one passes with every record counted, the faulty
    one is refused with each of its faults named."""
    source = MODULE % "\n".join(f'EXPORT const char {r}[] = "{r}";' for r in records)
    links = ([f"-L{tmp_path}", import_library(tmp_path, "python313.dll", ["PyErr_Clear"])] if "windows" in target
             else ["-undefined", "dynamic_lookup"])
    for faulty, expected in ((False, [f"exports PyInit_spinlattice and {len(records)} records"]), (True, faults)):
        module = zig_cc(target, source, tmp_path / f"module{int(faulty)}", "-shared", *links, *["-DFAULTY"][:faulty])
        done = subprocess.run([sys.executable, check.__file__, str(module), target], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == faulty and all(e in done.stdout for e in expected), done.stdout


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
