"""What several toolkit tests share: the exact states of a small torus, and the
study command run as a user runs it, in a child process of its own."""

import subprocess
import sys

import numpy as np
import pytest


def _torus_states(m, n):
    """Total energy and magnetisation of every state of the m x n torus."""
    N = m * n
    states = np.arange(2**N, dtype=np.int64)[:, None]
    s = (1 - 2 * ((states >> np.arange(N)) & 1)).astype(np.int64).reshape(-1, m, n)
    E = -(s * np.roll(s, 1, 1)).sum((1, 2)) - (s * np.roll(s, 1, 2)).sum((1, 2))
    return E, s.sum((1, 2))


@pytest.fixture
def torus_states():
    return _torus_states


def study(*arguments, **popen):
    """`python -m spinlattice_studies ARGUMENTS` started in a session of its own (so
    that a signal to its process group reaches it and its workers only), faulthandler
    on, its output captured as text."""
    command = [sys.executable, "-X", "faulthandler", "-m", "spinlattice_studies", *map(str, arguments)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, **popen)
