"""1/nu from thermodynamic derivatives at their maxima (Ferrenberg and Landau 1991).

Three quantities of an L x L lattice grow like L^(1/nu) at their maxima in
temperature: the derivatives with respect to beta = 1/T of the Binder cumulant
U = 1 - <m^4> / (3 <m^2>^2), of ln<|m|> and of ln<m^2>. Each comes from the same
chains as every other estimate, through covariances with the total energy E
(the Hamiltonian, not the energy per site), since d<O>/dbeta = <O><E> - <O E>:

    d ln<|m|>/dbeta = <E> - <|m| E> / <|m|>
    d ln<m^2>/dbeta = <E> - <m^2 E> / <m^2>
    dU/dbeta        = (1 - U) (<E> - 2 <m^2 E> / <m^2> + <m^4 E> / <m^4>)

Each chain is reweighted in beta (single histogram, Ferrenberg and Swendsen
1988) only where that is reliable: within REACH standard deviations of its own
energy histogram, abs(beta - beta_0) sigma_E <= REACH, where the reweighted energy
distribution is still centred inside the sampled one. Where the ranges of a
size's chains overlap, their reweighted moments are averaged with weights that
fade to zero at each range's edge, so the curves are smooth. A maximum that
falls on the edge of the reliable range was not bracketed by the chains: that
size's value is then left out of the fits, and the result says so.

Errors: one jackknife over blocks of every chain at once, the same blocks for
all three estimators (block j of n samples is [j n / B, (j + 1) n / B), as in
the study's other estimates), so that the correlations between them carry
through to their combination.

Only numpy and scipy are needed; the module never touches the simulation.
The rule for the fits in L opens the section on them below.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, Protocol

try:
    import numpy as np
    from numpy.typing import ArrayLike
    from scipy import optimize
    from scipy.interpolate import CubicSpline
except ImportError as error:
    from ._extras import missing_extra

    raise missing_extra(__name__, error) from error

from .stats import jackknife


class ChainSeries(Protocol):
    """What a chain must offer: its size, temperature, and per-measurement
    total energy and total magnetisation."""

    L: int
    T: float
    energy: np.ndarray
    magnetization: np.ndarray


# The reliable range of single-histogram reweighting, in standard deviations of
# the chain's energy: reweighting by delta beta moves the energy distribution by
# delta beta sigma_E^2, i.e. by delta beta sigma_E of its widths (Gaussian picture),
# so within one width its peak stays inside what the chain sampled, and the
# effective sample count stays above about exp(-1) of the whole.
REACH = 1.0
# Temperatures (in beta) per size on which the curves are evaluated before
# their maxima are refined on cubic splines.
GRID_POINTS = 121

ESTIMATORS = ("dU", "dln_abs_m", "dln_m2")
LABELS = {"dU": "dU/dβ", "dln_abs_m": "d ln⟨|m|⟩/dβ", "dln_m2": "d ln⟨m²⟩/dβ"}


class Moments(NamedTuple):
    """Averages of E (total energy, any fixed reference subtracted), |m|, m^2,
    m^4 (per site) and of the products |m| E, m^2 E, m^4 E; floats or arrays."""

    E: Any
    m1: Any
    m2: Any
    m4: Any
    m1E: Any
    m2E: Any
    m4E: Any


class Derivatives(NamedTuple):
    """dU/dbeta, d ln<|m|>/dbeta and d ln<m^2>/dbeta (floats or arrays)."""

    dU: Any
    dln_abs_m: Any
    dln_m2: Any


def derivatives(mom: Moments) -> Derivatives:
    """The three derivatives with respect to beta from the moments at one beta.
    Shifting E by a constant changes none of them."""
    U = 1.0 - mom.m4 / (3.0 * mom.m2**2)
    dln_m2 = mom.E - mom.m2E / mom.m2
    dln_m4 = mom.E - mom.m4E / mom.m4
    return Derivatives(
        dU=(1.0 - U) * (2.0 * dln_m2 - dln_m4),
        dln_abs_m=mom.E - mom.m1E / mom.m1,
        dln_m2=dln_m2,
    )


# --- reweighting, with every jackknife replicate at once --------------------------


def block_edges(n: int, blocks: int) -> np.ndarray:
    """Start of each of `blocks` consecutive blocks of n samples, and n."""
    return np.array([j * n // blocks for j in range(blocks + 1)])


def reliable_range(chain: ChainSeries, reach: float = REACH) -> tuple[float, float]:
    """The betas a chain can be reweighted to: abs(beta - beta_0) sigma_E <= reach."""
    beta0 = 1.0 / chain.T
    half = reach / float(np.std(chain.energy))
    return beta0 - half, beta0 + half


def _columns(chain: ChainSeries, e_ref: float) -> np.ndarray:
    """Per-sample rows 1, E - e_ref, |m|, m^2, m^4, |m| E, m^2 E, m^4 E."""
    n = chain.L * chain.L
    e = np.asarray(chain.energy, float) - e_ref
    m1 = np.abs(np.asarray(chain.magnetization, float)) / n
    m2 = m1 * m1
    m4 = m2 * m2
    return np.vstack([np.ones_like(e), e, m1, m2, m4, m1 * e, m2 * e, m4 * e])


def reweighted_block_sums(chain: ChainSeries, betas: ArrayLike, blocks: int, e_ref: float) -> tuple[np.ndarray, np.ndarray]:
    """Sums of the Boltzmann reweighting factors times each column of
    _columns(), per block, at each beta: shape (betas, blocks, 8); and the
    effective sample count (sum w)^2 / sum w^2 of the whole chain at each beta.
    Each beta's factors are scaled by a constant, which cancels in every average."""
    b = np.asarray(betas, float)
    E = np.asarray(chain.energy, float)
    cols = _columns(chain, e_ref)
    x = -np.outer(b - 1.0 / chain.T, E - E.mean())
    w = np.exp(x - x.max(axis=1, keepdims=True))
    edges = block_edges(E.size, blocks)
    sums = np.stack([w[:, lo:hi] @ cols[:, lo:hi].T for lo, hi in zip(edges, edges[1:])], axis=1)
    neff = w.sum(axis=1) ** 2 / np.square(w).sum(axis=1)
    return sums, neff


def _fade(chain: ChainSeries, betas: np.ndarray, reach: float) -> np.ndarray:
    """1 at the chain's own beta, falling towards 0 at the edge of its reliable
    range (but not to 0 on the edge itself, which still belongs to it), 0 beyond."""
    if math.isinf(reach):
        return np.ones_like(betas)
    z = (betas - 1.0 / chain.T) * float(np.std(chain.energy)) / reach
    return np.where(np.abs(z) <= 1.0 + 1e-12, np.maximum(1.0 - z * z, 1e-9), 0.0)


@dataclass
class SizeCurves:
    """The three derivatives of one size on a grid of betas, for the whole data
    (row 0) and each jackknife replicate (rows 1..blocks); NaN where no chain
    reaches."""

    L: int
    betas: np.ndarray
    values: Derivatives  # each an array (1 + blocks, betas)


def size_curves(
    chains: Sequence[ChainSeries], blocks: int, reach: float = REACH, betas: ArrayLike | None = None
) -> SizeCurves:
    """The derivative curves of one size from all its chains, each reweighted
    within its reliable range; by default on GRID_POINTS betas spanning the
    union of those ranges."""
    if not chains:
        raise ValueError("no chains")
    L = chains[0].L
    if any(c.L != L for c in chains):
        raise ValueError("chains of different sizes")
    if betas is None:
        ranges = np.array([reliable_range(c, reach) for c in chains])
        betas = np.linspace(ranges[:, 0].min(), ranges[:, 1].max(), GRID_POINTS)
    b = np.asarray(betas, float)
    # One energy reference for the size, so the chains' moments can be averaged.
    e_ref = float(np.mean([np.mean(c.energy) for c in chains]))
    acc = np.zeros((b.size, blocks + 1, 8))
    total = np.zeros(b.size)
    for c in chains:
        sums, neff = reweighted_block_sums(c, b, blocks, e_ref)
        whole = sums.sum(axis=1, keepdims=True)
        # Averages of the whole chain and of each leave-one-block-out replicate.
        with np.errstate(invalid="ignore", divide="ignore"):
            avg = np.concatenate([whole, whole - sums], axis=1)
            avg = avg / avg[..., :1]
        weight = neff * _fade(c, b, reach)  # fixed for all replicates
        acc += np.where(weight[:, None, None] > 0, weight[:, None, None] * np.nan_to_num(avg), 0.0)
        total += weight
    with np.errstate(invalid="ignore", divide="ignore"):
        mom = acc / np.where(total > 0, total, np.nan)[:, None, None]
    d = derivatives(Moments(*np.moveaxis(mom[..., 1:], -1, 0)))
    return SizeCurves(L, b, Derivatives(*(v.T for v in d)))


@dataclass
class Peak:
    """A derivative's maximum over beta for one size: location and value for the
    whole data (index 0) and each replicate, and whether the whole data's
    maximum lies inside the reliable range rather than on its edge."""

    L: int
    beta: np.ndarray
    value: np.ndarray
    interior: bool


def _segment(finite: np.ndarray, i: int) -> tuple[int, int]:
    """The run of consecutive True values of `finite` around index i."""
    lo = i
    while lo > 0 and finite[lo - 1]:
        lo -= 1
    hi = i
    while hi < finite.size - 1 and finite[hi + 1]:
        hi += 1
    return lo, hi


def _maximum(betas: np.ndarray, y: np.ndarray, lo: int, hi: int) -> tuple[float, float]:
    """Maximum of the cubic spline through y[lo:hi+1], refined between the grid
    points next to the largest value."""
    x, v = betas[lo : hi + 1], y[lo : hi + 1]
    if not np.all(np.isfinite(v)) or x.size < 4:
        return math.nan, math.nan
    spline = CubicSpline(x, v)
    i = int(np.argmax(v))
    a, b = x[max(i - 1, 0)], x[min(i + 1, x.size - 1)]
    res = optimize.minimize_scalar(lambda t: -float(spline(t)), bounds=(a, b), method="bounded", options={"xatol": 1e-12})
    if res.success and -res.fun >= v[i]:
        return float(res.x), float(-res.fun)
    return float(x[i]), float(v[i])


def peaks(curves: SizeCurves) -> dict[str, Peak]:
    """The maximum of each derivative, for the whole data and every replicate,
    on the stretch of the reliable range that holds the whole data's maximum."""
    out = {}
    for name, rows in zip(ESTIMATORS, curves.values):
        full = rows[0]
        finite = np.isfinite(full)
        if not finite.any():
            nan = np.full(rows.shape[0], math.nan)
            out[name] = Peak(curves.L, nan, nan.copy(), False)
            continue
        i = int(np.nanargmax(full))
        lo, hi = _segment(finite, i)
        found = np.array([_maximum(curves.betas, r, lo, hi) for r in rows])
        # The maximum must be bracketed: a grid point on each side inside the range.
        interior = lo < i < hi
        out[name] = Peak(curves.L, found[:, 0], found[:, 1], interior)
    return out


def maxima(by_size: Mapping[int, Sequence[ChainSeries]], blocks: int, reach: float = REACH) -> dict[int, dict[str, Peak]]:
    """Every size's three maxima, with their jackknife replicates."""
    return {L: peaks(size_curves(chains, blocks, reach)) for L, chains in sorted(by_size.items())}


def jackknife_covariance(replicates: ArrayLike) -> np.ndarray:
    """Jackknife covariance of the columns of leave-one-block-out replicates."""
    r = np.asarray(replicates, float)
    b = r.shape[0]
    d = r - r.mean(axis=0)
    return (b - 1) / b * d.T @ d


# --- fits in L, the combined 1/nu and the rule --------------------------------------
#
# The rule, fixed from the physics below and not tuned on any estimate:
#  1. Each estimator's maxima are fitted as a pure power law a L^p over the sizes
#     L >= L_min, weighted by their jackknife errors.
#  2. L_min is the second-smallest size run (32 in the default study). The maxima
#     sit at (T - T_c) L ~ 2 to 3, where the nonlinear thermal scaling field and the
#     analytic backgrounds correct them by O(L^-1/nu); a fitted correction term
#     would triple the statistical error with five sizes, so the smallest size is
#     left out instead, which halves the largest correction.
#  3. 1/nu is the mean of the three exponents weighted by their inverse variances
#     (not generalised least squares: the three are strongly correlated, and the
#     inverse of a covariance estimated from a few dozen replicates is too noisy to
#     weight by); its error is the jackknife of that mean, so it carries their
#     correlations.
#  4. The reasonable alternatives are L_min one size lower and one size higher,
#     and the background form a L^p + c (a correction of relative order L^-p,
#     which leaves nothing to choose) over every size. The systematic error is the
#     largest shift of 1/nu among them, less the part of it that its own
#     statistical noise explains: sqrt(max(0, shift^2 - err(shift)^2)), with
#     err(shift) from the jackknife of the shift (Barlow 2002).


@dataclass
class ExponentFit:
    """An exponent p of y ~ L^p for one estimator, with its jackknife error and
    replicates, the sizes it was fitted to and its chi^2."""

    form: str  # "power law" or "power law + constant"
    sizes: list[int]
    p: float
    err: float
    chi2: float
    dof: int
    replicates: np.ndarray = field(repr=False)
    # y = amplitude L^p + constant for the whole data.
    amplitude: float = math.nan
    constant: float = 0.0


def _power_law(L: np.ndarray, y: np.ndarray, sigma: np.ndarray) -> tuple[float, float, float]:
    """Weighted straight line through ln y against ln L: slope, intercept, chi^2."""
    s = sigma / y
    A = np.vstack([np.log(L), np.ones_like(L)]).T / s[:, None]
    (p, c), *_ = np.linalg.lstsq(A, np.log(y) / s, rcond=None)
    r = (np.log(y) - p * np.log(L) - c) / s
    return float(p), float(c), float(r @ r)


def _with_background(L: np.ndarray, y: np.ndarray, sigma: np.ndarray, start: tuple[float, float]) -> tuple[float, float, float, float]:
    """Weighted fit of y = a L^p + c from a start (p, ln a): p, ln a, c and chi^2."""

    def resid(q: np.ndarray) -> np.ndarray:
        return (np.exp(q[1]) * L ** q[0] + q[2] - y) / sigma

    sol = optimize.least_squares(resid, x0=[start[0], start[1], 0.0])
    return float(sol.x[0]), float(sol.x[1]), float(sol.x[2]), float(sol.fun @ sol.fun)


def fit_exponent(sizes: Sequence[int], values: np.ndarray, background: bool = False) -> ExponentFit:
    """Fit maxima `values` (sizes x (1 + replicates), row 0 the whole data) as a
    L^p, or a L^p + c; every replicate with the whole data's weights."""
    L = np.asarray(sizes, float)
    v = np.asarray(values, float)
    form = "power law + constant" if background else "power law"
    if L.size < (4 if background else 2) or not np.all(np.isfinite(v)) or not np.all(v > 0):
        return ExponentFit(form, list(map(int, sizes)), math.nan, math.nan, math.nan, 0, np.full(v.shape[1] - 1, math.nan))
    sigma = jackknife(v[:, 1:].T)
    ps, whole = [], (math.nan, math.nan, 0.0, math.nan)
    for k in range(v.shape[1]):
        p, log_a, x2 = _power_law(L, v[:, k], sigma)
        constant = 0.0
        if background:
            p, log_a, constant, x2 = _with_background(L, v[:, k], sigma, (p, log_a))
        ps.append(p)
        if k == 0:
            whole = (p, math.exp(log_a), constant, x2)
    reps = np.array(ps[1:])
    dof = L.size - (3 if background else 2)
    return ExponentFit(form, list(map(int, sizes)), whole[0], float(jackknife(reps)), whole[3], dof, reps, whole[1], whole[2])


def combine(fits: Sequence[ExponentFit]) -> tuple[float, float, np.ndarray, np.ndarray]:
    """Inverse-variance weighted mean of several exponents with the jackknife
    error of that mean: value, error, replicates, weights."""
    p = np.array([f.p for f in fits])
    err = np.array([f.err for f in fits])
    reps = np.array([f.replicates for f in fits])  # (fits, replicates)
    ok = np.isfinite(p) & np.isfinite(err) & (err > 0)
    if not ok.any():
        return math.nan, math.nan, np.full(reps.shape[1], math.nan), np.zeros(p.size)
    w = np.where(ok, 1.0 / np.where(ok, err, 1.0) ** 2, 0.0)
    w /= w.sum()
    value = float(w[ok] @ p[ok])
    rep = w[ok] @ reps[ok]
    return value, float(jackknife(rep)), rep, w


@dataclass
class Alternative:
    """1/nu under one alternative of the rule, its shift from the rule's value
    with the shift's own jackknife error, and the systematic error it implies."""

    name: str
    one_over_nu: float
    err: float
    shift: float
    shift_err: float
    systematic: float


@dataclass
class NuEstimate:
    """1/nu and nu from the three derivative maxima, with statistical and
    systematic errors, the fits behind them and the alternatives of the rule."""

    one_over_nu: float
    one_over_nu_err: float
    one_over_nu_syst: float
    nu: float
    nu_err: float
    nu_syst: float
    L_min: int
    sizes: list[int]
    weights: dict[str, float]
    fits: dict[str, ExponentFit]
    correlation: list[list[float]]
    alternatives: list[Alternative]
    # Sizes whose maximum was not bracketed by the reliable range, per estimator.
    left_out: dict[str, list[int]]
    # Per size: the maxima, their errors and locations in beta.
    per_size: dict[str, list[float]]

    def as_json(self) -> dict[str, Any]:
        fits = {k: {n: getattr(f, n) for n in ("form", "sizes", "p", "err", "chi2", "dof", "amplitude", "constant")}
                for k, f in self.fits.items()}
        out = {k: v for k, v in vars(self).items() if k not in ("fits", "alternatives")}
        return {**out, "fits": fits, "alternatives": [vars(a) for a in self.alternatives]}


def _fits_from(sizes: list[int], found: Mapping[int, Mapping[str, Peak]], L_min: int, background: bool) -> dict[str, ExponentFit]:
    columns = found[sizes[0]][ESTIMATORS[0]].value.size
    out = {}
    for name in ESTIMATORS:
        use = [L for L in sizes if L >= L_min and found[L][name].interior]
        values = np.array([found[L][name].value for L in use]).reshape(len(use), columns)
        out[name] = fit_exponent(use, values, background)
    return out


def estimate_nu(found: Mapping[int, Mapping[str, Peak]]) -> NuEstimate:
    """1/nu by the rule above from every size's maxima (see maxima())."""
    sizes = sorted(found)
    if len(sizes) < 2:
        raise ValueError("need at least two sizes")
    L_min = sizes[1] if len(sizes) >= 3 else sizes[0]
    fits = _fits_from(sizes, found, L_min, False)
    value, err, reps, w = combine(list(fits.values()))
    alternatives = []
    lower = [L for L in sizes if L < L_min]
    higher = [L for L in sizes if L > L_min]
    options = []
    if lower:
        options.append((f"L_min = {lower[-1]}", lower[-1], False))
    if len(higher) >= 2:
        options.append((f"L_min = {higher[0]}", higher[0], False))
    if len(sizes) >= 4:  # three parameters and a degree of freedom
        options.append((f"a L^p + c, L_min = {sizes[0]}", sizes[0], True))
    for name, lmin, background in options:
        alt, alt_err, alt_reps, _ = combine(list(_fits_from(sizes, found, lmin, background).values()))
        shift = alt - value
        shift_err = float(jackknife(alt_reps - reps))
        syst = math.sqrt(max(0.0, shift * shift - shift_err * shift_err)) if math.isfinite(shift) else math.nan
        alternatives.append(Alternative(name, alt, alt_err, shift, shift_err, syst))
    systs = [a.systematic for a in alternatives if math.isfinite(a.systematic)]
    syst = max(systs, default=0.0)
    rep_matrix = np.array([f.replicates for f in fits.values()]).T
    with np.errstate(invalid="ignore", divide="ignore"):
        cov = jackknife_covariance(rep_matrix)
        corr = cov / np.sqrt(np.outer(np.diag(cov), np.diag(cov)))
    per_size: dict[str, list[float]] = {"sizes": [float(L) for L in sizes]}
    for name in ESTIMATORS:
        per_size[name] = [float(found[L][name].value[0]) for L in sizes]
        per_size[name + "_err"] = [float(jackknife(found[L][name].value[1:])) for L in sizes]
        per_size[name + "_beta"] = [float(found[L][name].beta[0]) for L in sizes]
    return NuEstimate(
        one_over_nu=value,
        one_over_nu_err=err,
        one_over_nu_syst=syst,
        nu=1.0 / value,
        nu_err=err / value**2,
        nu_syst=syst / value**2,
        L_min=L_min,
        sizes=sizes,
        weights={k: float(x) for k, x in zip(ESTIMATORS, w)},
        fits=fits,
        correlation=corr.tolist(),
        alternatives=alternatives,
        left_out={k: [L for L in sizes if not found[L][k].interior] for k in ESTIMATORS},
        per_size=per_size,
    )


def analyse(by_size: Mapping[int, Sequence[ChainSeries]], blocks: int, reach: float = REACH) -> NuEstimate:
    """1/nu and nu from the chains of every size, by the rule above."""
    return estimate_nu(maxima(by_size, blocks, reach))


def describe(est: NuEstimate) -> list[str]:
    """How the estimate was made, in a few printed lines."""
    lines = []
    for name, f in est.fits.items():
        lines.append(f"  {LABELS[name]:<14} max ~ L^p over L = {', '.join(map(str, f.sizes))}: p = {f.p:.4f}({f.err:.4f}), "
                     f"chi^2 = {f.chi2:.2f} for {f.dof} dof, weight {est.weights[name]:.2f}")
        if est.left_out[name]:
            lines.append(f"    left out L = {', '.join(map(str, est.left_out[name]))}: the maximum lies on the edge of "
                         "what the chains can be reweighted to, so the chains did not bracket it")
    lines.append(f"  1/nu = {est.one_over_nu:.4f} ± {est.one_over_nu_err:.4f} (stat) ± {est.one_over_nu_syst:.4f} (syst); "
                 f"rule: pure power laws from L_min = {est.L_min}; the systematic error is the largest shift under:")
    for a in est.alternatives:
        lines.append(f"    {a.name:<22} 1/nu = {a.one_over_nu:.4f}, shift {a.shift:+.4f} ± {a.shift_err:.4f} (its noise) "
                     f"-> {a.systematic:.4f}")
    return lines
