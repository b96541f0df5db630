"""Exact results for the 2D Ising model (coupling 1, k_B = 1, zero field).

The infinite square lattice: its critical temperature, Onsager's energy and
specific heat, Yang's spontaneous magnetisation, the critical exponents and
the Binder cumulant at T_c on the square torus. The finite m x n torus:
Kaufman (1949) wrote its partition function as four products over the
eigenvalues of the transfer matrix,

    Z = 1/2 (2 sinh 2K)^(mn/2) (Z1 + Z2 + Z3 + Z4),   K = J / k_B T,
    Z1 = prod_r 2 cosh(m g_(2r+1) / 2),   Z2 = prod_r 2 sinh(m g_(2r+1) / 2),
    Z3 = prod_r 2 cosh(m g_(2r) / 2),     Z4 = prod_r 2 sinh(m g_(2r) / 2),

with r = 0 .. n-1, cosh g_k = cosh 2K coth 2K - cos(pi k / n) for k > 0 and
g_0 = 2K + ln tanh K, which changes sign at T_c (so Z4 < 0 below it). The
energy and specific heat (Ferdinand and Fisher 1969) follow from the first and
second derivatives of ln Z in K, taken here analytically, factor by factor, so
that nothing is differenced numerically.

The constants and the infinite lattice need only the standard library (the
benchmarks and a bare ``pip install spinlattice`` take T_C from here); the finite
torus imports numpy where it needs it.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from ._extras import missing_extra

if TYPE_CHECKING:
    import numpy as np

# Critical temperature of the square lattice.
T_C = 2.0 / math.log(1.0 + math.sqrt(2.0))
# Critical exponents of the 2D Ising universality class.
GAMMA_OVER_NU = 7.0 / 4.0
NU = 1.0
BETA_OVER_NU = 1.0 / 8.0
# The Binder cumulant 1 - <m^4> / 3<m^2>^2 at T_c on the L x L torus as L -> infinity
# (Salas and Sokal 2000: <m^4> / <m^2>^2 = 1.1679227(4)).
U_STAR = 1.0 - 1.1679227 / 3.0

# The critical point's exact values: label as printed, key in a study's results, value.
CRITICAL = (
    ("T_c", "Tc", T_C),
    ("gamma/nu", "gamma_over_nu", GAMMA_OVER_NU),
    ("nu", "nu", NU),
    ("beta/nu", "beta_over_nu", BETA_OVER_NU),
    ("U_star", "U_star", U_STAR),
)

# --- the infinite lattice -------------------------------------------------------


def onsager_energy(T: float) -> float:
    """Onsager's exact internal energy per site of the infinite square lattice,
    e(T) = -coth(2b) [1 + (2/pi)(2 tanh^2(2b) - 1) K(k)], k = 2 sinh(2b)/cosh^2(2b)."""
    if not T > 0.0:
        raise ValueError(f"temperature must be positive, got {T!r}")
    two_beta = 2.0 / T
    if two_beta > 350.0:  # e + 2 ~ exp(-8/T): below double precision
        return -2.0
    s, c = math.sinh(two_beta), math.cosh(two_beta)
    k = 2.0 * s / (c * c)
    # 1 - k = (s - 1)^2 / c^2, so k' needs no cancellation near T_c (k -> 1).
    kp = abs(s - 1.0) / c * math.sqrt(1.0 + k)
    t = math.tanh(two_beta)
    # (2 t^2 - 1) vanishes at T_c faster than K diverges (logarithmically).
    singular = 0.0 if kp == 0.0 else (2.0 * t * t - 1.0) * _ellipk_from_complement(kp)
    return -(1.0 / t) * (1.0 + (2.0 / math.pi) * singular)


def _ellipk_from_complement(kp: float) -> float:
    """K(k) = pi / (2 AGM(1, k')) for the complementary modulus k' = sqrt(1 - k^2):
    the arithmetic-geometric mean takes k' itself, so nothing cancels as k' -> 0
    (near T_c, where K diverges logarithmically), and it converges quadratically."""
    a, b = 1.0, kp
    for _ in range(64):  # a handful of steps reach double precision even at k' = 1e-300
        if a - b <= 1e-15 * a:
            break
        a, b = 0.5 * (a + b), math.sqrt(a * b)
    return math.pi / (a + b)


def onsager_specific_heat(T: float, dT: float = 1e-6) -> float:
    """Exact specific heat per site, c = de/dT, by a central difference of
    Onsager's energy (it diverges logarithmically at T_c)."""
    return (onsager_energy(T + dT) - onsager_energy(T - dT)) / (2.0 * dT)


def yang_magnetization(T: float) -> float:
    """Yang's exact spontaneous magnetisation per site of the infinite lattice:
    (1 - sinh(2/T)^-4)^(1/8) below T_c, zero at and above."""
    if not T > 0.0:
        raise ValueError(f"temperature must be positive, got {T!r}")
    if T >= T_C:
        return 0.0
    two_beta = 2.0 / T
    if two_beta > 350.0:
        return 1.0
    return float((1.0 - math.sinh(two_beta) ** -4) ** 0.125)


# --- the finite torus -----------------------------------------------------------


def _numpy() -> Any:
    """numpy, imported by the torus only: the constants above need nothing installed."""
    try:
        import numpy
    except ImportError as error:
        raise missing_extra("spinlattice_studies.exact's finite torus", error) from error
    return numpy


def _gammas(K: float, n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """g_k and its first two derivatives in K, for k = 0 .. 2n-1."""
    np = _numpy()
    u = 2.0 * K
    su, cu = math.sinh(u), math.cosh(u)
    c = cu * cu / su
    dc = 2.0 * cu - 2.0 * cu / (su * su)
    d2c = 4.0 * su - 4.0 / su + 8.0 * cu * cu / su**3
    k = np.arange(2 * n)
    # c >= 2, so the argument is >= 1 but for rounding at k = 0, which is replaced below.
    g = np.arccosh(np.maximum(c - np.cos(np.pi * k / n), 1.0))
    sg = np.sinh(g)
    with np.errstate(divide="ignore", invalid="ignore"):
        dg = dc / sg
        d2g = (d2c - np.cosh(g) * dg * dg) / sg
    # k = 0 has its own closed form, with its sign: arccosh(c - 1) only gives |g_0|.
    g[0] = u + math.log(math.tanh(K))
    dg[0] = 2.0 + 2.0 / su
    d2g[0] = -4.0 * cu / (su * su)
    return g, dg, d2g


def _log_cosh_product(x: np.ndarray, dx: np.ndarray, d2x: np.ndarray) -> tuple[float, float, float, float]:
    """ln, sign, first and second K-derivatives of ln of prod 2 cosh(x)."""
    np = _numpy()
    ax = np.abs(x)
    log = float(np.sum(ax + np.log1p(np.exp(-2.0 * ax))))
    t = np.tanh(x)
    d1 = float(np.sum(t * dx))
    d2 = float(np.sum((1.0 - t * t) * dx * dx + t * d2x))
    return log, 1.0, d1, d2


def _log_sinh_product(x: np.ndarray, dx: np.ndarray, d2x: np.ndarray) -> tuple[float, float, float, float]:
    """ln |.|, sign, first and second K-derivatives of ln of prod 2 sinh(x)."""
    np = _numpy()
    ax = np.abs(x)
    log = float(np.sum(ax + np.log(-np.expm1(-2.0 * ax))))
    sign = float(np.prod(np.sign(x)))
    coth = 1.0 / np.tanh(x)
    d1 = float(np.sum(coth * dx))
    d2 = float(np.sum((1.0 - coth * coth) * dx * dx + coth * d2x))
    return log, sign, d1, d2


def log_partition(T: float, m: int, n: int | None = None) -> tuple[float, float, float]:
    """ln Z of the m x n torus (n = m by default) at temperature T, and its first
    and second derivatives with respect to K = 1/T."""
    n = m if n is None else n
    if not (T > 0.0 and math.isfinite(T)):
        raise ValueError(f"temperature must be positive and finite, got {T!r}")
    if m < 1 or n < 1:
        raise ValueError(f"lattice must be at least 1 x 1, got {m} x {n}")
    K = 1.0 / T
    N = m * n
    g, dg, d2g = _gammas(K, n)
    odd, even = slice(1, None, 2), slice(0, None, 2)
    parts = []
    for sel in (odd, even):
        x, dx, d2x = 0.5 * m * g[sel], 0.5 * m * dg[sel], 0.5 * m * d2g[sel]
        parts.append(_log_cosh_product(x, dx, d2x))
        parts.append(_log_sinh_product(x, dx, d2x))
    top = max(p[0] for p in parts)
    w = [p[1] * math.exp(p[0] - top) for p in parts]
    total = sum(w)
    d1 = sum(wi * p[2] for wi, p in zip(w, parts)) / total
    d2 = sum(wi * (p[3] + p[2] ** 2) for wi, p in zip(w, parts)) / total - d1 * d1
    su = math.sinh(2.0 * K)
    log_z = math.log(0.5) + 0.5 * N * math.log(2.0 * su) + top + math.log(total)
    return log_z, N * math.cosh(2.0 * K) / su + d1, -2.0 * N / (su * su) + d2


def finite_energy(T: float, L: int) -> float:
    """Exact mean energy per site of the L x L torus, coupling 1, zero field."""
    _, d1, _ = log_partition(T, L)
    return -d1 / (L * L)


def finite_specific_heat(T: float, L: int) -> float:
    """Exact specific heat per site, (<E^2> - <E>^2) / (N T^2), of the L x L torus."""
    _, _, d2 = log_partition(T, L)
    return d2 / (L * L * T * T)
