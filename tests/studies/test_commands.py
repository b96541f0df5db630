"""The example commands end to end in their quick forms: the sweep's CSV, the
demo's table and figures, the study's estimates and reanalysis, and the
refusals that come before any chain runs."""

import csv
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest
import critical
import demo
import sweep
from ising import exact, scaling
from ising.reporting import with_error
from ising.storage import load_series

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_sweep_command_writes_one_row_per_chain(tmp_path):
    out = tmp_path / "chains.csv"
    argv = ["--sizes", "6,8", "--temperatures", "2.0,3.0", "--rules", "wolff", "--measurements", "50"]
    assert sweep.main(argv + ["--equilibration", "10", "--workers", "1", "--csv", str(out)]) == 0
    rows = list(csv.DictReader(out.read_text().splitlines()))
    assert sorted((int(r["L"]), float(r["T"])) for r in rows) == [(6, 2.0), (6, 3.0), (8, 2.0), (8, 3.0)]
    assert all(r["rule"] == "wolff" and r["measurements"] == "50" for r in rows)
    with pytest.raises(SystemExit):
        sweep.main(["--sizes", "8", "--temperatures", "2.0", "--rules", "heatbath"])


def test_sweep_with_saved_chains_reuses_them(tmp_path, capsys):
    argv = ["--sizes", "6", "--temperatures", "2.0,3.0", "--rules", "wolff", "--measurements", "40", "--workers", "1"]
    first, again = tmp_path / "first.csv", tmp_path / "again.csv"
    assert sweep.main(argv + ["--chains", str(tmp_path / "chains"), "--csv", str(first)]) == 0
    assert "Resuming" not in capsys.readouterr().out
    assert sweep.main(argv + ["--chains", str(tmp_path / "chains"), "--csv", str(again)]) == 0
    assert "Resuming: 2 of 2 chains reused" in capsys.readouterr().out
    assert again.read_text() == first.read_text()


def test_commands_refuse_before_computing(capsys):
    assert sweep.main([]) == 2
    assert "--sizes" in capsys.readouterr().err
    # Each script checks what it needs before it imports the rest or runs a chain.
    for script in ("demo.py", "critical.py"):
        hide = f"import runpy, sys; sys.modules['scipy'] = None; sys.argv = ['{script}', '--quick']; sys.path[0] = {str(EXAMPLES)!r}; " \
               f"runpy.run_path({str(EXAMPLES / script)!r}, run_name='__main__')"
        done = subprocess.run([sys.executable, "-c", hide], capture_output=True, text=True, timeout=60)
        assert done.returncode == 2 and "needs scipy" in done.stderr and "chains" not in done.stdout, (script, done)


def test_demo_quick_writes_table_and_figures(tmp_path, capsys):
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
    for row in csv.DictReader(rows):
        assert row["trusted"] in ("0", "1")
        L, T = int(row["L"]), float(row["T"])
        assert float(row["e_exact_finite"]) == pytest.approx(exact.finite_energy(T, L), rel=1e-12)
        assert float(row["c_exact_finite"]) == pytest.approx(exact.finite_specific_heat(T, L), rel=1e-12)


def test_study_smoke_run_writes_estimates_and_reanalyses_alike(tmp_path):
    assert critical.main(["--quick", "--workers", "1", "--out", str(tmp_path)]) == 0
    first = json.loads((tmp_path / "critical.json").read_text())
    for key in ("Tc", "gamma_over_nu", "nu", "beta_over_nu"):
        assert math.isfinite(first[key]) and first[key + "_err"] > 0, key
    assert first["Tc"] == pytest.approx(critical.EXACT["Tc"], abs=0.1)
    assert (tmp_path / "critical.png").read_bytes()[:4] == b"\x89PNG"
    by_size = scaling.series_by_size(load_series(tmp_path / "critical_series.npz"))
    again = scaling.analyse(by_size, first["blocks"], workers=1)
    for key in ("Tc", "Tc_err", "nu", "nu_err", "beta_over_nu"):
        assert getattr(again, key) == pytest.approx(first[key], rel=1e-12), key
    # Replicates fanned out to worker processes, each reading the series from disk: the same analysis.
    pooled = scaling.analyse(by_size, first["blocks"], tmp_path / "critical_series.npz", workers=2)
    assert json.dumps(pooled.as_json()) == json.dumps(again.as_json())


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
    assert with_error(value, err) == text
