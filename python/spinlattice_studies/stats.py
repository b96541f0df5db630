"""Statistics of Monte Carlo time series, on numpy alone.

Binning, integrated autocorrelation times (from bins, and by Sokal's automatic
window), jackknife errors, the per-chain summary with its trust test, and
single-histogram (Ferrenberg-Swendsen) reweighting in temperature. Workers that
run chains import this module, so it needs nothing but numpy.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import NamedTuple

try:
    import numpy as np
    from numpy.typing import ArrayLike
except ImportError as error:
    from ._extras import missing_extra

    raise missing_extra(__name__, error) from error


def tau_int(x: ArrayLike, window: float = 6.0) -> float:
    """Integrated autocorrelation time of a series in units of its spacing,
    tau = 1/2 + sum_t rho(t), summed up to the first W with W >= window * tau(W)."""
    a = np.asarray(x, dtype=float)
    n = a.size
    if n < 4:
        return math.nan
    a = a - a.mean()
    if not np.any(a):
        return 0.5
    size = 1 << (2 * n - 1).bit_length()
    f = np.fft.rfft(a, size)
    acf = np.fft.irfft(f * np.conj(f), size)[:n]
    rho = acf / acf[0]
    taus = 0.5 + np.cumsum(rho[1:])
    stop = np.nonzero(np.arange(1, n) >= window * taus)[0]
    return float(taus[stop[0]]) if stop.size else float(taus[-1])


def jackknife(replicates: ArrayLike) -> np.ndarray:
    """Jackknife standard error from leave-one-block-out replicates (axis 0).
    A replicate that has no value (NaN: a crossing its curves did not make) is
    left out, so one noisy block cannot void the error of the rest."""
    r = np.asarray(replicates, dtype=float)
    ok = np.isfinite(r)
    b = ok.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(ok, r, 0.0).sum(axis=0) / b
        dev = np.where(ok, r - mean, 0.0)
        return np.sqrt((b - 1) / b * np.sum(dev**2, axis=0))


# --- binning and one chain's summary ---------------------------------------------


class Moments(NamedTuple):
    """Means per site of e, e^2, |m|, m^2 and m^4 (floats, or arrays of replicates)."""

    e: float
    e2: float
    m: float
    m2: float
    m4: float


def moment_rows(energy: ArrayLike, magnetization: ArrayLike, L: int) -> np.ndarray:
    """Rows e, e^2, |m|, m^2, m^4 per site from total energies and magnetisations."""
    n = L * L
    e = np.asarray(energy, dtype=float) / n
    m = np.abs(np.asarray(magnetization, dtype=float)) / n
    m2 = m * m
    return np.vstack([e, e * e, m, m2, m2 * m2])


def bin_means(series: np.ndarray, nbins: int) -> np.ndarray:
    """Means of `nbins` equal consecutive bins along the last axis; the oldest
    leftover samples are dropped."""
    size = series.shape[-1] // nbins
    start = series.shape[-1] - size * nbins
    return series[..., start:].reshape(*series.shape[:-1], nbins, size).mean(axis=-1)


def binned_tau(series: np.ndarray, nbins: int) -> float:
    """Autocorrelation time from the variance of bin means against the naive one."""
    size = series.size // nbins
    naive = float(series.var(ddof=1))
    if not naive > 0 or size < 1:
        return 0.5 if naive == 0 else math.nan
    return 0.5 * size * float(bin_means(series, nbins).var(ddof=1)) / naive


# A run is trusted when each of its bins spans at least this many autocorrelation times.
TRUSTED_BIN_IN_TAUS = 10.0


@dataclass(frozen=True)
class Summary:
    """One chain's observables with binned-jackknife errors, its autocorrelation
    times in measurements, and whether its bins are long enough to trust them."""

    e: float
    e_err: float
    m: float
    m_err: float
    chi_prime: float
    chi_prime_err: float
    C: float
    C_err: float
    U: float
    U_err: float
    tau_m: float
    tau_max: float
    tau_slowest: str
    bin_length: float
    trusted: bool


def summarize(energies: ArrayLike, magnetizations: ArrayLike, L: int, T: float, nbins: int = 32) -> Summary:
    """Observables and binned-jackknife errors from per-measurement total energy
    and total magnetisation of an L x L lattice at temperature T."""
    rows = moment_rows(energies, magnetizations, L)
    samples = rows.shape[1]
    nbins = max(2, min(nbins, samples // 2))
    bins = bin_means(rows, nbins)
    whole = observables(Moments(*bins.mean(axis=1)), L, T)
    left_out = observables(Moments(*((bins.sum(axis=1)[:, None] - bins) / (nbins - 1))), L, T)
    values: list[float] = []
    for name in ("e", "m", "chi_prime", "C", "U"):
        values += [float(getattr(whole, name)), float(jackknife(getattr(left_out, name)))]
    # Integrated autocorrelation times in measurements, binned over naive variance,
    # for every series the results are built from; a quarter as many, longer bins
    # as well, since those see slow modes that short bins average away.
    taus = {k: max(binned_tau(row, nbins), binned_tau(row, max(2, nbins // 4))) for k, row in zip(Moments._fields, rows)}
    slowest = max(taus, key=lambda k: taus[k])
    bin_length = float(samples // nbins)
    # Binned errors hold only with bins well beyond the slowest autocorrelation time.
    trusted = taus[slowest] * TRUSTED_BIN_IN_TAUS <= bin_length
    return Summary(*values, taus["m"], taus[slowest], slowest, bin_length, trusted)


# --- reweighting ----------------------------------------------------------------


@dataclass(frozen=True)
class Series:
    """Total energy and total magnetisation of one chain of an L x L lattice at T."""

    L: int
    T: float
    energy: np.ndarray
    magnetization: np.ndarray

    def without_block(self, j: int, nblocks: int) -> Series:
        """The series with its j-th of `nblocks` consecutive blocks removed."""
        n = self.energy.size
        lo, hi = j * n // nblocks, (j + 1) * n // nblocks
        keep = np.r_[0:lo, hi:n]
        return Series(self.L, self.T, self.energy[keep], self.magnetization[keep])

    @cached_property
    def _prepared(self) -> tuple[np.ndarray, np.ndarray, float]:
        # The moment rows, the centred energy and its spread.
        centred = self.energy - self.energy.mean()
        return moment_rows(self.energy, self.magnetization, self.L), centred, float(centred.std())


# Beyond this many energy standard deviations a chain's reweighted weight is nil.
_REACH = 6.0


def reweighted_moments(s: Series, T: float) -> tuple[Moments, float]:
    """Moments per site at temperature T from the chain at s.T by single-histogram
    reweighting, and the effective number of samples left, (sum w)^2 / sum w^2,
    which says how far it can be trusted."""
    rows, centred, _ = s._prepared
    x = -(1.0 / T - 1.0 / s.T) * centred
    w = np.exp(x - x.max())
    sw = w.sum()
    values = rows @ w / sw
    return Moments(*map(float, values)), float(sw * sw / np.square(w).sum())


def combined_moments(chains: Sequence[Series], T: float) -> Moments:
    """Moments at T from every chain of one size, each reweighted to T and
    weighted by its effective sample count there: smooth in T, and dominated by
    the chains simulated nearest to T."""
    acc = np.zeros(len(Moments._fields))
    total = 0.0
    near = [s for s in chains if abs(1.0 / T - 1.0 / s.T) * s._prepared[2] < _REACH]
    for s in near or chains:
        mom, neff = reweighted_moments(s, T)
        weight = neff * neff  # favours overlap strongly; far chains drop out
        total += weight
        acc += weight * np.array(mom)
    return Moments(*map(float, acc / total))


class Observables(NamedTuple):
    """Binder cumulant U, chi' = N (<m^2> - <|m|>^2) / T, chi = N <m^2> / T,
    specific heat, <|m|> and <e> (floats, or arrays of replicates)."""

    U: float
    chi_prime: float
    chi: float
    C: float
    m: float
    e: float


def observables(mom: Moments, L: int, T: float) -> Observables:
    """The observables of an L x L lattice at T from its moments per site."""
    n = L * L
    return Observables(
        U=1.0 - mom.m4 / (3.0 * mom.m2**2),
        chi_prime=n * (mom.m2 - mom.m**2) / T,
        chi=n * mom.m2 / T,
        C=n * (mom.e2 - mom.e**2) / (T * T),
        m=mom.m,
        e=mom.e,
    )


def observables_at(chains: Sequence[Series], T: float) -> Observables:
    """observables() at T from every chain of one size."""
    return observables(combined_moments(chains, T), chains[0].L, T)
