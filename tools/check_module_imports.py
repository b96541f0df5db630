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
import os
import re
import sys

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


def read_uleb(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def trie_names(data):
    """The names in a Mach-O export trie: each node is its terminal's size and bytes, a
    child count, then each child's edge text and offset."""
    names, stack = [], [(0, "")] if data else []
    while stack:
        pos, prefix = stack.pop()
        size, pos = read_uleb(data, pos)
        if size:
            names.append(prefix)
        pos += size
        count, pos = data[pos], pos + 1
        for _ in range(count):
            end = data.index(b"\0", pos)
            edge = data[pos:end].decode()
            child, pos = read_uleb(data, end + 1)
            stack.append((child, prefix + edge))
    return names


def bind_ordinals(data):
    """Symbol -> library ordinal from dyld's bind opcodes (bind, weak and lazy streams)."""
    found, pos, ordinal, symbol = {}, 0, 0, None
    while pos < len(data):
        opcode, imm = data[pos] & 0xF0, data[pos] & 0x0F
        pos += 1
        if opcode == 0x10:  # SET_DYLIB_ORDINAL_IMM
            ordinal = imm
        elif opcode == 0x20:  # SET_DYLIB_ORDINAL_ULEB
            ordinal, pos = read_uleb(data, pos)
        elif opcode == 0x30:  # SET_DYLIB_SPECIAL_IMM: 0 self, -1 main program, -2 flat lookup
            ordinal = imm - 16 if imm else 0
        elif opcode == 0x40:  # SET_SYMBOL_TRAILING_FLAGS_IMM
            end = data.index(b"\0", pos)
            symbol, pos = data[pos:end].decode(), end + 1
        elif opcode in (0x60, 0x70, 0x80, 0xA0):  # addend, segment and offset, address steps
            _, pos = read_uleb(data, pos)
        elif opcode == 0xC0:  # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
            _, pos = read_uleb(data, pos)
            _, pos = read_uleb(data, pos)
        if opcode in (0x90, 0xA0, 0xB0, 0xC0) and symbol is not None:
            found[symbol] = ordinal
    return found


def chained_import_ordinals(data):
    """Symbol -> library ordinal from the imports of LC_DYLD_CHAINED_FIXUPS."""
    imports_offset, symbols_offset, count, imports_format = (
        int.from_bytes(data[8 + 4 * i:12 + 4 * i], "little") for i in range(4))
    width = {1: 4, 2: 8, 3: 16}[imports_format]
    found = {}
    for i in range(count):
        entry = int.from_bytes(data[imports_offset + width * i:][:4 if width < 16 else 8], "little")
        ordinal = entry & 0xFF if width < 16 else entry & 0xFFFF
        name_offset = entry >> 9 if width < 16 else entry >> 32
        start = symbols_offset + name_offset
        ordinal = ordinal - 256 if width < 16 and ordinal > 0xF0 else ordinal
        found[data[start:data.index(b"\0", start)].decode()] = ordinal
    return found


def macho_summary(path):
    from macholib import mach_o
    from macholib.MachO import MachO

    with open(path, "rb") as f:
        raw = f.read()
    header = MachO(path).headers[0]
    base = header.offset
    arch = mach_o.CPU_TYPE_NAMES.get(header.header.cputype, hex(header.header.cputype)).lower()
    filetype = {mach_o.MH_DYLIB: "dylib", mach_o.MH_BUNDLE: "bundle"}.get(header.header.filetype,
                                                                      str(header.header.filetype))
    libraries, symtab, trie, ordinals = [], None, b"", {}
    for load, command, data in header.commands:
        if load.cmd in (mach_o.LC_LOAD_DYLIB, mach_o.LC_LOAD_WEAK_DYLIB, mach_o.LC_REEXPORT_DYLIB,
                        mach_o.LC_LAZY_LOAD_DYLIB, mach_o.LC_LOAD_UPWARD_DYLIB):
            libraries.append(data.rstrip(b"\0").decode())
        elif load.cmd == mach_o.LC_SYMTAB:
            symtab = command
        elif load.cmd in (mach_o.LC_DYLD_INFO, mach_o.LC_DYLD_INFO_ONLY):
            trie = raw[base + command.export_off:][:command.export_size]
            for off, size in ((command.bind_off, command.bind_size), (command.weak_bind_off, command.weak_bind_size),
                              (command.lazy_bind_off, command.lazy_bind_size)):
                ordinals.update(bind_ordinals(raw[base + off:][:size]))
        elif load.cmd == mach_o.LC_DYLD_EXPORTS_TRIE:
            trie = raw[base + command.dataoff:][:command.datasize]
        elif load.cmd == mach_o.LC_DYLD_CHAINED_FIXUPS:
            ordinals.update(chained_import_ordinals(raw[base + command.dataoff:][:command.datasize]))

    def library(ordinal):
        if ordinal == -2:
            return None  # looked up at load time: the interpreter's symbols
        return libraries[ordinal - 1] if 0 < ordinal <= len(libraries) else f"ordinal {ordinal}"

    def plain(name):
        return name[1:] if name.startswith("_") else name

    undefined = {plain(name): library(ordinal) for name, ordinal in ordinals.items()}
    defines_exp = False
    strings = raw[base + symtab.stroff:][:symtab.strsize]
    for i in range(symtab.nsyms):
        entry = raw[base + symtab.symoff + 16 * i:][:16]
        strx, n_type = int.from_bytes(entry[0:4], "little"), entry[4]
        name = plain(strings[strx:strings.index(b"\0", strx)].decode())
        if n_type & 0x0E == 0 and n_type & 0x01:  # undefined and external: must be bound
            undefined.setdefault(name, "no library")
        elif name == "exp":
            defines_exp = True
    return {"arch": arch, "filetype": filetype, "libraries": libraries, "undefined": undefined,
            "exports": [plain(n) for n in trie_names(trie)], "defines_exp": defines_exp,
            "linux_paths": [p.decode() for p in LINUX_PATHS if p in raw]}


def pe_summary(path):
    import pefile

    pe = pefile.PE(path)
    imports = {entry.dll.decode(): [i.name.decode() for i in entry.imports if i.name]
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    exports = [s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name] \
        if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    raw = pe.__data__
    return {"machine": {0x8664: "x86_64", 0xAA64: "arm64", 0x14C: "i386"}.get(pe.FILE_HEADER.Machine, "?"),
            "pe32plus": pe.OPTIONAL_HEADER.Magic == 0x20B, "dll": pe.is_dll(), "imports": imports,
            "exports": exports, "linux_paths": [p.decode() for p in LINUX_PATHS if p in raw]}


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
