"""Helpers the tooling's tests share: tools/ on the import path, zig and what it builds,
and the exports of the installed Linux build, from which the expected records follow."""

import os
import subprocess
import sys
from pathlib import Path

import lief
import pytest

import spinlattice

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import check_module_imports  # noqa: E402


@pytest.fixture(scope="session")
def zig():
    path = os.environ.get("ZIG")
    assert path, "ZIG names zig's driver (make pytest-tooling sets it)"
    return path


@pytest.fixture(scope="session")
def zig_cc(zig):
    def build(target, source, output, *flags):
        """Compiles and links C source text for a zig target into output."""
        source_file = output.with_suffix(".c")
        source_file.write_text(source)
        done = subprocess.run([zig, "cc", "-target", target, "-O1", "-g0", "-o", str(output), str(source_file),
                               *flags], capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        return output
    return build


@pytest.fixture(scope="session")
def import_library(zig):
    def make(folder, dll, names):
        """A MinGW import library in folder for dll's names; returns its -l flag."""
        stem = dll.removesuffix(".dll")
        (folder / f"{stem}.def").write_text(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"    {n}\n" for n in names))
        subprocess.run([zig, "dlltool", "-m", "i386:x86-64", "-d", str(folder / f"{stem}.def"),
                        "-l", str(folder / f"lib{stem}.a")], check=True)
        return f"-l{stem}"
    return make


@pytest.fixture(scope="session")
def linux_exports():
    """The names the installed module (this machine's build) exports."""
    module = lief.ELF.parse(spinlattice.__file__)  # kept alive: its symbols are views into it
    return [s.name for s in module.exported_symbols]


@pytest.fixture(scope="session")
def records(linux_exports):
    """The introspection records every build exports: those of the Linux build, in order."""
    numbers = sorted(int(m.group(1)) for m in map(check_module_imports.RECORD.match, linux_exports) if m)
    return [f"SPINLATTICE_INTROSPECTION_{k}" for k in numbers]
