"""tools/gate_wheel.py: a module that would not run on glibc 2.17, or that would not
give glibc's exp, or that exports more than its entry points, never reaches dist/."""

import os
import subprocess
import sys
import zipfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
pytest.importorskip("elftools")
import gate_wheel  # noqa: E402

# Built by this machine's gcc: glibc 2.34's trylock, an exp of its own, one export too many.
UNSOUND = r"""
#include <pthread.h>
double exp(double x) { return x; }
__attribute__((visibility("default"))) int helper(pthread_mutex_t *m) { return pthread_mutex_trylock(m); }
__attribute__((visibility("default"))) void *PyInit_spinlattice(void) { return 0; }
"""


@pytest.fixture(scope="module")
def unsound_module(tmp_path_factory):
    out = tmp_path_factory.mktemp("gate")
    source, library = out / "module.c", out / "spinlattice.cpython-311-x86_64-linux-gnu.so"
    source.write_text(UNSOUND)
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O1", "-o", str(library), str(source),
                    "-lpthread"], check=True)
    return library


def test_each_fault_is_named(unsound_module):
    faults = gate_wheel.module_faults(unsound_module.read_bytes())
    assert any("pthread_mutex_trylock@GLIBC_2.34" in f and "newer than glibc 2.17" in f for f in faults), faults
    assert any(f.startswith("exp must be glibc's") and "defined inside the module" in f for f in faults), faults
    assert "exports helper" in faults and "exports exp" in faults
    assert not any("PyInit_spinlattice" in f for f in faults)


def test_a_wheel_without_its_license_is_refused(unsound_module, tmp_path):
    wheel = tmp_path / "spinlattice-0.1.0-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(unsound_module, unsound_module.name)
        z.writestr("spinlattice-0.1.0.dist-info/WHEEL", "Wheel-Version: 1.0\n")
    faults = gate_wheel.wheel_faults(str(wheel))
    assert "has no LICENSE in its .dist-info" in faults
    assert any(f.startswith(unsound_module.name + ": ") for f in faults)
