"""The example sweep: exact references, its estimators, chains on a local Dask
cluster, and the demo end to end in its quick form."""

import math
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

import sweep  # noqa: E402
from sweep import T_C, Chain, onsager_energy, yang_magnetization  # noqa: E402


def test_exact_references_match_known_values():
    assert T_C == pytest.approx(2.269185314213022, rel=1e-15)
    assert sweep.ellipk(0.0) == pytest.approx(math.pi / 2, rel=1e-15)
    assert sweep.ellipk(0.5) == pytest.approx(1.8540746773013719, rel=1e-14)
    assert sweep.ellipk(0.99) == pytest.approx(3.6956373629898747, rel=1e-13)
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
    c = [sweep.onsager_specific_heat(T) for T in (2.0, 2.2, 2.26, 2.28, 2.4)]
    assert all(x > 0 for x in c) and c[0] < c[1] < c[2] and c[3] > c[4]
    for bad in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError):
            onsager_energy(bad)


def test_estimators_on_series_with_known_moments():
    # Energy alternating between two values, magnetisation saturated with random sign.
    L, T, n = 4, 2.0, 16
    energies = [-20.0, -12.0] * 64
    magnetizations = [n if i % 3 else -n for i in range(128)]
    out = sweep.summarize(energies, magnetizations, L, T)
    assert out["e"] == pytest.approx(-1.0)
    assert out["C"] == pytest.approx(n * 0.25**2 / T**2)  # variance of e is 0.25^2
    assert out["m"] == pytest.approx(1.0)
    assert out["chi_prime"] == pytest.approx(0.0, abs=1e-12)
    assert out["U"] == pytest.approx(2.0 / 3.0)
    assert out["e_err"] == pytest.approx(0.0, abs=1e-12)  # every bin holds whole periods
    # Two levels of |m| with equal weight: <m^2> = 5/8, <m^4> = 17/32 for m in {1, 1/2}.
    out = sweep.summarize([0.0] * 128, [n, n / 2] * 64, L, T)
    assert out["m"] == pytest.approx(0.75)
    assert out["chi_prime"] == pytest.approx(n * (5 / 8 - 0.75**2) / T)
    assert out["U"] == pytest.approx(1 - (17 / 32) / (3 * (5 / 8) ** 2))


def test_sweep_on_local_dask_cluster():
    from distributed import LocalCluster

    budget = (100, 800)
    tasks = [
        Chain(16, 1.5, "metropolis", *budget),
        Chain(16, 1.5, "wolff", *budget),
        Chain(16, 4.0, "metropolis", *budget),
        Chain(16, 4.0, "wolff", *budget),
        Chain(16, 4.0, "wolff", *budget),  # the same chain again must run again
    ]
    with LocalCluster(
        host="127.0.0.1", n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with sweep.open_executor(cluster.scheduler_address) as executor:
            results = sweep.run_sweep(tasks, executor)

    assert [(r["L"], r["T"], r["rule"]) for r in results] == [(t.L, t.T, t.rule) for t in tasks]
    for r in results:
        assert all(type(v) in (int, float, str) for v in r.values()), r
        assert all(math.isfinite(v) for v in r.values() if type(v) is float), r
        assert r["measurements"] == 800 and r["e_err"] > 0 and r["m_err"] > 0
    assert results[3]["e"] != results[4]["e"], "equal tasks were answered by one cached chain"

    for r in results[:2]:  # ordered phase: L = 16 is already close to the infinite lattice
        assert r["m"] == pytest.approx(yang_magnetization(1.5), abs=0.01), r
        assert r["e"] == pytest.approx(onsager_energy(1.5), abs=0.02), r
        assert r["U"] == pytest.approx(2 / 3, abs=0.01), r
    for r in results[2:]:  # disordered: correlation length about one site
        assert r["m"] < 0.25, r
        assert r["e"] == pytest.approx(onsager_energy(4.0), abs=0.04), r
    assert results[1]["updates_per_measurement"] <= 2 < results[3]["updates_per_measurement"]


def test_demo_quick_writes_table_and_figures(tmp_path, capsys):
    import demo

    assert demo.main(["--quick", "--workers", "2", "--out", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    assert "Onsager" in printed and "metropolis" in printed and "wolff" in printed
    for name in ("ising_observables.png", "ising_spins.png"):
        path = tmp_path / name
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 20_000
        assert str(path) in printed
    rows = (tmp_path / "ising_sweep.csv").read_text().splitlines()
    tasks, _ = demo.plan(quick=True)
    assert len(rows) == 1 + len(tasks)
    import csv

    import exact

    for row in csv.DictReader(rows):
        assert row["trusted"] in ("0", "1")
        L, T = int(row["L"]), float(row["T"])
        assert float(row["e_exact_finite"]) == pytest.approx(exact.finite_energy(T, L), rel=1e-12)
        assert float(row["c_exact_finite"]) == pytest.approx(exact.finite_specific_heat(T, L), rel=1e-12)


def test_chain_preparation_and_snapshots():
    from spinlattice import Lattice

    lattice = Lattice(12, 10, 3.0, 0.0)
    sweep._order(lattice)
    assert lattice.get_total_magnetization() == 120 and lattice.h_z == 0.0  # the field must not stay on
    cold, hot = sweep.snapshot(24, 1.5, sweeps=50), sweep.snapshot(24, 5.0, sweeps=50)
    assert len(cold) == len(hot) == 24 * 24 and set(cold) | set(hot) <= {-1, 1}
    assert abs(sum(cold)) / 576 > 0.8 and abs(sum(hot)) / 576 < 0.5


def test_any_executor_runs_chains_and_failures_surface():
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(2) as executor:
        (r,) = sweep.run_sweep([Chain(8, 1.5, "wolff", 20, 40)], executor)
        assert r["L"] == 8 and r["measurements"] == 40
        with pytest.raises(ValueError, match="rule"):
            sweep.run_sweep([Chain(8, 2.0, "wolff", 5, 20), Chain(8, 2.0, "heatbath", 5, 20)], executor)


@pytest.mark.parametrize(
    "value, err, text",
    [
        (-1.74563, 0.00123, "-1.7456(12)"),
        (0.66013, 0.000996, "0.6601(10)"),  # rounds up to three digits: one decimal fewer
        (123.4, 15.2, "123(15)"),
        (0.6666160, 1.3e-8, "0.666616(1)"),  # at most six decimals
        (2.0, 0.0, "2.0000"),
        (2.0, math.nan, "2.0000"),
    ],
)
def test_value_with_error_notation(value, err, text):
    import demo

    assert demo.with_error(value, err) == text
