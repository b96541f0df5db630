"""The study command end to end in its quick forms: the sweep's CSV and series,
the demo's table and figures, the study's estimates and reanalysis, and the
refusals that come before any chain runs, down to a bare install."""

import csv
import json
import math
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from spinlattice_studies import critical, demo, exact, scaling
from spinlattice_studies.chains import ChainResult
from spinlattice_studies.cli import main
from spinlattice_studies.reporting import with_error
from spinlattice_studies.storage import ChainStore

QUICK_SWEEP = ["--sizes", "6,8", "--temperatures", "2.0,3.0", "--rules", "wolff", "--measurements", "50",
               "--equilibration", "10", "--workers", "1"]


def test_sweep_writes_one_row_and_one_series_file_per_chain_and_reanalyses(tmp_path, capsys):
    assert main(["sweep", *QUICK_SWEEP, "--out", str(tmp_path)]) == 0
    assert "Resuming" not in capsys.readouterr().out
    first = (tmp_path / "sweep.csv").read_text()
    rows = list(csv.DictReader(first.splitlines()))
    assert sorted((int(r["L"]), float(r["T"])) for r in rows) == [(6, 2.0), (6, 3.0), (8, 2.0), (8, 3.0)]
    assert all(r["rule"] == "wolff" and r["measurements"] == "50" and r["trusted"] in "01" for r in rows)
    # Each chain's series, read with numpy alone, gives back its row.
    for r in rows:
        path = tmp_path / "sweep_chains" / f"wolff_L{r['L']}_T{float(r['T']):.10f}.npz"
        with np.load(path) as f:
            energy, header = f["energy"], json.loads(bytes(f["header"]).decode())
        assert energy.size == 50 and header["plan"]["L"] == int(r["L"])
        assert float(r["e"]) == pytest.approx(energy.mean() / int(r["L"]) ** 2, rel=1e-12)
    # Again: every chain reused; rebuilt from the series alone: the same CSV.
    assert main(["sweep", *QUICK_SWEEP, "--out", str(tmp_path)]) == 0
    assert "Resuming: 4 of 4 chains reused" in capsys.readouterr().out
    assert (tmp_path / "sweep.csv").read_text() == first
    (tmp_path / "sweep.csv").unlink()
    assert main(["sweep", *QUICK_SWEEP, "--out", str(tmp_path), "--reanalyse"]) == 0
    assert (tmp_path / "sweep.csv").read_text() == first
    assert main(["sweep", *QUICK_SWEEP, "--out", str(tmp_path / "empty"), "--reanalyse"]) == 1
    assert "run it without --reanalyse" in capsys.readouterr().err


def test_sweep_in_a_field_from_ordered_starts(tmp_path):
    argv = ["sweep", "--sizes", "8", "--temperatures", "2.0,3.0", "--rules", "metropolis", "--field", "0.5",
            "--start", "down", "--equilibration", "300", "--measurements", "200", "--workers", "1"]
    assert main(argv + ["--out", str(tmp_path)]) == 0
    rows = list(csv.DictReader((tmp_path / "sweep.csv").read_text().splitlines()))
    assert [(r["h"], r["start"]) for r in rows] == [("0.5", "down")] * 2
    assert all(r["e_onsager"] == "" or math.isnan(float(r["e_onsager"])) for r in rows)  # no exact values in a field
    for r in rows:  # the field turned the down start over
        with np.load(tmp_path / "sweep_chains" / f"metropolis_L8_T{float(r['T']):.10f}_h+0.5000000000_down.npz") as f:
            assert f["magnetization"][-50:].mean() > 0


def test_commands_refuse_before_computing(tmp_path, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["sweep", "--sizes", "8", "--temperatures", "2.0", "--rules", "wolff", "--field", "0.1", "--out", str(tmp_path)])
    assert stop.value.code == 2 and "takes no field" in capsys.readouterr().err
    for argv in (["sweep"], ["sweep", "--sizes", "8", "--temperatures", "2.0", "--rules", "heatbath"],
                 ["sweep", "--sizes", "1", "--temperatures", "2.0"], ["critical", "--sizes", "16"]):
        with pytest.raises(SystemExit) as stop:
            main([*argv, "--out", str(tmp_path)])
        assert stop.value.code == 2, argv
    assert not any(tmp_path.iterdir()), "a refused command wrote something"


def _bare(code, tmp_path, hidden=("numpy", "scipy", "matplotlib")):
    """Run `code` in a child interpreter that cannot import `hidden`."""
    prelude = "import sys\n" + "".join(f"sys.modules[{name!r}] = None\n" for name in hidden)
    return subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True, timeout=120, cwd=tmp_path)


def test_a_bare_install_has_t_c_and_names_the_extra_for_the_rest(tmp_path):
    done = _bare("from spinlattice_studies import exact\n"
                 "print(exact.T_C, exact.onsager_energy(2.0), exact.yang_magnetization(2.0))\n"
                 "for part in ('stats', 'chains', 'scaling', 'figures'):\n"
                 "    try:\n        __import__('spinlattice_studies.' + part)\n"
                 "    except ImportError as e:\n        print(type(e).__name__, e)\n", tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [float(x) for x in lines[0].split()] == pytest.approx([exact.T_C, exact.onsager_energy(2.0), exact.yang_magnetization(2.0)])
    assert len(lines) == 5 and all(line.startswith("MissingExtra") and 'pip install "spinlattice[studies]"' in line
                                   for line in lines[1:])
    assert "stats needs numpy" in lines[1] and "figures needs matplotlib" in lines[4]
    # The command explains itself without them, and refuses to run before any chain does.
    run = "import runpy; sys.argv = ['spinlattice-study', *sys.argv[1:]]; runpy.run_module('spinlattice_studies', run_name='__main__')"
    helped = subprocess.run([sys.executable, "-c", f"import sys; sys.modules['numpy'] = None; {run}", "critical", "--help"],
                            capture_output=True, text=True, timeout=60)
    assert helped.returncode == 0 and "finite-size scaling" in helped.stdout and "--offsets" in helped.stdout
    for hidden in ("scipy", "matplotlib"):
        done = subprocess.run([sys.executable, "-c", f"import sys; sys.modules[{hidden!r}] = None; {run}", "demo", "--quick",
                               "--out", str(tmp_path / "out")], capture_output=True, text=True, timeout=60)
        assert done.returncode == 2 and f"needs {hidden}" in done.stderr and "spinlattice[studies]" in done.stderr, done
        assert not (tmp_path / "out" / "demo_chains").exists()


def test_the_console_script_is_installed():
    script = shutil.which("spinlattice-study", path=str(Path(sys.executable).parent))
    assert script is not None
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and all(name in done.stdout for name in ("demo", "sweep", "critical"))


def test_demo_quick_writes_table_and_figures(tmp_path, capsys):
    assert main(["demo", "--quick", "--workers", "2", "--out", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    assert "Onsager" in printed and "metropolis" in printed and "wolff" in printed
    for name in ("ising_observables.png", "ising_spins.png"):
        path = tmp_path / name
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 20_000
        assert str(path) in printed
    rows = (tmp_path / "ising_sweep.csv").read_text().splitlines()
    chains, _ = demo.plan(quick=True)
    assert len(rows) == 1 + len(chains) and ChainStore(tmp_path / "demo_chains").count() == len(chains)
    for row in csv.DictReader(rows):
        assert row["trusted"] in ("0", "1")
        L, T = int(row["L"]), float(row["T"])
        assert float(row["e_exact_finite"]) == pytest.approx(exact.finite_energy(T, L), rel=1e-12)
        assert float(row["c_exact_finite"]) == pytest.approx(exact.finite_specific_heat(T, L), rel=1e-12)


def test_study_smoke_run_writes_estimates_and_reanalyses_alike(tmp_path):
    argv = ["critical", "--quick", "--workers", "1", "--out", str(tmp_path)]
    assert main(argv) == 0
    first = json.loads((tmp_path / "critical.json").read_text())
    for key in ("Tc", "gamma_over_nu", "nu", "beta_over_nu"):
        assert math.isfinite(first[key]) and first[key + "_err"] > 0, key
    assert first["nu_syst"] >= 0 and set(first["nu_analysis"]["fits"]) == {"dU", "dln_abs_m", "dln_m2"}
    assert first["Tc"] == pytest.approx(exact.T_C, abs=0.1) and first["exact"]["U_star"] == exact.U_STAR
    assert (tmp_path / "critical.png").read_bytes()[:4] == b"\x89PNG"
    store = ChainStore(tmp_path / "critical_chains")
    chains = critical.plan(critical.QUICK_SIZES, critical.QUICK_BUDGET, critical.QUICK_EQUILIBRATION)
    by_size = scaling.series_by_size(store.load_all(chains, ChainResult))
    again = scaling.analyse(by_size, first["blocks"], workers=1)
    for key in ("Tc", "Tc_err", "nu", "nu_err", "nu_syst", "beta_over_nu"):
        assert getattr(again, key) == pytest.approx(first[key], rel=1e-12), key
    # Replicates fanned out to worker processes, each reading the chains from disk: the same analysis.
    pooled = scaling.analyse(by_size, first["blocks"], (store, chains), workers=2)
    assert json.dumps(pooled.as_json()) == json.dumps(again.as_json())
    # The command's own reanalysis, and the options that shape the plan.
    assert main(argv + ["--reanalyse"]) == 0
    assert json.loads((tmp_path / "critical.json").read_text())["Tc"] == pytest.approx(first["Tc"], rel=1e-12)
    # The default offsets' last chain, beyond the window, takes half a share.
    shares = [c.measurements for c in critical.plan((16,), critical.BUDGET, 7) if c.L == 16]
    assert sorted(shares) == [20000, 40000, 40000, 40000]
    options = critical.plan((8, 12), critical.QUICK_BUDGET, 7, 0.5, (0.0, 1.0), 1000)
    assert sorted((c.L, round((c.T - exact.T_C) * c.L, 9), c.equilibration, c.measurements) for c in options) == [
        (8, 0.0, 7, 500), (8, 1.0, 7, 500), (12, 0.0, 7, 500), (12, 1.0, 7, 500)]
    assert critical.measurements(12, critical.QUICK_BUDGET) == 4000 and critical.measurements(4, critical.BUDGET) == 40000


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
