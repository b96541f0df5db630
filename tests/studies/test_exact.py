"""Exact results: known values of the infinite lattice, and the finite torus
against a sum over every state."""

import math

import numpy as np
import pytest
from spinlattice_studies import exact
from spinlattice_studies.exact import T_C, onsager_energy, onsager_specific_heat, yang_magnetization


def test_infinite_lattice_matches_known_values():
    assert T_C == pytest.approx(2.269185314213022, rel=1e-15)
    # e(T_c) = -sqrt 2, approached continuously from both sides.
    for T in (T_C, T_C * (1 - 1e-12), T_C * (1 + 1e-12)):
        assert onsager_energy(T) == pytest.approx(-math.sqrt(2), abs=1e-9)
    assert onsager_energy(2.0) == pytest.approx(-1.7455645753125535, rel=1e-13)
    assert onsager_energy(10.0) == pytest.approx(-0.20337739109735486, rel=1e-12)
    assert onsager_energy(0.01) == -2.0
    assert yang_magnetization(2.0) == pytest.approx(0.911319377877496, rel=1e-13)
    assert yang_magnetization(1.5) == pytest.approx(0.9864996026214945, rel=1e-13)
    assert yang_magnetization(T_C) == 0.0 and yang_magnetization(3.0) == 0.0
    assert 0 < yang_magnetization(T_C * (1 - 1e-6)) < 0.25
    # c = de/dT is positive and peaks at T_c.
    c = [onsager_specific_heat(T) for T in (2.0, 2.2, 2.26, 2.28, 2.4)]
    assert all(x > 0 for x in c) and c[0] < c[1] < c[2] and c[3] > c[4]
    for bad in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError):
            onsager_energy(bad)


def enumerate_torus(states, m, n, T):
    """ln Z, energy and specific heat per site of the m x n torus, summed over every state."""
    N = m * n
    E, _ = states(m, n)
    w = np.exp(-(E - E.min()) / T)
    Z = w.sum()
    e, e2 = (w @ E) / Z, (w @ (E * E.astype(float))) / Z
    return math.log(Z) - E.min() / T, e / N, (e2 - e * e) / (N * T * T)


@pytest.mark.parametrize("m, n", [(4, 4), (3, 5), (2, 6)])
def test_finite_torus_formulas_match_enumeration(m, n, torus_states):
    for T in (0.8, 2.0, 2.269, 2.3, 3.5, 20.0):
        log_z, e, c = enumerate_torus(torus_states, m, n, T)
        got = exact.log_partition(T, m, n)
        assert got[0] == pytest.approx(log_z, rel=1e-12)
        assert -got[1] / (m * n) == pytest.approx(e, rel=1e-11)
        assert got[2] / (m * n * T * T) == pytest.approx(c, rel=1e-9)
    # Large lattices approach Onsager's infinite-lattice energy.
    assert exact.finite_energy(2.0, 512) == pytest.approx(onsager_energy(2.0), rel=1e-12)
    assert exact.finite_energy(2.3, 16) == pytest.approx(-1.40607, abs=1e-5)
    with pytest.raises(ValueError):
        exact.finite_energy(0.0, 4)
