"""Seeding from the OS source, with faults injected through the getrandom shim."""

import errno

import oracle
from seeded import run_seeded, seed_bytes

ATTEMPT = """
import errno
def attempt(w=3, h=3):
    try:
        return repr(spinlattice.Lattice(w, h, 1.0, 0.0))
    except BaseException as e:
        return [type(e).__module__, type(e).__name__, str(e)]
"""


def panic(text):
    return ["pyo3_runtime", "PanicException", "from_os_rng failed: " + text]


def test_getrandom_faults_and_retries():
    got = run_seeded(ATTEMPT + f"""
res = {{}}
attempt(1, 1)  # the source is probed on first use; faults below hit real requests
calls = shim.shim_calls()
shim.shim_fail_next(errno.EIO, 1); res["eio"] = attempt()
shim.shim_push_fault(0, 0, 1); res["zero"] = attempt()
shim.shim_push_fault(-2, 0, 1); res["minus2"] = attempt()
shim.shim_push_fault(33, 0, 1); res["too_long"] = attempt()
shim.shim_fail_next(0, 1); res["errno0"] = attempt()
shim.shim_fail_next(errno.EINTR, 3)
seed({seed_bytes(42)!r})
shim.shim_set_chunk(5)
res["eintr_short"] = attempt()
res["calls"] = shim.shim_calls() - calls
emit(res)
""")
    assert got["eio"] == panic("Input/output error (os error 5)")
    assert got["zero"] == got["minus2"] == got["too_long"] == panic("unexpected situation")
    assert got["errno0"] == panic("errno: did not return a positive value")
    # EINTR retries, and a seed arriving 5 bytes at a time is the same seed
    assert got["eintr_short"] == repr(oracle.Lattice(3, 3, 1.0, 0.0, seed_bytes(42)))
    assert got["calls"] == 5 + 3 + 7


def test_probe_chooses_the_source_once():
    # ENOSYS or EPERM from the zero-length probe: /dev/urandom from then on
    for err in (errno.ENOSYS, errno.EPERM):
        got = run_seeded(ATTEMPT + f"""
calls = shim.shim_calls()
shim.shim_fail_next({err}, 1)
first = attempt()
second = attempt(2, 2)
emit([first, second, shim.shim_calls() - calls])
""")
        assert "sites: [" in got[0] and "index: 8 }" in got[1]
        assert got[2] == 1
    # any other probe error keeps getrandom, which then serves the seed
    got = run_seeded(ATTEMPT + f"""
calls = shim.shim_calls()
shim.shim_fail_next(errno.EIO, 1)
seed({seed_bytes(43)!r})
emit([attempt(), shim.shim_calls() - calls])
""")
    assert got == [repr(oracle.Lattice(3, 3, 1.0, 0.0, seed_bytes(43))), 2]
