"""Nothing lost: checkpoints that are whole and match their plan are reused and
nothing else is, Ctrl-C stops a study cleanly and the same command resumes it,
and a Dask worker killed mid-study does not lose a chain."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import psutil
import pytest
from ising.chains import SeriesRun
from ising.storage import ChainStore, load_series

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# Quick lattices with longer chains: a few seconds of work, long enough to interrupt.
STUDY = ["--quick", "--budget-factor", "6", "--workers", "2"]


def _run(seed: int) -> SeriesRun:
    rng = np.random.default_rng(seed)
    return SeriesRun(8, 2.3, rng.normal(size=50), rng.normal(size=50), 3, 0.5, 0.25)


def test_checkpoints_are_reused_only_when_whole_and_planned(tmp_path):
    store = ChainStore(tmp_path / "chains")
    plan = (8, 2.3, 50, 400)
    store.save("a", plan, _run(1))
    got, why = store.load("a", plan, SeriesRun)
    assert why == "" and got.L == 8 and np.array_equal(got.energy, _run(1).energy) and got.cpu_seconds == 0.25
    assert store.load("missing", plan, SeriesRun) == (None, "")
    # Another budget for the same chain: rerun, and said why.
    got, why = store.load("a", (8, 2.3, 50, 800), SeriesRun)
    assert got is None and "was run for" in why
    # A cut file is unreadable; a whole file whose series was altered fails its checksum.
    data = store.path("a").read_bytes()
    store.path("b").write_bytes(data[: len(data) // 2])
    got, why = store.load("b", plan, SeriesRun)
    assert got is None and "unreadable" in why
    with np.load(store.path("a")) as f:
        arrays = {k: f[k] for k in f.files}
    arrays["energy"] = arrays["energy"] + 1.0
    np.savez(store.path("a"), **arrays)
    got, why = store.load("a", plan, SeriesRun)
    assert got is None and "checksum" in why


def test_a_write_cut_short_leaves_no_file(tmp_path, monkeypatch):
    store = ChainStore(tmp_path)

    def crash(f, **arrays):
        f.write(b"PK half a zip")
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez", crash)
    with pytest.raises(OSError):
        store.save("c", (8, 2.3, 50, 400), _run(2))
    assert list(tmp_path.iterdir()) == []


def _study(out, *extra):
    return subprocess.Popen(
        [sys.executable, "-X", "faulthandler", str(EXAMPLES / "critical.py"), *STUDY, "--out", str(out), *extra],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )


def test_ctrl_c_stops_a_study_cleanly_and_the_same_command_resumes(tmp_path):
    study = _study(tmp_path)
    chains = tmp_path / "critical_chains"
    deadline = time.monotonic() + 60
    while not list(chains.glob("*.npz")) and study.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    workers = psutil.Process(study.pid).children(recursive=True)
    assert study.poll() is None and workers, "the study ended before a chain was saved"
    # Ctrl-C in a terminal reaches the whole process group.
    interrupted = time.monotonic()
    os.killpg(study.pid, signal.SIGINT)
    try:
        out, err = study.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        study.send_signal(signal.SIGABRT)  # faulthandler prints where it hangs
        where = study.communicate()[1][-6000:]
        with contextlib.suppress(ProcessLookupError):
            os.killpg(study.pid, signal.SIGKILL)  # and no worker outlives the test
        pytest.fail("the study hangs after Ctrl-C:\n" + where)
    assert time.monotonic() - interrupted < 3.0
    assert study.returncode == 130, err
    assert "Interrupted:" in err and "Run the same command again" in err and "Traceback" not in err
    saved = len(list(chains.glob("*.npz")))
    assert 0 < saved < 9 and f"{saved} of 9 chains saved" in err
    gone, alive = psutil.wait_procs(workers, timeout=5)
    assert not alive, alive

    again = _study(tmp_path)
    out, err = again.communicate(timeout=120)
    assert again.returncode == 0, err
    assert f"Resuming: {saved} of 9 chains reused" in out
    assert len(load_series(tmp_path / "critical_series.npz")) == 9
    assert json.loads((tmp_path / "critical.json").read_text())["U_star_err"] > 0
    assert not chains.exists(), "a finished study leaves its checkpoints behind"


def test_a_killed_dask_worker_does_not_lose_the_study(tmp_path):
    from distributed import Client, LocalCluster

    import critical

    with LocalCluster(host="127.0.0.1", n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        victim = next(iter(client.run(os.getpid).values()))
        chains = tmp_path / "critical_chains"

        saved_at_kill = []

        def kill_one_worker():
            deadline = time.monotonic() + 60
            while not list(chains.glob("*.npz")) and time.monotonic() < deadline:
                time.sleep(0.05)
            os.kill(victim, signal.SIGKILL)
            saved_at_kill.append(len(list(chains.glob("*.npz"))))

        killer = threading.Thread(target=kill_one_worker)
        killer.start()
        args = ["--quick", "--budget-factor", "6", "--scheduler", cluster.scheduler_address, "--out", str(tmp_path)]
        assert critical.main(args) == 0
        killer.join(timeout=60)
    assert saved_at_kill and saved_at_kill[0] < 9, "the worker was killed after the last chain"
    runs = load_series(tmp_path / "critical_series.npz")
    assert len(runs) == 9 and all(r.energy.size == 6 * critical.QUICK_BUDGET[r.L] for r in runs)


def test_the_demo_reuses_a_saved_chain(tmp_path, capsys):
    import demo
    from ising.chains import run_chain

    tasks, _ = demo.plan(quick=True)
    saved = run_chain(tasks[0])
    ChainStore(tmp_path / "demo_chains").save(tasks[0].name, (tasks[0],), saved)
    assert demo.main(["--quick", "--workers", "2", "--out", str(tmp_path)]) == 0
    assert f"Resuming: 1 of {len(tasks)} chains reused" in capsys.readouterr().out
    rows = (tmp_path / "ising_sweep.csv").read_text()
    assert repr(saved.e) in rows or str(saved.e) in rows
    assert not (tmp_path / "demo_chains").exists()
