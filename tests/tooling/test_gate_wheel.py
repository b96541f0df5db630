"""tools/gate_wheel.py: a module that would not give glibc's exp, or that exports more
than its entry points and records, never reaches dist/; nor does a wheel without its
LICENSE. What it needs of glibc is auditwheel's to judge."""

import os
import subprocess
import zipfile

import pytest

import gate_wheel
import spinlattice

# Built by this machine's compiler: an exp of its own and one export too many.
UNSOUND = r"""
double exp(double x) { return x; }
__attribute__((visibility("default"))) int helper(int x) { return x + 1; }
__attribute__((visibility("default"))) void *PyInit_spinlattice(void) { return 0; }
"""


@pytest.fixture(scope="module")
def unsound_module(tmp_path_factory):
    out = tmp_path_factory.mktemp("gate")
    source, library = out / "module.c", out / "spinlattice.cpython-311-x86_64-linux-gnu.so"
    source.write_text(UNSOUND)
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O1", "-o", str(library), str(source)], check=True)
    return library


def test_each_fault_is_named_and_the_built_module_has_none(unsound_module):
    faults = gate_wheel.module_faults(unsound_module.read_bytes())
    assert faults == ["exp must be glibc's, imported from libm.so.6; it is defined inside the module",
                      "exports exp", "exports helper"]
    with open(spinlattice.__file__, "rb") as module:
        assert gate_wheel.module_faults(module.read()) == []


def test_a_wheel_without_its_license_is_refused(unsound_module, tmp_path):
    wheel = tmp_path / "spinlattice-0.1.0-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(unsound_module, unsound_module.name)
        z.writestr("spinlattice-0.1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
    faults = gate_wheel.wheel_faults(str(wheel))
    assert "has no LICENSE in its .dist-info" in faults
    assert any(f.startswith(unsound_module.name + ": ") for f in faults)
