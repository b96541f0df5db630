"""The seed stand-in for the tests and the benchmarks: native/getrandom_shim.c,
preloaded with LD_PRELOAD on Linux, or native/getentropy_shim.c, inserted with
DYLD_INSERT_LIBRARIES on macOS.

The module seeds each lattice from the C library's getrandom (Linux) or getentropy
(macOS), looked up at run time. A child interpreter started with the stand-in loaded
hands queued bytes to the next request, so its lattices take the seeds the parent
chose. Windows has no stand-in: `unavailable()` says why. Nothing here imports the
module.
"""

import atexit
import ctypes
import functools
import os
import platform
import shutil
import subprocess
import sys
import tempfile

NATIVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native")
MACOS = sys.platform == "darwin"
SOURCE = os.path.join(NATIVE, "getentropy_shim.c" if MACOS else "getrandom_shim.c")
# The child finds the inserted library by this path: ctypes.CDLL(None) may not see inserted images on macOS.
PATH_VARIABLE = "SPINLATTICE_SEED_SHIM"


def unavailable():
    """Why no child interpreter here can be given chosen seeds, or None when one can."""
    if not (sys.platform.startswith("linux") or MACOS):
        return f"no seed stand-in on {sys.platform}: the module seeds from the system's generator there"
    cc = os.environ.get("CC", "cc")
    if not shutil.which(cc):
        return f"the seed stand-in is compiled with {cc!r}, which is not installed"
    return None


@functools.lru_cache(maxsize=None)
def path():
    """The shared library, compiled once per process."""
    out_dir = tempfile.mkdtemp(prefix="spinlattice-shim-")
    atexit.register(shutil.rmtree, out_dir, True)
    cc = os.environ.get("CC", "cc")
    if MACOS:
        # Built for the interpreter's own arch, which is what dyld inserts it into.
        library = os.path.join(out_dir, "getentropy_shim.dylib")
        command = [cc, "-arch", platform.machine(), "-shared", "-fPIC", "-O1", "-Wall", "-Werror",
                   "-o", library, SOURCE]
    else:
        library = os.path.join(out_dir, "getrandom_shim.so")
        command = [cc, "-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-o", library, SOURCE, "-ldl"]
    subprocess.run(command, check=True, capture_output=True)
    return library


def preloaded(env):
    """A copy of the environment `env` in which child processes load the shim first."""
    env = dict(env)
    if MACOS:
        env["DYLD_INSERT_LIBRARIES"] = ":".join(filter(None, [path(), env.get("DYLD_INSERT_LIBRARIES")]))
        env[PATH_VARIABLE] = path()
    else:
        env["LD_PRELOAD"] = (path() + " " + env.get("LD_PRELOAD", "")).strip()
    return env


def load():
    """In a process started with the shim preloaded: its functions, typed for ctypes."""
    if MACOS:
        shim = ctypes.CDLL(os.environ[PATH_VARIABLE])
        _check_inserted(shim)
    else:
        shim = ctypes.CDLL(None)
    shim.shim_queue_seed.argtypes = [ctypes.c_char_p]
    shim.shim_queued.restype = ctypes.c_size_t
    shim.shim_fail_next.argtypes = [ctypes.c_int, ctypes.c_int]
    shim.shim_fail_next.restype = None
    return shim


def _check_inserted(shim):
    """The module's run-time lookup must find the stand-in's getentropy, not the system's."""
    system = ctypes.CDLL("/usr/lib/libSystem.B.dylib")
    system.dlsym.argtypes, system.dlsym.restype = [ctypes.c_void_p, ctypes.c_char_p], ctypes.c_void_p
    found = system.dlsym(ctypes.c_void_p(-2), b"getentropy")  # RTLD_DEFAULT
    if found != ctypes.cast(shim.getentropy, ctypes.c_void_p).value:
        raise RuntimeError("getentropy is not the stand-in's: this interpreter ignored DYLD_INSERT_LIBRARIES "
                           "(a hardened runtime without the entitlement to allow it?)")
