"""Statistics and finite-size scaling: the estimators on series with known
answers, the per-chain summary and its trust test, reweighting against exact
samples and a direct run, and the scaling fits."""

import math

import numpy as np
import pytest
from spinlattice_studies import scaling, stats
from spinlattice_studies.chains import Chain, run_chain


def test_estimators_on_series_with_known_answers():
    rng = np.random.default_rng(7)
    # AR(1) with coefficient r: tau_int = (1 + r) / (2 (1 - r)) = 4.5 for r = 0.8.
    r, x = 0.8, np.empty(200_000)
    x[0] = 0.0
    noise = rng.normal(size=x.size)
    for i in range(1, x.size):
        x[i] = r * x[i - 1] + noise[i]
    assert stats.tau_int(x) == pytest.approx(4.5, rel=0.1)
    assert stats.tau_int(rng.normal(size=50_000)) == pytest.approx(0.5, abs=0.05)
    # Jackknife over blocks of independent samples: sigma / sqrt(N).
    iid = rng.normal(size=(32, 2000))
    leave_one_out = (iid.sum() - iid.sum(axis=1)) / (iid.size - 2000)
    assert stats.jackknife(leave_one_out) == pytest.approx(1 / math.sqrt(iid.size), rel=0.35)

    L = np.array([16, 32, 64, 128, 256], dtype=float)
    fit = scaling.power_fit(L, 3.0 * L**1.75)
    assert fit.p == pytest.approx(1.75, abs=1e-12) and fit.a == pytest.approx(3.0)
    fit = scaling.power_fit(L, 2.0 * L**-0.125 * (1 + 0.8 / L), omega=1.0)
    assert fit.p == pytest.approx(-0.125, abs=1e-8) and fit.b == pytest.approx(0.8, abs=1e-6)
    assert scaling.power_fit(L, np.where(L == 64, math.nan, 3.0 * L**1.75)).p == pytest.approx(1.75, abs=1e-12)
    assert math.isnan(scaling.power_fit(L[:3], [1.0, math.nan, 2.0], omega=1.0).p)
    y_inf, c, chi2 = scaling.extrapolate(L, 2.269 + 0.5 * L**-2.0, np.full(L.size, 1e-4), 2.0)
    assert y_inf == pytest.approx(2.269, abs=1e-12) and c == pytest.approx(0.5) and chi2 < 1e-12
    # A replicate or a size pair without a crossing is left out, not fatal.
    with_gap = np.append(leave_one_out, math.nan)
    assert stats.jackknife(with_gap) == pytest.approx(stats.jackknife(leave_one_out), rel=1e-12)
    gap_err = np.array([1e-4, math.nan, 1e-4, 1e-4, 1e-4])
    assert scaling.extrapolate(L, 2.269 + 0.5 * L**-2.0, gap_err, 2.0)[0] == pytest.approx(2.269, abs=1e-12)
    assert math.isnan(scaling.extrapolate(L[:2], [2.3, math.nan], [1e-3, 1e-3], 2.0)[0])
    grid = np.linspace(2.0, 2.6, 13)
    assert scaling.crossing(lambda t: 1 - t, lambda t: 0.5 * (1 - t) - 0.6385, grid) == pytest.approx(2.277)
    assert math.isnan(scaling.crossing(lambda t: t, lambda t: t + 1, grid))
    assert scaling.maximum(lambda t: 5 - (t - 2.3141) ** 2, grid) == pytest.approx((2.3141, 5.0), abs=1e-6)


def test_gaps_are_left_out_per_column_and_per_point():
    # Replicates of three quantities: one lost a single value, one never had any.
    rng = np.random.default_rng(13)
    reps = rng.normal(size=(16, 3))
    reps[4, 1] = math.nan
    reps[:, 2] = math.nan
    err = stats.jackknife(reps)
    assert err[0] == pytest.approx(stats.jackknife(reps[:, 0]), rel=1e-12)
    assert err[1] == pytest.approx(stats.jackknife(np.delete(reps[:, 1], 4)), rel=1e-12)
    assert math.isnan(err[2])
    # A size without a value, or without an error, counts as absent from the fit.
    L = np.array([8, 16, 32, 64, 128], dtype=float)
    y = 2.27 + 0.4 * L**-1.0 + 1e-4 * rng.normal(size=L.size)
    e = np.full(L.size, 1e-4)
    rest = np.arange(L.size) != 2
    want = scaling.extrapolate(L[rest], y[rest], e[rest], 1.0)
    assert scaling.extrapolate(L, np.where(rest, y, math.nan), e, 1.0) == pytest.approx(want, rel=1e-12)
    assert scaling.extrapolate(L, y, np.where(rest, e, math.nan), 1.0) == pytest.approx(want, rel=1e-12)
    z = 3.0 * L**1.75 * (1 + 0.01 * rng.normal(size=L.size))
    fit, kept = scaling.power_fit(L, z, 0.01 * z * np.where(rest, 1.0, math.nan)), scaling.power_fit(L[rest], z[rest], 0.01 * z[rest])
    assert (fit.p, fit.a, fit.chi2, fit.dof) == pytest.approx((kept.p, kept.a, kept.chi2, kept.dof), rel=1e-12)
    # Leaving out block j of n samples removes exactly that block, and the blocks cover the series.
    s = stats.Series(4, 2.3, np.arange(10.0), -np.arange(10.0))
    removed = [sorted(set(range(10)) - set(s.without_block(j, 3).energy)) for j in range(3)]
    assert sum(removed, []) == list(range(10))
    assert all(list(-s.without_block(j, 3).magnetization) == list(s.without_block(j, 3).energy) for j in range(3))


def test_estimators_on_series_with_known_moments():
    # Energy alternating between two values, magnetisation saturated with random sign.
    L, T, n = 4, 2.0, 16
    energies = [-20.0, -12.0] * 64
    magnetizations = [n if i % 3 else -n for i in range(128)]
    out = stats.summarize(energies, magnetizations, L, T)
    assert out.e == pytest.approx(-1.0)
    assert out.C == pytest.approx(n * 0.25**2 / T**2)  # variance of e is 0.25^2
    assert out.m == pytest.approx(1.0)
    assert out.chi_prime == pytest.approx(0.0, abs=1e-12)
    assert out.U == pytest.approx(2.0 / 3.0)
    assert out.e_err == pytest.approx(0.0, abs=1e-12)  # every bin holds whole periods
    # Two levels of |m| with equal weight: <m^2> = 5/8, <m^4> = 17/32 for m in {1, 1/2}.
    out = stats.summarize([0.0] * 128, [n, n / 2] * 64, L, T)
    assert out.m == pytest.approx(0.75)
    assert out.chi_prime == pytest.approx(n * (5 / 8 - 0.75**2) / T)
    assert out.U == pytest.approx(1 - (17 / 32) / (3 * (5 / 8) ** 2))


def test_summary_flags_a_slow_mode_in_any_series():
    rng = np.random.default_rng(3)
    L, T, n = 8, 2.5, 64
    fast = list(rng.normal(-100, 5, 8192))
    m = [float(v) for v in rng.choice([-40, 40, 20, -20], 8192)]
    assert stats.summarize(fast, m, L, T).trusted == 1
    # The energy wanders in 16 long plateaus: |m| alone looks fine, the run is too short.
    slow = list(np.repeat(rng.normal(-100, 5, 16), 512) + rng.normal(0, 1, 8192))
    out = stats.summarize(slow, m, L, T)
    assert not out.trusted and out.tau_slowest in ("e", "e2") and out.tau_max > out.tau_m


def test_reweighting_exact_samples_of_a_small_torus(torus_states):
    # Independent samples of the 4 x 4 torus drawn from its exact Boltzmann weights at two temperatures.
    E, M = (v.astype(float) for v in torus_states(4, 4))
    rng = np.random.default_rng(5)

    def draw(T, n=40000):
        p = np.exp(-(E - E.min()) / T)
        i = rng.choice(E.size, n, p=p / p.sum())
        return stats.Series(4, T, E[i], M[i])

    def exact_at(T):
        p = np.exp(-(E - E.min()) / T)
        p /= p.sum()
        return {"e": p @ E / 16, "m": p @ np.abs(M) / 16, "m2": p @ M**2 / 256}

    chains = [draw(2.2), draw(2.8)]
    for T in (2.2, 2.4, 2.5, 2.8, 3.0):
        got, want = stats.combined_moments(chains, T), exact_at(T)
        for k in want:
            assert getattr(got, k) == pytest.approx(want[k], abs=0.01), (T, k)


def _series(L, T, measurements):
    r = run_chain(Chain(L, T, "wolff", 200, measurements))
    return stats.Series(L, T, r.energy, r.magnetization)


def test_reweighting_matches_a_direct_run():
    L, T0, T1, blocks = 8, 2.3, 2.45, 20
    sim, direct = _series(L, T0, 10000), _series(L, T1, 10000)
    for name in ("e", "m", "U", "chi_prime"):
        reps_rw = [getattr(stats.observables_at([sim.without_block(j, blocks)], T1), name) for j in range(blocks)]
        reps_dir = [getattr(stats.observables_at([direct.without_block(j, blocks)], T1), name) for j in range(blocks)]
        rw, dr = getattr(stats.observables_at([sim], T1), name), getattr(stats.observables_at([direct], T1), name)
        err = math.hypot(stats.jackknife(np.array(reps_rw)), stats.jackknife(np.array(reps_dir)))
        assert abs(rw - dr) < 4.5 * err, (name, rw, dr, err)
    # Reweighting to the simulated temperature is the identity.
    mom, neff = stats.reweighted_moments(sim, T0)
    assert mom.e == pytest.approx(sim.energy.mean() / L**2) and neff == pytest.approx(sim.energy.size)


def test_scaling_fit_adds_a_correction_only_when_the_power_law_fails():
    sizes = [16, 32, 64, 128, 256]
    L = np.array(sizes, dtype=float)
    rng = np.random.default_rng(11)
    err = 0.002 * 3.0 * L**1.75
    clean = 3.0 * L**1.75 * (1 + 0.002 * rng.normal(size=L.size))
    reps = [list(clean * (1 + 0.0005 * rng.normal(size=L.size))) for _ in range(16)]
    f = scaling.scaling_fit(sizes, list(clean), reps, err)
    assert not f.correction and f.p == pytest.approx(1.75, abs=0.01)
    forced = scaling.scaling_fit(sizes, list(clean), reps, err, always_correct=True)
    assert forced.correction and forced.p == pytest.approx(1.75, abs=0.03) and forced.err > f.err
    # A 16 % correction at L = 16 falling off like the leading one: the plain fit is rejected, the corrected one recovers p.
    b = 0.16 * 16**scaling.OMEGA
    bent = 3.0 * L**1.75 * (1 + b * L**-scaling.OMEGA)
    f = scaling.scaling_fit(sizes, list(bent), [list(bent)] * 16, err)
    assert f.correction and f.plain_p_value < 0.01
    assert f.p == pytest.approx(1.75, abs=1e-6) and f.correction_amplitude == pytest.approx(b, rel=1e-4)
