"""Chains and executors: plans and their refusals, starts, doubling untrusted
runs, the two update rules agreeing, and chains through a thread pool and a
local Dask cluster."""

import math

import numpy as np
import pytest
from spinlattice_studies import chains
from spinlattice_studies.chains import Chain, run_chain
from spinlattice_studies.exact import onsager_energy, yang_magnetization
from spinlattice_studies.executors import open_executor, run_calls


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
        with open_executor(cluster.scheduler_address) as executor:
            results = run_calls(run_chain, [(t,) for t in tasks], executor)

    assert [(r.L, r.T, r.rule) for r in results] == [(t.L, t.T, t.rule) for t in tasks]
    for r in results:
        assert all(type(v) in (int, float, str, bool, np.ndarray) for v in vars(r).values()), r
        assert all(math.isfinite(v) for v in vars(r).values() if type(v) is float), r
        assert r.measurements == 800 and r.e_err > 0 and r.m_err > 0
    assert results[3].e != results[4].e, "equal tasks were answered by one cached chain"

    for r in results[:2]:  # ordered phase: L = 16 is already close to the infinite lattice
        assert r.m == pytest.approx(yang_magnetization(1.5), abs=0.01), r
        assert r.e == pytest.approx(onsager_energy(1.5), abs=0.02), r
        assert r.U == pytest.approx(2 / 3, abs=0.01), r
    for r in results[2:]:  # disordered: correlation length about one site
        assert r.m < 0.25, r
        assert r.e == pytest.approx(onsager_energy(4.0), abs=0.04), r
    assert results[1].updates_per_measurement <= 2 < results[3].updates_per_measurement


def test_plans_refuse_what_cannot_run_and_name_what_they_run():
    with pytest.raises(ValueError, match="takes no field"):
        Chain(8, 2.0, "wolff", 10, 40, h=0.1)
    for bad in (dict(rule="heatbath"), dict(start="sideways"), dict(L=1), dict(T=0.0), dict(T=math.nan), dict(measurements=3)):
        with pytest.raises(ValueError):
            Chain(**{**dict(L=8, T=2.0, rule="metropolis", equilibration=10, measurements=40), **bad})
    # The rule's usual start is the default and stays out of the name; anything else is in it.
    assert Chain(8, 2.0, "metropolis", 10, 40).start == "up" and Chain(8, 2.0, "wolff", 10, 40).start == "random"
    names = {Chain(8, 2.0, "metropolis", 10, 40, 0, h, start).name for h in (0.0, 0.1, -0.1) for start in ("", "down")}
    assert len(names) == 6 and "metropolis_L8_T2.0000000000" in names


def test_starts_and_fields_reach_the_lattice_and_snapshots_order():
    # Far below T_c a short chain stays on the branch it started from; a field picks its own.
    up = run_chain(Chain(8, 1.0, "metropolis", 0, 8, start="up"))
    down = run_chain(Chain(8, 1.0, "metropolis", 0, 8, start="down"))
    assert up.magnetization.min() > 40 and down.magnetization.max() < -40
    pulled = run_chain(Chain(8, 3.0, "metropolis", 200, 200, h=1.0, start="down"))
    assert pulled.h == 1.0 and pulled.magnetization[-100:].mean() > 40
    cold, hot = chains.snapshot(24, 1.5, sweeps=50), chains.snapshot(24, 5.0, sweeps=50)
    assert len(cold) == len(hot) == 24 * 24 and set(cold) | set(hot) <= {-1, 1}
    assert abs(sum(cold)) / 576 > 0.8 and abs(sum(hot)) / 576 < 0.5


def test_any_executor_runs_chains_and_failures_surface():
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(2) as executor:
        (r,) = run_calls(run_chain, [(Chain(8, 1.5, "wolff", 20, 40),)], executor)
        assert r.L == 8 and r.measurements == 40 == r.energy.size == r.magnetization.size
        assert r.sweeps_per_measurement == pytest.approx(1.0, rel=0.5) and r.resumes == 0
        with pytest.raises(ValueError, match="math domain"):
            run_calls(math.sqrt, [(4.0,), (-1.0,)], executor)


def test_untrusted_runs_double_up_to_their_limit():
    # Metropolis at T_c on 16 x 16: a hundred sweeps are far too few.
    short = run_chain(Chain(16, 2.27, "metropolis", 10, 100))
    assert short.measurements == 100 and short.trusted == 0
    longer = run_chain(Chain(16, 2.27, "metropolis", 10, 100, 400))
    assert longer.measurements == 400 and longer.trusted == 0
    # Well mixed: 100 measurements a bin leave room for its tau's own scatter.
    quick = run_chain(Chain(8, 4.0, "wolff", 10, 3200, 6400))
    assert quick.measurements == 3200 and quick.trusted == 1


def test_metropolis_and_wolff_agree_where_both_are_trusted():
    # Below T_c, where short Metropolis runs that miss the rare excursions of |m| underestimate chi'.
    from spinlattice_studies import demo

    def deviations():
        met = run_chain(Chain(16, 2.1, "metropolis", *demo.BUDGET["metropolis"]))
        wolff = run_chain(Chain(16, 2.1, "wolff", *demo.BUDGET["wolff"]))
        assert met.trusted and wolff.trusted
        return {
            key: round(abs(getattr(met, key) - getattr(wolff, key)) / math.hypot(getattr(met, key + "_err"), getattr(wolff, key + "_err")), 2)
            for key in ("e", "m", "chi_prime", "C", "U")
        }

    # The chains cannot be seeded and errors taken from 32 bins scatter themselves, so a sound pair
    # strays past 4.5 errors now and then (once in CI, by 4.7 in e); a bias strays again in a second.
    first = deviations()
    if max(first.values()) >= 4.5:
        second = deviations()
        assert not [key for key in first if min(first[key], second[key]) >= 4.5], (first, second)
