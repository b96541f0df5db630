"""The Lattice class is shared by every module object of a process, so a second
interpreter must be refused at import rather than handed objects of the first."""

import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import spinlattice
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    sub = interpreters.create()
    interpreters.run_string(sub, '''
    try:
        import spinlattice
    except ImportError as error:
        print("refused:", error)
    else:
        print("imported")
    ''')
    lattice = spinlattice.Lattice(4, 4, 2.0, 0.0)
    lattice.simulation_step()
    print("main still works:", len(lattice.as_array()))
    """
)


def test_subinterpreter_import_is_refused_and_main_keeps_working():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    # Unbuffered (-u): the subinterpreter has a stdout of its own, which nothing flushes at exit.
    out = subprocess.run([sys.executable, "-u", "-c", CHILD], capture_output=True, text=True, timeout=60, cwd="/")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused:")
    assert lines[1] == "main still works: 16"
