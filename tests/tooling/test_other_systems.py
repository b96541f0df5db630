"""The macOS and Windows wheels: the builds cibuildwheel picks from pyproject.toml, the
cibuildwheel and the archs the workflow runs it with, the workflow under actionlint, the
check that lets a Windows wheel through, and the getentropy stand-in that the suite
inserts into its seeded children on macOS."""

import ctypes
import errno
import os
import re
import shutil
import subprocess
import sys
import tomllib
import zipfile
from importlib.metadata import version
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WORKFLOW = ROOT / ".github" / "workflows" / "wheels.yml"
ABIS = ["cp311", "cp312", "cp313", "cp313t", "cp314", "cp314t"]
GETENTROPY_SHIM = ROOT / "tests" / "native" / "getentropy_shim.c"


def build_identifiers(platform):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    done = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return sorted(done.stdout.split())


@pytest.mark.parametrize("platform, tags", [
    ("macos", ["macosx_arm64", "macosx_x86_64"]),
    ("windows", ["win_amd64"]),
    ("linux", []),  # Linux wheels come from `make dist` only
])
def test_cibuildwheel_selects_exactly_the_intended_builds(platform, tags):
    assert build_identifiers(platform) == sorted(f"{abi}-{tag}" for abi in ABIS for tag in tags)


def test_workflow_runs_the_checked_cibuildwheel_once_per_arch():
    text = WORKFLOW.read_text()
    assert re.findall(r"cibuildwheel==(\S+)", text) == [version("cibuildwheel")]
    with open(ROOT / "pyproject.toml", "rb") as f:
        config = tomllib.load(f)["tool"]["cibuildwheel"]
    runner_archs = re.findall(r"^ +archs: (\S+)$", text, re.M)
    assert sorted(runner_archs) == sorted(config["macos"]["archs"] + config["windows"]["archs"])


def test_workflow_is_clean_under_actionlint_with_shellcheck():
    actionlint = shutil.which("actionlint", path=os.pathsep.join([os.path.dirname(sys.executable),
                                                                  os.environ.get("PATH", "")]))
    assert actionlint, "actionlint is not installed (make pytest-tooling installs it)"
    done = subprocess.run([actionlint, "-verbose", str(WORKFLOW)], cwd=ROOT, capture_output=True, text=True,
                          timeout=120)
    out = done.stdout + done.stderr
    assert done.returncode == 0, out
    assert 'Rule "shellcheck" was disabled' not in out, out


@pytest.mark.parametrize("target", ["aarch64-macos", "x86_64-macos"])
def test_getentropy_stand_in_compiles_for_macos(tmp_path, zig, target):
    done = subprocess.run([zig, "cc", "-target", target, "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", "-Werror",
                           "-o", str(tmp_path / "getentropy_shim.dylib"), str(GETENTROPY_SHIM)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr


def test_getentropy_stand_in_serves_failures_then_queue_then_the_system(tmp_path):
    """Driven here with glibc's getentropy behind it, which behaves as macOS's does."""
    library = tmp_path / "getentropy_shim.so"
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-o", str(library),
                    str(GETENTROPY_SHIM), "-ldl"], check=True)
    shim = ctypes.CDLL(str(library), use_errno=True)
    shim.getentropy.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    shim.shim_queued.restype = ctypes.c_size_t

    def call(length):
        buf = ctypes.create_string_buffer(length or 1)
        ctypes.set_errno(0)
        return shim.getentropy(buf, length), ctypes.get_errno(), buf.raw[:length]

    shim.shim_queue_seed(bytes(range(32)))
    shim.shim_queue_seed(bytes(range(32, 64)))
    shim.shim_fail_next(errno.EIO, 2)
    assert [call(32)[:2], call(0)[:2]] == [(-1, errno.EIO), (-1, errno.EIO)]
    assert shim.shim_queued() == 64 and call(40) == (0, 0, bytes(range(40)))
    result, _, tail = call(32)  # the queue's last 24 bytes, then the system's
    assert (result, tail[:24], shim.shim_queued()) == (0, bytes(range(40, 64)), 0)
    assert call(257)[:2] == (-1, errno.EIO)  # over getentropy's limit
    assert call(256)[:2] == (0, 0) and len({call(32)[2] for _ in range(3)}) == 3


def test_windows_wheel_check_refuses_a_module_that_needs_msvcp140(tmp_path, zig_cc, import_library):
    """Modules built here by zig for Windows: one that needs only the system and its C
    runtime, one that also imports from msvcp140.dll."""
    msvcp = import_library(tmp_path, "msvcp140.dll", ["_Query_perf_counter"])
    sources = {
        "static": "__declspec(dllexport) void *PyInit_spinlattice(void) { return 0; }\n",
        "msvcp": "__declspec(dllimport) long long _Query_perf_counter(void);\n"
                 "__declspec(dllexport) void *PyInit_spinlattice(void) { return (void *)_Query_perf_counter(); }\n",
    }
    results = {}
    for name, source in sources.items():
        module = zig_cc("x86_64-windows-gnu", source, tmp_path / f"{name}.pyd", "-shared", f"-L{tmp_path}", msvcp)
        wheel = tmp_path / f"{name}" / "spinlattice-0.1.0-cp311-cp311-win_amd64.whl"
        wheel.parent.mkdir()
        with zipfile.ZipFile(wheel, "w") as archive:
            archive.write(module, "spinlattice.cp311-win_amd64.pyd")
        done = subprocess.run([sys.executable, str(ROOT / "tools" / "check_windows_wheel.py"), str(wheel)],
                              capture_output=True, text=True, timeout=60)
        results[name] = (done.returncode, "KERNEL32.dll" in done.stdout, "needs msvcp140.dll" in done.stderr)
    assert results == {"static": (0, True, False), "msvcp": (1, True, True)}
