"""Lays out one CPython's C headers for building the module for macOS or Windows on
this machine, from that CPython's source tree (Include/ and PC/):

    cross_headers.py macos OUT SOURCE LINUX_PYCONFIG
    cross_headers.py windows OUT SOURCE

macOS has no pyconfig.h to download: the Linux one, with the settings that differ on
macOS overridden (the processor-dependent ones are fixed up by Include/pymacconfig.h
at compile time, as for the universal2 installers). Windows: PC/pyconfig.h as the
default (GIL) build writes it, and OUT/libs/pythonXY.def, the interpreter DLL's
exported API, from which an import library is made.
"""

import argparse
import os
import re
import shutil
import tempfile

# name -> (line on macOS or None to drop it, where the value comes from).
MACOS_SETTINGS = {
    "_XOPEN_SOURCE": (None, "configure.ac: define_xopen_source=no for Darwin"),
    "_XOPEN_SOURCE_EXTENDED": (None, "configure.ac: define_xopen_source=no for Darwin"),
    "_POSIX_C_SOURCE": (None, "configure.ac: define_xopen_source=no for Darwin"),
    "PY_HAVE_PERF_TRAMPOLINE": (None, "configure.ac: perf_trampoline=yes only on x86_64/aarch64-linux-gnu"),
    "HAVE_GETRANDOM": (None, "getrandom() is Linux's; macOS has getentropy()"),
    "HAVE_GETRANDOM_SYSCALL": (None, "the getrandom system call is Linux's"),
    "HAVE_GETENTROPY": ("#define HAVE_GETENTROPY 1", "libSystem has getentropy() since macOS 10.12"),
    "HAVE_PTHREAD_CONDATTR_SETCLOCK": (None, "macOS's pthreads lack pthread_condattr_setclock()"),
    "HAVE_SYS_EPOLL_H": (None, "epoll is Linux's; macOS has kqueue"),
    "HAVE_EPOLL": (None, "epoll is Linux's"),
    "HAVE_EPOLL_CREATE1": (None, "epoll is Linux's"),
    "HAVE_KQUEUE": ("#define HAVE_KQUEUE 1", "macOS's event interface"),
    "MAJOR_IN_SYSMACROS": (None, "macOS defines major() in <sys/types.h>"),
    "HAVE_SYS_SYSMACROS_H": (None, "a glibc header"),
    "HAVE_DYLD_SHARED_CACHE_CONTAINS_PATH": ("#define HAVE_DYLD_SHARED_CACHE_CONTAINS_PATH 1",
                                             "dyld's API since macOS 11"),
}
# Linux's own headers and interfaces: none of them on macOS.
LINUX_ONLY = re.compile(r"^HAVE_(LINUX_\w+|SYS_EVENTFD_H|EVENTFD|MEMFD_CREATE|SYS_MEMFD_H|PRLIMIT|SPLICE"
                        r"|COPY_FILE_RANGE|PIDFD_\w+|SYS_PIDFD_H|GETRESUID|GETRESGID)$")

SETTING = re.compile(r"^\s*(?:#\s*define\s+(\w+)\b.*|/\*\s*#\s*undef\s+(\w+)\s*\*/)\s*$")


def macos_pyconfig(linux):
    """Linux's pyconfig.h with macOS's settings: each override marked with its source."""
    lines, seen = [], set()
    for line in linux.splitlines():
        m = SETTING.match(line)
        name = m and (m.group(1) or m.group(2))
        if name in MACOS_SETTINGS or (name and LINUX_ONLY.match(name)):
            value, why = MACOS_SETTINGS.get(name, (None, "a Linux-only interface"))
            seen.add(name)
            lines.append(f"/* macOS: {why} */")
            lines.append(value or f"/* #undef {name} */")
        else:
            lines.append(line)
    # Settings the Linux build never mentions are added as macOS has them.
    for name, (value, why) in MACOS_SETTINGS.items():
        if name not in seen and value:
            lines += [f"/* macOS: {why} */", value]
    return "\n".join(lines) + "\n"


# PyAPI_FUNC(type) name(  and  PyAPI_DATA(type) name;  with one level of parentheses in type.
API = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(((?:[^()]|\([^()]*\))*)\)\s*\(?\s*\**\s*(\w+)")


def exported_api(include):
    """name -> is_data for every PyAPI_FUNC and PyAPI_DATA declared under include."""
    found = {}
    for root, _, files in os.walk(include):
        for file in sorted(files):
            if file.endswith(".h"):
                with open(os.path.join(root, file), encoding="utf-8", errors="replace") as f:
                    for kind, _, name in API.findall(f.read()):
                        found[name] = kind == "DATA"
    return found


def def_file(dll, api):
    """A module-definition file for dll that exports api."""
    lines = [f"LIBRARY {dll}", "EXPORTS"]
    lines += [f"    {name}{' DATA' if data else ''}" for name, data in sorted(api.items())]
    return "\n".join(lines) + "\n"


def python_version(include):
    """(major, minor) from Include/patchlevel.h."""
    with open(os.path.join(include, "patchlevel.h")) as f:
        text = f.read()
    major = re.search(r"#define\s+PY_MAJOR_VERSION\s+(\d+)", text).group(1)
    minor = re.search(r"#define\s+PY_MINOR_VERSION\s+(\d+)", text).group(1)
    return major, minor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("system", choices=["macos", "windows"])
    parser.add_argument("out")
    parser.add_argument("source")
    parser.add_argument("linux_pyconfig", nargs="?")
    args = parser.parse_args()
    include = os.path.join(args.source, "Include")
    # Built beside OUT and renamed, so a half-written folder is never used.
    parent = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(parent, exist_ok=True)
    tmp = tempfile.mkdtemp(dir=parent)
    os.chmod(tmp, 0o755)
    shutil.copytree(include, os.path.join(tmp, "include"))
    if args.system == "macos":
        if not args.linux_pyconfig:
            parser.error("macos needs LINUX_PYCONFIG")
        with open(args.linux_pyconfig) as f:
            pyconfig = macos_pyconfig(f.read())
    else:
        pc = os.path.join(args.source, "PC")
        # 3.13 ships a template whose one placeholder, Py_GIL_DISABLED, stays off for the default build.
        name = "pyconfig.h.in" if os.path.exists(os.path.join(pc, "pyconfig.h.in")) else "pyconfig.h"
        with open(os.path.join(pc, name)) as f:
            pyconfig = f.read()
        major, minor = python_version(include)
        os.makedirs(os.path.join(tmp, "libs"))
        with open(os.path.join(tmp, "libs", f"python{major}{minor}.def"), "w") as f:
            f.write(def_file(f"python{major}{minor}.dll", exported_api(include)))
    with open(os.path.join(tmp, "include", "pyconfig.h"), "w") as f:
        f.write(pyconfig)
    shutil.rmtree(args.out, ignore_errors=True)
    os.rename(tmp, args.out)


if __name__ == "__main__":
    main()
