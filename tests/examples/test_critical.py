"""The examples' physics: exact finite-lattice results against enumeration,
reweighting against a direct run, the estimators on series with known answers,
and the demo's honesty checks."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import analysis as an  # noqa: E402
import exact  # noqa: E402
import sweep  # noqa: E402


def torus_states(m, n):
    """Total energy and magnetisation of every state of the m x n torus."""
    N = m * n
    states = np.arange(2**N, dtype=np.int64)[:, None]
    s = (1 - 2 * ((states >> np.arange(N)) & 1)).astype(np.int64).reshape(-1, m, n)
    E = -(s * np.roll(s, 1, 1)).sum((1, 2)) - (s * np.roll(s, 1, 2)).sum((1, 2))
    return E, s.sum((1, 2))


def enumerate_torus(m, n, T):
    """ln Z, energy and specific heat per site of the m x n torus, summed over every state."""
    N = m * n
    E, _ = torus_states(m, n)
    w = np.exp(-(E - E.min()) / T)
    Z = w.sum()
    e, e2 = (w @ E) / Z, (w @ (E * E.astype(float))) / Z
    return math.log(Z) - E.min() / T, e / N, (e2 - e * e) / (N * T * T)


@pytest.mark.parametrize("m, n", [(4, 4), (3, 5), (2, 6)])
def test_finite_torus_formulas_match_enumeration(m, n):
    for T in (0.8, 2.0, 2.269, 2.3, 3.5, 20.0):
        log_z, e, c = enumerate_torus(m, n, T)
        got = exact.log_partition(T, m, n)
        assert got[0] == pytest.approx(log_z, rel=1e-12)
        assert -got[1] / (m * n) == pytest.approx(e, rel=1e-11)
        assert got[2] / (m * n * T * T) == pytest.approx(c, rel=1e-9)
    # Large lattices approach Onsager's infinite-lattice energy.
    assert exact.finite_energy(2.0, 512) == pytest.approx(sweep.onsager_energy(2.0), rel=1e-12)
    assert exact.finite_energy(2.3, 16) == pytest.approx(-1.40607, abs=1e-5)
    with pytest.raises(ValueError):
        exact.finite_energy(0.0, 4)


def test_estimators_on_series_with_known_answers():
    rng = np.random.default_rng(7)
    # AR(1) with coefficient r: tau_int = (1 + r) / (2 (1 - r)) = 4.5 for r = 0.8.
    r, x = 0.8, np.empty(200_000)
    x[0] = 0.0
    noise = rng.normal(size=x.size)
    for i in range(1, x.size):
        x[i] = r * x[i - 1] + noise[i]
    assert an.tau_int(x) == pytest.approx(4.5, rel=0.1)
    assert an.tau_int(rng.normal(size=50_000)) == pytest.approx(0.5, abs=0.05)
    # Jackknife over blocks of independent samples: sigma / sqrt(N).
    iid = rng.normal(size=(32, 2000))
    leave_one_out = (iid.sum() - iid.sum(axis=1)) / (iid.size - 2000)
    assert an.jackknife(leave_one_out) == pytest.approx(1 / math.sqrt(iid.size), rel=0.35)

    L = np.array([16, 32, 64, 128, 256], dtype=float)
    fit = an.power_fit(L, 3.0 * L**1.75)
    assert fit.p == pytest.approx(1.75, abs=1e-12) and fit.a == pytest.approx(3.0)
    fit = an.power_fit(L, 2.0 * L**-0.125 * (1 + 0.8 / L), omega=1.0)
    assert fit.p == pytest.approx(-0.125, abs=1e-8) and fit.b == pytest.approx(0.8, abs=1e-6)
    assert an.power_fit(L, np.where(L == 64, math.nan, 3.0 * L**1.75)).p == pytest.approx(1.75, abs=1e-12)
    assert math.isnan(an.power_fit(L[:3], [1.0, math.nan, 2.0], omega=1.0).p)
    y_inf, c, chi2 = an.extrapolate(L, 2.269 + 0.5 * L**-2.0, np.full(L.size, 1e-4), 2.0)
    assert y_inf == pytest.approx(2.269, abs=1e-12) and c == pytest.approx(0.5) and chi2 < 1e-12
    # A replicate or a size pair without a crossing is left out, not fatal.
    with_gap = np.append(leave_one_out, math.nan)
    assert an.jackknife(with_gap) == pytest.approx(an.jackknife(leave_one_out), rel=1e-12)
    gap_err = np.array([1e-4, math.nan, 1e-4, 1e-4, 1e-4])
    assert an.extrapolate(L, 2.269 + 0.5 * L**-2.0, gap_err, 2.0)[0] == pytest.approx(2.269, abs=1e-12)
    assert math.isnan(an.extrapolate(L[:2], [2.3, math.nan], [1e-3, 1e-3], 2.0)[0])
    grid = np.linspace(2.0, 2.6, 13)
    assert an.crossing(lambda t: 1 - t, lambda t: 0.5 * (1 - t) - 0.6385, grid) == pytest.approx(2.277)
    assert math.isnan(an.crossing(lambda t: t, lambda t: t + 1, grid))
    assert an.maximum(lambda t: 5 - (t - 2.3141) ** 2, grid) == pytest.approx((2.3141, 5.0), abs=1e-6)


def test_gaps_are_left_out_per_column_and_per_point():
    # Replicates of three quantities: one lost a single value, one never had any.
    rng = np.random.default_rng(13)
    reps = rng.normal(size=(16, 3))
    reps[4, 1] = math.nan
    reps[:, 2] = math.nan
    err = an.jackknife(reps)
    assert err[0] == pytest.approx(an.jackknife(reps[:, 0]), rel=1e-12)
    assert err[1] == pytest.approx(an.jackknife(np.delete(reps[:, 1], 4)), rel=1e-12)
    assert math.isnan(err[2])
    # A size without a value, or without an error, counts as absent from the fit.
    L = np.array([8, 16, 32, 64, 128], dtype=float)
    y = 2.27 + 0.4 * L**-1.0 + 1e-4 * rng.normal(size=L.size)
    e = np.full(L.size, 1e-4)
    rest = np.arange(L.size) != 2
    want = an.extrapolate(L[rest], y[rest], e[rest], 1.0)
    assert an.extrapolate(L, np.where(rest, y, math.nan), e, 1.0) == pytest.approx(want, rel=1e-12)
    assert an.extrapolate(L, y, np.where(rest, e, math.nan), 1.0) == pytest.approx(want, rel=1e-12)
    z = 3.0 * L**1.75 * (1 + 0.01 * rng.normal(size=L.size))
    fit, kept = an.power_fit(L, z, 0.01 * z * np.where(rest, 1.0, math.nan)), an.power_fit(L[rest], z[rest], 0.01 * z[rest])
    assert (fit.p, fit.a, fit.chi2, fit.dof) == pytest.approx((kept.p, kept.a, kept.chi2, kept.dof), rel=1e-12)
    # Leaving out block j of n samples removes exactly that block, and the blocks cover the series.
    s = an.Series(4, 2.3, np.arange(10.0), -np.arange(10.0))
    removed = [sorted(set(range(10)) - set(s.without_block(j, 3).energy)) for j in range(3)]
    assert sum(removed, []) == list(range(10))
    assert all(list(-s.without_block(j, 3).magnetization) == list(s.without_block(j, 3).energy) for j in range(3))


def test_summary_flags_a_slow_mode_in_any_series():
    rng = np.random.default_rng(3)
    L, T, n = 8, 2.5, 64
    fast = list(rng.normal(-100, 5, 8192))
    m = [float(v) for v in rng.choice([-40, 40, 20, -20], 8192)]
    assert sweep.summarize(fast, m, L, T)["trusted"] == 1
    # The energy wanders in 16 long plateaus: |m| alone looks fine, the run is too short.
    slow = list(np.repeat(rng.normal(-100, 5, 16), 512) + rng.normal(0, 1, 8192))
    out = sweep.summarize(slow, m, L, T)
    assert out["trusted"] == 0 and out["tau_slowest"] in ("e", "e2") and out["tau_max"] > out["tau_m"]


def test_reweighting_exact_samples_of_a_small_torus():
    # Independent samples of the 4 x 4 torus drawn from its exact Boltzmann weights at two temperatures.
    E, M = (v.astype(float) for v in torus_states(4, 4))
    rng = np.random.default_rng(5)

    def draw(T, n=40000):
        p = np.exp(-(E - E.min()) / T)
        i = rng.choice(E.size, n, p=p / p.sum())
        return an.Series(4, T, E[i], M[i])

    def exact_at(T):
        p = np.exp(-(E - E.min()) / T)
        p /= p.sum()
        return {"e": p @ E / 16, "m": p @ np.abs(M) / 16, "m2": p @ M**2 / 256}

    chains = [draw(2.2), draw(2.8)]
    for T in (2.2, 2.4, 2.5, 2.8, 3.0):
        got, want = an.combined_moments(chains, T), exact_at(T)
        for k in want:
            assert got[k] == pytest.approx(want[k], abs=0.01), (T, k)


def test_sweep_command_writes_one_row_per_chain(tmp_path):
    import csv

    out = tmp_path / "chains.csv"
    argv = ["--sizes", "6,8", "--temperatures", "2.0,3.0", "--rules", "wolff", "--measurements", "50"]
    assert sweep.main(argv + ["--equilibration", "10", "--workers", "1", "--csv", str(out)]) == 0
    rows = list(csv.DictReader(out.read_text().splitlines()))
    assert sorted((int(r["L"]), float(r["T"])) for r in rows) == [(6, 2.0), (6, 3.0), (8, 2.0), (8, 3.0)]
    assert all(r["rule"] == "wolff" and r["measurements"] == "50" for r in rows)
    with pytest.raises(SystemExit):
        sweep.main(["--sizes", "8", "--temperatures", "2.0", "--rules", "heatbath"])


def _series(L, T, measurements):
    r = sweep.wolff_series(L, T, 200, measurements)
    return an.Series(L, T, np.asarray(r["energy"], float), np.asarray(r["magnetization"], float))


def test_reweighting_matches_a_direct_run():
    L, T0, T1, blocks = 8, 2.3, 2.45, 20
    sim, direct = _series(L, T0, 10000), _series(L, T1, 10000)
    for name in ("e", "m", "U", "chi_prime"):
        reps_rw = [an.observable_at([sim.without_block(j, blocks)], name, T1) for j in range(blocks)]
        reps_dir = [an.observable_at([direct.without_block(j, blocks)], name, T1) for j in range(blocks)]
        rw, dr = an.observable_at([sim], name, T1), an.observable_at([direct], name, T1)
        err = math.hypot(an.jackknife(np.array(reps_rw)), an.jackknife(np.array(reps_dir)))
        assert abs(rw - dr) < 4.5 * err, (name, rw, dr, err)
    # Reweighting to the simulated temperature is the identity.
    mom, neff = an.reweighted_moments(sim, T0)
    assert mom["e"] == pytest.approx(sim.energy.mean() / L**2) and neff == pytest.approx(sim.energy.size)


def test_metropolis_and_wolff_agree_where_both_are_trusted():
    # Below T_c, where short Metropolis runs that miss the rare excursions of |m| underestimate chi'.
    import demo

    met = sweep.run_chain(16, 2.1, "metropolis", *demo.BUDGET["metropolis"])
    wolff = sweep.run_chain(16, 2.1, "wolff", *demo.BUDGET["wolff"])
    assert met["trusted"] and wolff["trusted"]
    for key in ("e", "m", "chi_prime", "C", "U"):
        assert abs(met[key] - wolff[key]) < 4.5 * math.hypot(met[key + "_err"], wolff[key + "_err"]), key


def test_commands_refuse_before_computing(monkeypatch, capsys):
    import demo

    assert sweep.main([]) == 2
    assert "--sizes" in capsys.readouterr().err

    def no_chains(*args, **kwargs):
        raise AssertionError("chains ran before the dependency check")

    monkeypatch.setattr(sweep, "open_executor", no_chains)
    monkeypatch.setattr(demo, "PLOTTING_DEPENDENCIES", ("matplotlib", "no_such_plotting_module"))
    assert demo.main(["--quick"]) != 0
    assert "no_such_plotting_module" in capsys.readouterr().err


def test_scaling_fit_adds_a_correction_only_when_the_power_law_fails():
    import critical

    sizes = [16, 32, 64, 128, 256]
    L = np.array(sizes, dtype=float)
    rng = np.random.default_rng(11)
    err = 0.002 * 3.0 * L**1.75
    clean = 3.0 * L**1.75 * (1 + 0.002 * rng.normal(size=L.size))
    reps = [list(clean * (1 + 0.0005 * rng.normal(size=L.size))) for _ in range(16)]
    f = critical.scaling_fit(sizes, list(clean), reps, err)
    assert not f["correction"] and f["p"] == pytest.approx(1.75, abs=0.01)
    forced = critical.scaling_fit(sizes, list(clean), reps, err, always_correct=True)
    assert forced["correction"] and forced["p"] == pytest.approx(1.75, abs=0.03) and forced["err"] > f["err"]
    # A 16 % correction at L = 16 falling off like the leading one: the plain fit is rejected, the corrected one recovers p.
    b = 0.16 * 16**critical.OMEGA
    bent = 3.0 * L**1.75 * (1 + b * L**-critical.OMEGA)
    f = critical.scaling_fit(sizes, list(bent), [list(bent)] * 16, err)
    assert f["correction"] and f["plain_p_value"] < 0.01
    assert f["p"] == pytest.approx(1.75, abs=1e-6) and f["correction_amplitude"] == pytest.approx(b, rel=1e-4)


def test_untrusted_runs_double_up_to_their_limit():
    # Metropolis at T_c on 16 x 16: a hundred sweeps are far too few.
    short = sweep.run_chain(16, 2.27, "metropolis", 10, 100)
    assert short["measurements"] == 100 and short["trusted"] == 0
    longer = sweep.run_chain(16, 2.27, "metropolis", 10, 100, 400)
    assert longer["measurements"] == 400 and longer["trusted"] == 0
    # Well mixed: 100 measurements a bin leave room for its tau's own scatter.
    quick = sweep.run_chain(8, 4.0, "wolff", 10, 3200, 6400)
    assert quick["measurements"] == 3200 and quick["trusted"] == 1


def test_study_smoke_run_writes_estimates_and_reanalyses_alike(tmp_path):
    import json

    import critical

    assert critical.main(["--quick", "--workers", "1", "--out", str(tmp_path)]) == 0
    first = json.loads((tmp_path / "critical.json").read_text())
    for key in ("Tc", "gamma_over_nu", "nu", "beta_over_nu"):
        assert math.isfinite(first[key]) and first[key + "_err"] > 0, key
    assert first["Tc"] == pytest.approx(critical.EXACT["Tc"], abs=0.1)
    assert (tmp_path / "critical.png").read_bytes()[:4] == b"\x89PNG"
    by_size = critical._series_by_size(critical.load_series(tmp_path / "critical_series.npz"))
    again = critical.analyse(by_size, first["blocks"], workers=1)
    for key in ("Tc", "Tc_err", "nu", "nu_err", "beta_over_nu"):
        assert again[key] == pytest.approx(first[key], rel=1e-12), key
    # Replicates fanned out to worker processes, each reading the series from disk: the same analysis.
    pooled = critical.analyse(by_size, first["blocks"], tmp_path / "critical_series.npz", workers=2)
    assert json.dumps(pooled) == json.dumps(again)
