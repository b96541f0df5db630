"""Checks a module built for macOS or Windows: the file is what the target loads, and it
needs only the interpreter and the system, with exp from the system's C library.

    check_module_imports.py FILE TARGET [--python-dll python313.dll]

TARGET is the zig target it was built for (aarch64-macos.13.3, x86_64-macos.13.3,
x86_64-windows-gnu). Mach-O: linked only to libSystem (and libc++), undefined symbols only
the interpreter's and the system's, none of Linux's, exp bound to libSystem, no path of a
Linux random device, exports only the entry points and the records. PE: a PE32+ DLL that
imports only the interpreter's DLL and system DLLs (no C++ or GCC runtime DLL), exp from
the UCRT, the same exports. Prints one line per file, or the problems and exits 1.
"""

import argparse
import re
import sys

import lief

# LIEF logs the parts of zig's Mach-O images it cannot read, none of which the checks use;
# a misread that mattered shows as a problem below.
lief.logging.disable()

ENTRY_POINTS = {"PyInit_spinlattice", "PyModExport_spinlattice"}
RECORD = re.compile(r"^SPINLATTICE_INTROSPECTION_(\d+)$")
# What only Linux's C library or kernel offers; none may be referenced elsewhere.
LINUX_ONLY = {"getrandom", "__errno_location", "__xpg_strerror_r", "syscall", "futex", "__libc_start_main",
              "secure_getenv", "__cxa_thread_atexit_impl", "gnu_get_libc_version"}
LINUX_PATHS = (b"/dev/urandom", b"/dev/random")

MACHO_LIBRARIES = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"}
# zig's Mach-O linker exports these whatever it is told: the image's own header and the
# statically linked C++ runtime's replaceable operator new and delete (weak definitions).
MACHO_LINKER_EXPORTS = {"_mh_dylib_header", "_mh_bundle_header", "__dso_handle"}
OPERATOR_NEW_DELETE = re.compile(r"^_Z(nw|na|dl|da)[mPv]")

WINDOWS_SYSTEM_DLL = re.compile(r"^(kernel32|bcrypt|ntdll|ucrtbase|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$", re.I)
UCRT_DLL = re.compile(r"^(ucrtbase|api-ms-win-crt-math-l1-1-0)\.dll$", re.I)


def export_problems(exports, allowed_extra=lambda name: False):
    """Problems with the exported names: entry points and consecutive records, nothing else."""
    problems = []
    if "PyInit_spinlattice" not in exports:
        problems.append("PyInit_spinlattice is not exported")
    records = sorted(int(m.group(1)) for m in map(RECORD.match, exports) if m)
    if records != list(range(len(records))) or len(records) < 2:
        problems.append(f"introspection records exported: {records}, not 0..N with N >= 1")
    stray = sorted(n for n in exports if n not in ENTRY_POINTS and not RECORD.match(n) and not allowed_extra(n))
    if stray:
        problems.append(f"exports beyond the entry points and records: {', '.join(stray)}")
    return problems


def macho_problems(summary, arch):
    """summary: arch, filetype, libraries, undefined {name: library or None for
    dynamic lookup}, exports, defines_exp, linux_paths. Names without Mach-O's underscore."""
    problems = []
    if summary["arch"] != arch:
        problems.append(f"architecture {summary['arch']}, not {arch}")
    if summary["filetype"] not in ("dylib", "bundle"):
        problems.append(f"file type {summary['filetype']}, not a loadable module")
    for lib in sorted(set(summary["libraries"]) - MACHO_LIBRARIES):
        problems.append(f"links {lib}")
    for name, lib in sorted(summary["undefined"].items()):
        if name in LINUX_ONLY:
            problems.append(f"needs {name}, which only Linux has")
        elif name.startswith(("Py", "_Py")):
            if lib is not None:
                problems.append(f"binds the interpreter's {name} to {lib}, not to the loading interpreter")
        elif lib is None:
            problems.append(f"{name} is looked up at load time in any image: neither the interpreter's nor bound")
    if summary["defines_exp"]:
        problems.append("defines exp itself")
    elif summary["undefined"].get("exp") != "/usr/lib/libSystem.B.dylib":
        problems.append(f"exp is bound to {summary['undefined'].get('exp')}, not libSystem")
    problems += [f"contains the path {p}" for p in summary["linux_paths"]]
    problems += export_problems(summary["exports"],
                                lambda n: n in MACHO_LINKER_EXPORTS or bool(OPERATOR_NEW_DELETE.match(n)))
    return problems


def pe_problems(summary, python_dll):
    """summary: machine, dll, pe32plus, imports {dll: [names]}, exports, linux_paths."""
    problems = []
    if summary["machine"] != "x86_64" or not summary["pe32plus"] or not summary["dll"]:
        problems.append(f"{summary['machine']} {'PE32+' if summary['pe32plus'] else 'PE32'} "
                        f"{'DLL' if summary['dll'] else 'program'}, not an x86-64 PE32+ DLL")
    imports = {dll.lower(): names for dll, names in summary["imports"].items()}
    if python_dll.lower() not in imports:
        problems.append(f"does not import {python_dll}")
    for dll in sorted(imports):
        if dll != python_dll.lower() and not WINDOWS_SYSTEM_DLL.match(dll):
            problems.append(f"imports {dll}, which is neither the interpreter's nor a system DLL")
    for dll, names in sorted(imports.items()):
        for name in sorted(set(names) & LINUX_ONLY):
            problems.append(f"imports {name} from {dll}, which only Linux has")
    exp_from = sorted(dll for dll, names in imports.items() if "exp" in names)
    if not any(UCRT_DLL.match(dll) for dll in exp_from):
        problems.append(f"exp is imported from {exp_from or 'nowhere'}, not the UCRT")
    problems += [f"contains the path {p}" for p in summary["linux_paths"]]
    problems += export_problems(summary["exports"])
    return problems


def macho_summary(path):
    fat = lief.MachO.parse(path)  # kept alive: the binary and its symbols are views into it
    binary, macho = fat.at(0), lief.MachO
    # The image's own name (LC_ID_DYLIB) is not a library it loads.
    libraries = [lib.name for lib in binary.libraries if lib.command != macho.LoadCommand.TYPE.ID_DYLIB]

    def bound_to(binding):
        if binding is None:
            return "no library"
        if binding.library_ordinal == -2:
            return None  # looked up at load time: the interpreter's symbols
        return binding.library.name if binding.library else f"ordinal {binding.library_ordinal}"

    def plain(name):
        return name[1:] if name.startswith("_") else name

    undefined, exports, defines_exp = {}, [], False
    for symbol in binary.symbols:
        if symbol.category == macho.Symbol.CATEGORY.UNDEFINED:
            undefined[plain(symbol.name)] = bound_to(symbol.binding_info)
        elif symbol.name == "_exp":
            defines_exp = True
        if symbol.has_export_info:
            exports.append(plain(symbol.name))
    return {"arch": binary.header.cpu_type.name.lower(), "filetype": binary.header.file_type.name.lower(),
            "libraries": libraries, "undefined": undefined, "exports": exports, "defines_exp": defines_exp,
            "linux_paths": linux_paths(path)}


def pe_summary(path):
    pe = lief.PE.parse(path)
    # Delay-loaded DLLs are loaded all the same, only later.
    imports = {entry.name: [i.name for i in entry.entries if i.name] for entry in [*pe.imports, *pe.delay_imports]}
    exports = [e.name for e in pe.get_export().entries if e.name] if pe.has_exports else []
    machine = pe.header.machine.name
    return {"machine": {"AMD64": "x86_64", "I386": "i386"}.get(machine, machine.lower()),
            "pe32plus": pe.optional_header.magic == lief.PE.PE_TYPE.PE32_PLUS,
            "dll": pe.header.has_characteristic(lief.PE.Header.CHARACTERISTICS.DLL), "imports": imports,
            "exports": exports, "linux_paths": linux_paths(path)}


def linux_paths(path):
    with open(path, "rb") as f:
        raw = f.read()
    return [p.decode() for p in LINUX_PATHS if p in raw]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("target")
    parser.add_argument("--python-dll", default="python313.dll")
    args = parser.parse_args()
    processor, system = args.target.split("-")[:2]
    name = args.file
    if system.startswith("macos"):
        summary = macho_summary(args.file)
        problems = macho_problems(summary, {"aarch64": "arm64"}.get(processor, processor))
        python = sum(n.startswith(("Py", "_Py")) for n in summary["undefined"])
        line = (f"Mach-O {summary['arch']} {summary['filetype']}, links {', '.join(summary['libraries'])}; "
                f"{python} symbols from the interpreter, {len(summary['undefined']) - python} from the system "
                f"(exp from {summary['undefined'].get('exp')})")
    elif system == "windows":
        summary = pe_summary(args.file)
        problems = pe_problems(summary, args.python_dll)
        exp_from = [dll for dll, names in summary["imports"].items() if "exp" in names]
        line = (f"PE32+ {summary['machine']} DLL, imports {', '.join(summary['imports'])} "
                f"(exp from {', '.join(exp_from)})")
    else:
        parser.error(f"no check for {args.target}")
    records = sum(bool(RECORD.match(n)) for n in summary["exports"])
    if problems:
        print(f"{name}: " + "\n  ".join(["not as it must be:"] + problems))
        sys.exit(1)
    print(f"== {name}: {line}; exports {', '.join(sorted(set(summary['exports']) & ENTRY_POINTS))} "
          f"and {records} records")


if __name__ == "__main__":
    main()
