"""A throwaway extension module with one no-op METH_NOARGS function: the floor
under any no-argument method call, built once per interpreter with the C
compiler and the interpreter's own headers, and cached outside the checkout."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import sysconfig

SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyObject *noop(PyObject *self, PyObject *unused) { Py_RETURN_NONE; }
static PyMethodDef methods[] = {{"noop", noop, METH_NOARGS, "Does nothing."}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "spinlattice_noop", NULL, -1, methods};
PyMODINIT_FUNC PyInit_spinlattice_noop(void) { return PyModule_Create(&def); }
"""


def cache_dir():
    root = os.environ.get("SPINLATTICE_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "spinlattice")
    return os.path.join(root, "bench")


def noop_module():
    """The module, compiled on first use for this interpreter."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    path = os.path.join(cache_dir(), "spinlattice_noop" + suffix)
    if not os.path.exists(path):
        os.makedirs(cache_dir(), exist_ok=True)
        source = path + ".c"
        with open(source, "w") as f:
            f.write(SOURCE)
        cc = os.environ.get("CC", "cc")
        tmp = f"{path}.{os.getpid()}.tmp"
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-I", sysconfig.get_paths()["include"], "-o", tmp, source],
                       check=True)
        os.replace(tmp, path)
    spec = importlib.util.spec_from_file_location("spinlattice_noop", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


if __name__ == "__main__":
    print(noop_module().noop(), file=sys.stderr)
