"""The getrandom shim (native/getrandom_shim.c), for the tests and the benchmarks.

The module seeds each lattice from the C library's getrandom, looked up at run
time. A child interpreter started with the shim preloaded hands queued bytes to
the next request, so its lattices take the seeds the parent chose. Nothing
here imports the module.
"""

import atexit
import ctypes
import functools
import os
import shutil
import subprocess
import tempfile

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native", "getrandom_shim.c")


@functools.lru_cache(maxsize=None)
def path():
    """The shared library, compiled once per process."""
    out_dir = tempfile.mkdtemp(prefix="spinlattice-shim-")
    atexit.register(shutil.rmtree, out_dir, True)
    library = os.path.join(out_dir, "getrandom_shim.so")
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-o", library, SOURCE, "-ldl"],
                   check=True, capture_output=True)
    return library


def preloaded(env):
    """A copy of the environment `env` in which child processes load the shim first."""
    env = dict(env)
    env["LD_PRELOAD"] = (path() + " " + env.get("LD_PRELOAD", "")).strip()
    return env


def load():
    """In a process started with the shim preloaded: its functions, typed for ctypes."""
    shim = ctypes.CDLL(None)
    shim.shim_queue_seed.argtypes = [ctypes.c_char_p]
    shim.shim_queued.restype = ctypes.c_size_t
    shim.shim_fail_next.argtypes = [ctypes.c_int, ctypes.c_int]
    shim.shim_fail_next.restype = None
    return shim
