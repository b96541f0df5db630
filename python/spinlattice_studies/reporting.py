"""Text the commands print and write: values with errors, the table and CSV of
chains beside the exact results, and the study's estimates against the exact
exponents. numpy is all it needs (through the exact finite torus)."""

from __future__ import annotations

import contextlib
import csv
import math
from collections.abc import Sequence
from dataclasses import fields
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from . import exact
from .chains import ChainResult
from .exact import T_C, onsager_energy, yang_magnetization

if TYPE_CHECKING:
    from .scaling import Estimates


def with_error(value: float, err: float) -> str:
    """value(err) with the error's two leading digits, e.g. -1.7456(12)."""
    if not (math.isfinite(err) and err > 0):
        return f"{value:.4f}"
    decimals = min(6, max(0, 1 - math.floor(math.log10(err))))
    if round(err * 10**decimals) >= 100 and decimals > 0:  # 0.000996 rounds up to (100)
        decimals -= 1
    return f"{value:.{decimals}f}({max(1, round(err * 10**decimals)):d})"


def with_errors(value: float, err: float, syst: float) -> str:
    """value(err)(syst), both errors in the last digits of the first, e.g. 1.0041(93)(142)."""
    text = with_error(value, err)
    decimals = len(text.split("(")[0].partition(".")[2])
    if not (math.isfinite(err) and err > 0 and math.isfinite(syst)):
        return text
    return f"{text}({round(syst * 10**decimals):d})"


def duration(seconds: float) -> str:
    """A time span as a person reads it: 0.04 s, 3.2 s, 12 s, 3.5 min, 2.1 h."""
    if seconds < 1:
        return f"{seconds:.2g} s"
    if seconds < 10:
        return f"{seconds:.1f} s"
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.1f} min"
    return f"{seconds / 3600:.1f} h"


def exact_values(r: ChainResult) -> dict[str, float]:
    """The exact values beside a chain: its own finite torus and the infinite
    lattice. Known in zero field only; NaN in a field."""
    if r.h != 0.0:
        return dict.fromkeys(EXACT_COLUMNS, math.nan)
    return {
        "e_exact_finite": exact.finite_energy(r.T, r.L),
        "c_exact_finite": exact.finite_specific_heat(r.T, r.L),
        "e_onsager": onsager_energy(r.T),
        "m_yang": yang_magnetization(r.T),
    }


EXACT_COLUMNS = ("e_exact_finite", "c_exact_finite", "e_onsager", "m_yang")
# The CSV holds every number of a chain's record; its series are in the chain's own file.
CSV_COLUMNS = tuple(f.name for f in fields(ChainResult) if f.name not in ("energy", "magnetization")) + EXACT_COLUMNS


def _exact_text(value: float, width: int, digits: int) -> str:
    return f"{value:{width}.{digits}f}" if math.isfinite(value) else f"{'-':>{width}}"


def print_table(results: Sequence[ChainResult]) -> None:
    fielded = any(r.h for r in results)
    h_column = f"{'h':>7} " if fielded else ""
    head = (
        f"{'T':>6} {'L':>3} {h_column}{'rule':<10} "
        f"{'e':>13} {'e exact L':>10} {'e L=inf':>8} {'<|m|>':>12} {'m L=inf':>7} "
        f"{'chi_prime':>11} {'C':>11} {'C exact L':>9} {'U':>11}"
    )
    print(head)
    print("-" * len(head))
    last_t = None
    for r in sorted(results, key=lambda r: (r.T, r.h, r.L, r.rule)):
        if last_t is not None and r.T != last_t:
            print()
        last_t = r.T
        x = exact_values(r)
        h = f"{r.h:7.3f} " if fielded else ""
        print(
            f"{r.T:6.3f} {r.L:3d} {h}{r.rule:<10} {with_error(r.e, r.e_err):>13} {_exact_text(x['e_exact_finite'], 10, 5)} "
            f"{_exact_text(x['e_onsager'], 8, 4)} {with_error(r.m, r.m_err):>12} {_exact_text(x['m_yang'], 7, 4)} "
            f"{with_error(r.chi_prime, r.chi_prime_err):>11} {with_error(r.C, r.C_err):>11} "
            f"{_exact_text(x['c_exact_finite'], 9, 4)} {with_error(r.U, r.U_err):>11}{'' if r.trusted else ' *'}"
        )
    print(
        "e: energy per site; <|m|>: mean |magnetisation| per site; chi_prime = L^2 (<m^2> - <|m|>^2) / T\n"
        "(susceptibility from |m|); C: specific heat per site; U: Binder cumulant. Errors (in parentheses,\n"
        "last digits): jackknife over 32 bins.\n"
        f"*: untrusted: some series (e, e^2, |m|, m^2 or m^4) has an autocorrelation time above a tenth of\n"
        "a bin even after the run was doubled to its limit, so its error bars are too small.\n"
        "Exact columns: 'exact L' for the finite L x L torus (Kaufman 1949, Ferdinand and Fisher 1969);\n"
        f"'L=inf' for the infinite lattice (Onsager 1944, Yang 1952); T_c = 2/ln(1+sqrt 2) = {T_C:.5f}."
        + ("\nIn a field (h != 0) the energy includes -h M and no exact values are known ('-')." if fielded else "")
    )


def write_csv(results: Sequence[ChainResult], out: Path | IO[str]) -> None:
    """One row per chain, sorted by rule, L, h and T, with the exact values beside it;
    `trusted` as 0 or 1. `out` is a path or an open text file."""
    with contextlib.ExitStack() as stack:
        f = stack.enter_context(out.open("w", newline="")) if isinstance(out, Path) else out
        w = csv.DictWriter(f, fieldnames=CSV_COLUMNS, extrasaction="ignore")
        w.writeheader()
        for r in sorted(results, key=lambda r: (r.rule, r.L, r.h, r.T)):
            row: dict[str, Any] = {**vars(r), "trusted": int(r.trusted), **exact_values(r)}
            w.writerow(row)


def print_estimates(result: Estimates, blocks: int) -> None:
    """The estimates beside the exact values, then the fit rules that made them."""
    from .derivatives import describe  # only the study prints estimates, and it has scipy
    from .scaling import OMEGA

    print(f"{'quantity':<10} {'estimate':>16} {'exact':>10} {'deviation':>10} {'off by':>8}")
    for label, key, exact_value in exact.CRITICAL:
        v, e = getattr(result, key), getattr(result, key + "_err")
        syst = getattr(result, key + "_syst", None)
        text = with_error(v, e) if syst is None else with_errors(v, e, syst)
        sigma = e if syst is None else math.hypot(e, syst)
        print(f"{label:<10} {text:>16} {exact_value:10.6f} {100 * (v - exact_value) / exact_value:+9.3f}% "
              f"{abs(v - exact_value) / sigma:6.1f}σ")
    print(f"sizes {result.sizes}; errors: jackknife over {blocks} blocks of every chain; σ is the estimate's error\n"
          "(for nu: value(statistical)(systematic), and σ the two in quadrature).")
    for name, x in (("T_c", result.Tc_extrapolation), ("U_star", result.U_star_extrapolation)):
        print(f"{name}: crossings of U_L and U_2L extrapolated as {name} + c L^-{x.power:g} "
              f"(the power from 1, 2, 3 of least chi^2 = {x.chi2:.2f}, {x.dof} dof).")
    for name, f in result.fits.items():
        if f.correction:
            why = "always, for this quantity" if f.correction_always else "since a pure power law fails"
            print(f"{name}: fitted as a L^p (1 + b L^-{OMEGA:g}) ({why}), b = {f.correction_amplitude:.3g}, "
                  f"chi^2 = {f.chi2:.2f} for {f.dof} dof; a pure power law had chi^2 = {f.plain_chi2:.2f}, "
                  f"chi^2 probability {f.plain_p_value:.2g}.")
        else:
            print(f"{name}: fitted as a pure power law a L^p, chi^2 = {f.chi2:.2f} for {f.dof} dof "
                  f"(probability {f.plain_p_value:.2g}); no correction to scaling needed.")
    print("nu: from the maxima of three derivatives in beta = 1/T, each a power law in L, combined:")
    print("\n".join(describe(result.nu_analysis)))
