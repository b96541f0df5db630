"""Statistics for Monte Carlo time series and finite-size scaling.

Autocorrelation times by Sokal's automatic window, jackknife over blocks,
single-histogram (Ferrenberg-Swendsen) reweighting in temperature, Binder
crossings, peaks and power-law fits. numpy and scipy do the numerics.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from functools import cached_property

import numpy as np
from numpy.typing import ArrayLike
from scipy import optimize


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
        # Rows e, e^2, |m|, m^2, m^4 per site, the centred energy and its spread.
        n = self.L * self.L
        e = self.energy / n
        m = np.abs(self.magnetization) / n
        m2 = m * m
        rows = np.vstack([e, e * e, m, m2, m2 * m2])
        centred = self.energy - self.energy.mean()
        return rows, centred, float(centred.std())


MOMENTS = ("e", "e2", "m", "m2", "m4")
# Beyond this many energy standard deviations a chain's reweighted weight is nil.
_REACH = 6.0


def reweighted_moments(s: Series, T: float) -> tuple[dict[str, float], float]:
    """Moments per site (<e>, <e^2>, <|m|>, <m^2>, <m^4>) at temperature T from
    the chain at s.T by single-histogram reweighting, and the effective number
    of samples left, (sum w)^2 / sum w^2, which says how far it can be trusted."""
    rows, centred, _ = s._prepared
    x = -(1.0 / T - 1.0 / s.T) * centred
    w = np.exp(x - x.max())
    sw = w.sum()
    values = rows @ w / sw
    # np.dot on one-dimensional arrays can be very slow under threaded BLAS on a busy machine.
    return dict(zip(MOMENTS, map(float, values))), float(sw * sw / np.square(w).sum())


def combined_moments(chains: Sequence[Series], T: float) -> dict[str, float]:
    """Moments at T from every chain of one size, each reweighted to T and
    weighted by its effective sample count there: smooth in T, and dominated by
    the chains simulated nearest to T."""
    acc = np.zeros(len(MOMENTS))
    total = 0.0
    near = [s for s in chains if abs(1.0 / T - 1.0 / s.T) * s._prepared[2] < _REACH]
    for s in near or chains:
        mom, neff = reweighted_moments(s, T)
        weight = neff * neff  # favours overlap strongly; far chains drop out
        total += weight
        acc += weight * np.fromiter(mom.values(), float, len(MOMENTS))
    return dict(zip(MOMENTS, map(float, acc / total)))


def observables(mom: dict[str, float], L: int, T: float) -> dict[str, float]:
    """Binder cumulant U, chi' = N (<m^2> - <|m|>^2) / T, chi = N <m^2> / T,
    specific heat and <|m|> from moments per site."""
    n = L * L
    return {
        "U": 1.0 - mom["m4"] / (3.0 * mom["m2"] ** 2),
        "chi_prime": n * (mom["m2"] - mom["m"] ** 2) / T,
        "chi": n * mom["m2"] / T,
        "C": n * (mom["e2"] - mom["e"] ** 2) / (T * T),
        "m": mom["m"],
        "e": mom["e"],
    }


def observables_at(chains: Sequence[Series], T: float) -> dict[str, float]:
    """observables() at T from every chain of one size."""
    return observables(combined_moments(chains, T), chains[0].L, T)


def observable_at(chains: Sequence[Series], name: str, T: float) -> float:
    return observables_at(chains, T)[name]


# --- crossings, extrema, fits ---------------------------------------------------


def crossing(f: Callable[[float], float], g: Callable[[float], float], grid: ArrayLike) -> float:
    """The temperature where f and g cross, bracketed on `grid` and refined by
    Brent's method; the crossing nearest the middle of the grid if several."""
    t = np.asarray(grid, dtype=float)
    d = np.array([f(x) - g(x) for x in t])
    flips = np.nonzero(np.sign(d[:-1]) * np.sign(d[1:]) <= 0)[0]
    if not flips.size:
        return math.nan
    i = flips[np.argmin(np.abs(flips - (len(t) - 1) / 2))]
    if d[i] == 0.0:
        return float(t[i])
    return float(optimize.brentq(lambda x: f(x) - g(x), t[i], t[i + 1], xtol=1e-10))


def maximum(f: Callable[[float], float], grid: ArrayLike) -> tuple[float, float]:
    """Location and value of the maximum of f, found on `grid` and refined
    between the grid points next to it."""
    t = np.asarray(grid, dtype=float)
    v = np.array([f(x) for x in t])
    i = int(np.argmax(v))
    lo, hi = t[max(i - 1, 0)], t[min(i + 1, len(t) - 1)]
    res = optimize.minimize_scalar(lambda x: -f(x), bounds=(lo, hi), method="bounded", options={"xatol": 1e-9})
    if res.success and -res.fun >= v[i]:
        return float(res.x), float(-res.fun)
    return float(t[i]), float(v[i])


@dataclass(frozen=True)
class PowerFit:
    """y = a x^p (1 + b x^-omega), or without the correction when b is None."""

    p: float
    a: float
    b: float | None
    chi2: float
    dof: int


def power_fit(x: ArrayLike, y: ArrayLike, err: ArrayLike | None = None, omega: float | None = None) -> PowerFit:
    """Weighted least-squares fit of y = a x^p, or, given omega, of
    y = a x^p (1 + b x^-omega) (a leading correction to scaling)."""
    x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        sig = np.ones_like(y) if err is None else np.asarray(err, dtype=float) / np.abs(y)
    # A point a jackknife replicate could not estimate (NaN) carries no weight.
    keep = np.isfinite(y) & (y != 0) & np.isfinite(sig) & (sig > 0)
    if keep.sum() < (2 if omega is None else 3):
        return PowerFit(math.nan, math.nan, None if omega is None else math.nan, math.nan, 0)
    x, y, sig = x[keep], y[keep], sig[keep]
    ly = np.log(np.abs(y))
    # Log-log straight line first: the start of the non-linear fit, and the fit itself without omega.
    A = np.vstack([np.log(x), np.ones_like(x)]).T / sig[:, None]
    (p, la), *_ = np.linalg.lstsq(A, ly / sig, rcond=None)
    if omega is None:
        resid = (ly - p * np.log(x) - la) / sig
        return PowerFit(float(p), float(math.exp(la)), None, float(resid @ resid), len(x) - 2)

    def resid_c(q: np.ndarray) -> np.ndarray:
        arg = 1.0 + q[2] * x**-omega
        return (ly - q[0] * np.log(x) - q[1] - np.log(np.abs(arg))) / sig

    sol = optimize.least_squares(resid_c, x0=[p, la, 0.0])
    r = sol.fun
    return PowerFit(float(sol.x[0]), float(math.exp(sol.x[1])), float(sol.x[2]), float(r @ r), len(x) - 3)


def extrapolate(L: ArrayLike, y: ArrayLike, err: ArrayLike, power: float) -> tuple[float, float, float]:
    """Weighted fit of y = y_inf + c L^-power; returns y_inf, c and chi^2."""
    L, y, err = (np.asarray(v, dtype=float) for v in (L, y, err))
    # Pairs without a crossing (or without an error) carry no weight.
    keep = np.isfinite(y) & np.isfinite(err) & (err > 0)
    if keep.sum() < 2:
        return math.nan, math.nan, math.inf
    L, y, err = L[keep], y[keep], err[keep]
    A = np.vstack([np.ones_like(L), L**-power]).T / err[:, None]
    (y_inf, c), *_ = np.linalg.lstsq(A, y / err, rcond=None)
    r = (y - y_inf - c * L**-power) / err
    return float(y_inf), float(c), float(r @ r)
