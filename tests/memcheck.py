"""Runs pytest for `make memcheck` in a process that has AddressSanitizer and the
sanitized module loaded.

Only this process checks for leaks when it exits: the programs that tests start
(the C compiler, helper interpreters) inherit the sanitizer, which still reports
memory errors there, but they don't get the exit-time leak check, since
compilers leak by design.
"""

import os
import sys

import pytest

import spinlattice

build = os.path.realpath(os.environ["SPINLATTICE_ASAN_BUILD"])
loaded = os.path.realpath(os.path.dirname(spinlattice.__file__))
if loaded != build:
    sys.exit(f"memcheck: imported {spinlattice.__file__}, not the sanitized module in {build}")
with open("/proc/self/maps") as maps:
    if "libasan" not in maps.read():
        sys.exit("memcheck: AddressSanitizer is not loaded (LD_PRELOAD)")

os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=1", "detect_leaks=0")
sys.exit(pytest.main(sys.argv[1:]))
