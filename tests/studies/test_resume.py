"""Nothing lost: saved chains, finished or in progress, that are whole and match
their plan are reused and nothing else is; a chain interrupted by SIGINT, or
killed, resumes from its last save with a fresh lattice; Ctrl-C stops a study
cleanly and the same command resumes it; a Dask worker killed mid-study does
not lose a chain."""

import contextlib
import csv
import json
import os
import signal
import subprocess
import threading
import time

import numpy as np
import psutil
import pytest
from conftest import study
from spinlattice_studies import critical
from spinlattice_studies.chains import Chain, ChainInterrupted, ChainResult, run_chain
from spinlattice_studies.storage import ChainStore

CHAIN = Chain(8, 2.3, "wolff", 20, 64)
# Quick lattices with longer chains: seconds of work, long enough to interrupt.
LONGER_QUICK_STUDY = ["--quick", "--budget-factor", "20"]
# Chains in a quick study: every offset at every quick size.
QUICK_CHAINS = len(critical.OFFSETS) * len(critical.QUICK_SIZES)


def test_saved_chains_are_reused_only_when_whole_and_planned(tmp_path):
    store = ChainStore(tmp_path / "chains")
    done = run_chain(CHAIN)
    store.save(CHAIN, done)
    got, why = store.load(CHAIN, ChainResult)
    assert why == "" and got.L == 8 and np.array_equal(got.energy, done.energy) and got.cpu_seconds == done.cpu_seconds
    assert store.load(Chain(8, 2.4, "wolff", 20, 64), ChainResult) == (None, "")
    # Another budget for the same chain: rerun, and said why.
    got, why = store.load(Chain(8, 2.3, "wolff", 20, 128), ChainResult)
    assert got is None and "was run for" in why
    # A cut file is unreadable; a whole file whose series was altered fails its checksum.
    path = store.path(CHAIN.name)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    got, why = store.load(CHAIN, ChainResult)
    assert got is None and "unreadable" in why
    path.write_bytes(data)
    with np.load(path) as f:
        arrays = {k: f[k] for k in f.files}
    arrays["energy"] = arrays["energy"] + 1.0
    np.savez(path, **arrays)
    got, why = store.load(CHAIN, ChainResult)
    assert got is None and "checksum" in why
    with pytest.raises(ValueError, match="2 of 2 chains are not saved .*fails its checksum; .*T2.4000000000.npz is missing"):
        store.load_all([CHAIN, Chain(8, 2.4, "wolff", 20, 64)], ChainResult)


def test_a_write_cut_short_leaves_no_file(tmp_path, monkeypatch):
    store = ChainStore(tmp_path)
    done = run_chain(CHAIN)

    def crash(f, **arrays):
        f.write(b"PK half a zip")
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez", crash)
    with pytest.raises(OSError):
        store.save(CHAIN, done)
    assert list(tmp_path.iterdir()) == []


def _interrupt_when_saved(store, chain):
    """SIGINT to this process once `chain` has a save in `store`, from a thread."""

    def wait_and_interrupt():
        deadline = time.monotonic() + 60
        while not store.progress_path(chain.name).exists() and time.monotonic() < deadline:
            time.sleep(0.002)
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=wait_and_interrupt)
    thread.start()
    return thread


@pytest.mark.parametrize("rule", ["metropolis", "wolff"])
def test_an_interrupted_chain_saves_its_state_and_continues_from_it(tmp_path, rule):
    store = ChainStore(tmp_path)
    chain = Chain(16, 2.3, rule, 10, 100000)
    waiter = _interrupt_when_saved(store, chain)
    with pytest.raises(ChainInterrupted) as stop:  # a KeyboardInterrupt, once the state is saved
        run_chain(chain, store, checkpoint_seconds=0.01)
    waiter.join()
    saved, why = store.load_progress(chain)
    assert why == "" and 0 < saved.energy.size == stop.value.measurements < chain.measurements
    # The spins saved are the state the last measurement saw: the chain's whole state.
    spins = saved.spins.reshape(16, 16).astype(np.int64)
    bonds = (spins * np.roll(spins, 1, 0)).sum() + (spins * np.roll(spins, 1, 1)).sum()
    assert (-bonds, spins.sum()) == (saved.energy[-1], saved.magnetization[-1])
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler  # Ctrl-C is the caller's again

    resumed = run_chain(chain, store)
    assert resumed.resumes == 1 and resumed.measurements == chain.measurements
    assert np.array_equal(resumed.energy[: saved.energy.size], saved.energy)
    assert resumed.cpu_seconds >= saved.cpu_seconds and resumed.updates_per_measurement == saved.updates_per_measurement
    # A save of another plan is never continued.
    store.save_progress(chain, saved)
    assert "was run for" in store.load_progress(Chain(16, 2.3, rule, 10, 200000))[1]


# Metropolis on 48 x 48 near T_c: about a CPU second per chain, three chains on two workers.
SWEPT = 40000


def _sweep(out, *extra):
    return study("sweep", "--sizes", "48", "--temperatures", "2.2,2.3,2.4", "--rules", "metropolis",
                 "--equilibration", "100", "--measurements", SWEPT, "--workers", "2", "--out", out, *extra)


def _wait_for(condition, process, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert process.poll() is None, "the command ended before the moment to interrupt it"


def _rows(path):
    return {row["T"]: row for row in csv.DictReader(path.read_text().splitlines())}


def test_sigint_mid_chain_loses_nothing_and_the_rerun_resumes_that_chain(tmp_path):
    store = ChainStore(tmp_path / "sweep_chains")
    run = _sweep(tmp_path, "--checkpoint-interval", "0.2")
    _wait_for(lambda: store.in_progress() > 0, run)
    workers = psutil.Process(run.pid).children(recursive=True)
    interrupted = time.monotonic()
    os.killpg(run.pid, signal.SIGINT)  # Ctrl-C in a terminal reaches the whole process group
    try:
        out, err = run.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        run.send_signal(signal.SIGABRT)  # faulthandler prints where it hangs
        where = run.communicate()[1][-6000:]
        with contextlib.suppress(ProcessLookupError):
            os.killpg(run.pid, signal.SIGKILL)  # and no worker outlives the test
        pytest.fail("the sweep hangs after Ctrl-C:\n" + where)
    assert time.monotonic() - interrupted < 5.0
    assert run.returncode == 130 and "Interrupted:" in err and "mid-chain" in err and "Traceback" not in err, err
    assert not psutil.wait_procs(workers, timeout=5)[1]
    mid = {p.name.removesuffix(".progress.npz") for p in store.folder.glob("*.progress.npz")}
    assert mid and not list(store.folder.glob(".*.part"))

    again = _sweep(tmp_path)
    out, err = again.communicate(timeout=300)
    assert again.returncode == 0, err
    for name in mid:
        assert f"Resuming {name} from its checkpoint" in out
    rows = _rows(tmp_path / "sweep.csv")
    assert len(rows) == 3 and all(row["measurements"] == str(SWEPT) for row in rows.values())
    assert sum(row["resumes"] == "1" for row in rows.values()) == len(mid)
    assert store.in_progress() == 0, "a finished chain leaves its save behind"


def test_sigkill_loses_at_most_one_interval(tmp_path):
    store = ChainStore(tmp_path / "sweep_chains")
    run = _sweep(tmp_path, "--checkpoint-interval", "0.2")
    _wait_for(lambda: store.in_progress() > 0, run)
    time.sleep(0.3)  # past another save, perhaps in the middle of one
    os.killpg(run.pid, signal.SIGKILL)
    run.communicate(timeout=30)
    # Those that finished in the same instant were saved whole, and are reused.
    saved = {p.name for p in store.folder.glob("*.progress.npz") if not store.path(p.name[: -len(".progress.npz")]).exists()}
    assert saved
    again = _sweep(tmp_path)
    out, err = again.communicate(timeout=300)
    assert again.returncode == 0, err
    assert all(f"Resuming {name.removesuffix('.progress.npz')} from its checkpoint" in out for name in saved)
    assert all(row["measurements"] == str(SWEPT) for row in _rows(tmp_path / "sweep.csv").values())


def test_ctrl_c_stops_a_study_cleanly_and_the_same_command_resumes(tmp_path):
    arguments = ["critical", *LONGER_QUICK_STUDY, "--workers", "2", "--out", tmp_path]
    run = study(*arguments)
    store = ChainStore(tmp_path / "critical_chains")
    _wait_for(lambda: store.count() > 0, run)
    os.killpg(run.pid, signal.SIGINT)
    out, err = run.communicate(timeout=30)
    assert run.returncode == 130, err
    assert "Interrupted:" in err and "Run the same command again" in err and "Traceback" not in err
    saved = store.count()
    assert 0 < saved < QUICK_CHAINS and f"{saved} of {QUICK_CHAINS} chains saved" in err

    again = study(*arguments)
    out, err = again.communicate(timeout=120)
    assert again.returncode == 0, err
    assert f"Resuming: {saved} of {QUICK_CHAINS} chains reused" in out
    assert store.count() == QUICK_CHAINS and json.loads((tmp_path / "critical.json").read_text())["U_star_err"] > 0


def test_a_killed_dask_worker_does_not_lose_the_study(tmp_path):
    from distributed import Client, LocalCluster

    from spinlattice_studies.cli import main

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
        args = ["critical", "--quick", "--budget-factor", "10", "--scheduler", cluster.scheduler_address, "--out", str(tmp_path)]
        assert main(args) == 0
        killer.join(timeout=60)
    assert saved_at_kill and saved_at_kill[0] < QUICK_CHAINS, "the worker was killed after the last chain"
    chains = critical.plan(critical.QUICK_SIZES, critical.QUICK_BUDGET, critical.QUICK_EQUILIBRATION, 10)
    runs = ChainStore(tmp_path / "critical_chains").load_all(chains, ChainResult)
    planned = {(c.L, c.T): c.measurements for c in chains}
    assert len(runs) == QUICK_CHAINS and all(r.energy.size == planned[r.L, r.T] for r in runs)


def test_the_demo_reuses_a_saved_chain(tmp_path, capsys):
    from spinlattice_studies import demo
    from spinlattice_studies.cli import main

    chains, _ = demo.plan(quick=True)
    saved = run_chain(chains[0])
    ChainStore(tmp_path / "demo_chains").save(chains[0], saved)
    assert main(["demo", "--quick", "--workers", "2", "--out", str(tmp_path)]) == 0
    assert f"Resuming: 1 of {len(chains)} chains reused" in capsys.readouterr().out
    rows = (tmp_path / "ising_sweep.csv").read_text()
    assert repr(saved.e) in rows or str(saved.e) in rows
