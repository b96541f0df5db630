"""Metropolis and Wolff statistics on a 4x4 lattice against exact enumeration.

Seeds are fixed, so these long runs are deterministic; the tolerance is a few
standard errors from batch means, which absorb the autocorrelation.
"""

import numpy as np
import pytest

from conftest import needs_seed_stand_in
from seeded import run_seeded, seed_bytes

L = 4


def exact_averages(t, h):
    """<E>, <M>, <|M|> of the periodic 4x4 Ising model by summing all 2^16 states."""
    states = np.arange(2 ** (L * L), dtype=np.uint32)
    bits = (states[:, None] >> np.arange(L * L, dtype=np.uint32)) & 1
    s = (2 * bits.astype(np.int64) - 1).reshape(-1, L, L)
    bonds = (s * np.roll(s, 1, axis=1)).sum(axis=(1, 2)) + (s * np.roll(s, 1, axis=2)).sum(axis=(1, 2))
    m = s.sum(axis=(1, 2))
    e = -bonds - h * m
    weight = np.exp(-(e - e.min()) / t)
    z = weight.sum()
    return {"E": (weight * e).sum() / z, "M": (weight * m).sum() / z,
            "absM": (weight * np.abs(m)).sum() / z}


# (update, temperature, field, warm-up steps, steps between samples, samples)
RUNS = [
    ("simulation_step", 2.5, 0.3, 4000, 16, 40000),
    ("simulation_step", 3.0, 0.0, 4000, 16, 40000),
    ("wolff_step", 2.0, 0.0, 200, 1, 40000),
    ("wolff_step", 2.269, 0.0, 200, 1, 40000),
    ("wolff_step", 3.0, 0.0, 200, 1, 40000),
]


@pytest.fixture(scope="module")
def samples():
    script = "out = []\n"
    for i, (update, t, h, warm, every, count) in enumerate(RUNS):
        script += f"""
seed({seed_bytes(9000 + i)!r})
lat = spinlattice.Lattice({L}, {L}, {t!r}, {h!r})
step = lat.{update}
for _ in range({warm}):
    step()
es, ms = [], []
for _ in range({count}):
    for _ in range({every}):
        step()
    es.append(lat.get_energy())
    ms.append(lat.get_total_magnetization())
out.append([es, ms])
"""
    script += "emit(out)\n"
    return run_seeded(script)


def batch_mean(x, batches=50):
    x = np.asarray(x, dtype=float)
    means = x[: len(x) // batches * batches].reshape(batches, -1).mean(axis=1)
    return means.mean(), means.std(ddof=1) / np.sqrt(batches)


@needs_seed_stand_in
@pytest.mark.parametrize("run", range(len(RUNS)), ids=[f"{r[0]}-T{r[1]}-h{r[2]}" for r in RUNS])
def test_averages_match_exact_enumeration(samples, run):
    update, t, h, *_ = RUNS[run]
    exact = exact_averages(t, h)
    es, ms = (np.asarray(v) for v in samples[run])
    observed = {"E": es, "M": ms, "absM": np.abs(ms)}
    for name, values in observed.items():
        mean, err = batch_mean(values)
        assert abs(mean - exact[name]) < 4 * err + 1e-9, (
            f"{update} T={t} h={h}: <{name}> = {mean:.4f} +- {err:.4f}, exact {exact[name]:.4f}")
        # the runs must be long enough for the tolerance to mean something
        assert err < 0.03 * max(abs(exact[name]), 10.0)


def test_enumeration_sanity():
    # ground state energy per bond at T -> 0, and the field's sign
    low = exact_averages(0.05, 0.0)
    assert low["E"] == pytest.approx(-2 * L * L) and low["absM"] == pytest.approx(L * L)
    assert exact_averages(2.5, 0.3)["M"] > 0 > exact_averages(2.5, -0.3)["M"]
