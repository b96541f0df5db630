"""The examples' package on the path, and the exact states of a small torus
that several example tests compare with."""

import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))


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
