"""The derivative estimators of 1/nu: exact on the 4 x 4 torus, where all 65,536
states give every average and derivative, and the combination's errors and
systematic error on synthetic maxima with known correlations and corrections."""

import math
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import optimize
from spinlattice_studies import derivatives as d


@pytest.fixture
def torus(torus_states):
    return tuple(v.astype(float) for v in torus_states(4, 4))


def exact_derivatives(E, M, beta):
    """The three derivatives at beta by the complex step, d f = Im f(beta + ih) / h:
    from the Boltzmann averages alone, with no covariance formula."""
    h = 1e-30
    w = np.exp(-(beta + 1j * h) * (E - E.mean()))
    a = np.abs(M) / 16

    def avg(o):
        return (w @ o) / w.sum()

    U = 1 - avg(a**4) / (3 * avg(a**2) ** 2)
    return d.Derivatives(U.imag / h, np.log(avg(a)).imag / h, np.log(avg(a**2)).imag / h)


def all_states(E, M):
    # Every state once is the exact ensemble at beta = 0, reweightable to any beta.
    return SimpleNamespace(L=4, T=math.inf, energy=E, magnetization=M)


def test_derivatives_and_their_maxima_are_exact_on_the_4x4_torus(torus):
    E, M = torus
    betas = np.linspace(0.15, 0.75, 121)
    curves = d.size_curves([all_states(E, M)], blocks=4, reach=math.inf, betas=betas)
    for i in (10, 48, 100):
        want = exact_derivatives(E, M, betas[i])
        got = [rows[0, i] for rows in curves.values]
        assert got == pytest.approx(list(want), rel=1e-9)
    # d<O>/dbeta > 0 for all three near T_c (order grows as T falls): a sign slip shows here.
    assert all(v > 0 for v in exact_derivatives(E, M, 0.44))
    for name, peak in d.peaks(curves).items():
        assert peak.interior, name
        res = optimize.minimize_scalar(lambda b: -getattr(exact_derivatives(E, M, b), name), bounds=(0.15, 0.75),
                                       method="bounded", options={"xatol": 1e-10})
        assert peak.beta[0] == pytest.approx(res.x, abs=1e-5), name
        assert peak.value[0] == pytest.approx(-res.fun, rel=1e-7), name


def test_a_maximum_outside_the_reliable_range_is_flagged(torus):
    # Reweighting from beta = 0 is reliable only to |beta| sigma_E <= 1, short of every maximum.
    E, M = torus
    chain = all_states(E, M)
    lo, hi = d.reliable_range(chain)
    assert hi == pytest.approx(1 / E.std())
    found = d.peaks(d.size_curves([chain], blocks=4))
    assert not any(p.interior for p in found.values())
    assert all(p.beta[0] == pytest.approx(hi, rel=1e-3) for p in found.values())


def synthetic(values):
    """Peaks from per-size value rows (1 + replicates)."""
    return {L: {k: d.Peak(L, np.zeros_like(v[k]), v[k], True) for k in d.ESTIMATORS} for L, v in values.items()}


SIZES = (16, 32, 64, 128, 256)


def test_combined_error_keeps_the_correlations():
    rng = np.random.default_rng(3)
    B = 16

    def rows(shared):
        out = {}
        for L in SIZES:
            noise = 0.01 * rng.normal(size=(3, B)) / math.sqrt(B)
            if shared:
                noise[:] = noise[0]
            out[L] = {k: 2.0 * L * (1 + np.r_[0.0, n]) for k, n in zip(d.ESTIMATORS, noise)}
        return out

    same = d.estimate_nu(synthetic(rows(shared=True)))
    assert same.one_over_nu == pytest.approx(1.0, abs=1e-12)
    # Three copies of one estimator carry its information once, not three times.
    assert same.one_over_nu_err == pytest.approx(same.fits["dU"].err, rel=1e-9)
    assert np.allclose(same.correlation, 1.0)
    independent = d.estimate_nu(synthetic(rows(shared=False)))
    single = np.mean([f.err for f in independent.fits.values()])
    assert independent.one_over_nu_err == pytest.approx(single / math.sqrt(3), rel=0.3)
    assert independent.L_min == 32 and independent.fits["dln_m2"].sizes == [32, 64, 128, 256]


def test_a_correction_to_scaling_shows_as_a_systematic_error():
    rng = np.random.default_rng(5)
    B = 16

    def rows(b):
        return {L: {k: 3.0 * L * (1 + b / L) * (1 + np.r_[0.0, 0.002 * rng.normal(size=B) / math.sqrt(B)])
                    for k in d.ESTIMATORS} for L in SIZES}

    clean = d.estimate_nu(synthetic(rows(0.0)))
    assert clean.one_over_nu_syst < 2 * clean.one_over_nu_err
    bent = d.estimate_nu(synthetic(rows(3.0)))
    # A 1/L correction pulls the power law low; leaving out L = 32 or adding L = 16 moves it well beyond noise.
    assert bent.one_over_nu < 1 - 5 * bent.one_over_nu_err
    assert bent.one_over_nu_syst > 5 * bent.one_over_nu_err
    background = next(a for a in bent.alternatives if a.name.startswith("a L^p + c"))
    assert background.one_over_nu == pytest.approx(1.0, abs=1e-6)
    assert bent.one_over_nu_syst == pytest.approx(max(abs(a.shift) for a in bent.alternatives), rel=0.05)
