"""The figures: the demo's observables against the exact solution and
its spin snapshots, and the study's finite-size scaling."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import Any

try:
    import matplotlib

    matplotlib.use("Agg")  # files only, never a window
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator
except ImportError as error:
    from ._extras import missing_extra

    raise missing_extra(__name__, error) from error

from . import exact, scaling, stats
from .chains import RULES, ChainResult
from .derivatives import ESTIMATORS, LABELS, NuEstimate
from .exact import T_C, onsager_energy, onsager_specific_heat, yang_magnetization
from .reporting import with_error, with_errors
from .scaling import OMEGA, Estimates
from .stats import Series

LABEL = {"metropolis": "Metropolis", "wolff": "Wolff"}
SIZE_COLORS = ("#1f5fa8", "#c8372d", "#2a9d4b", "#8a4fbf", "#d98c1f", "#444444")
UNTRUSTED_COLOR = "0.6"


# Metropolis and Wolff points at one temperature are drawn this far either side of it.
RULE_OFFSET = {"metropolis": -0.012, "wolff": 0.012}


def _rule_style(rule: str, color: str, L: int) -> dict[str, Any]:
    return dict(
        color=color,
        marker="o" if rule == "metropolis" else "s",
        markersize=6 if rule == "metropolis" else 5,
        markerfacecolor="white" if rule == "metropolis" else color,
        markeredgewidth=1.3,
        capsize=2.5,
        elinewidth=1,
        lw=0.8,
        ls=":" if rule == "metropolis" else "-",
        label=f"{LABEL[rule]}, $L = {L}$",
        zorder=3,
    )


# Untrusted rows: a grey cross off the line, unlike any trusted point.
UNTRUSTED_STYLE = dict(color=UNTRUSTED_COLOR, marker="X", markersize=8, markerfacecolor=UNTRUSTED_COLOR,
                       markeredgecolor="white", markeredgewidth=0.6, ls="none", capsize=2.5, elinewidth=1, zorder=4)


def plot_observables(results: Sequence[ChainResult], path: Path) -> None:
    plt.rcParams.update({"font.size": 11, "axes.titlesize": 12, "legend.fontsize": 10})
    temps = sorted({r.T for r in results})
    sizes = sorted({r.L for r in results})
    grid = np.linspace(min(temps) - 0.05, max(temps) + 0.05, 800)
    fig, axes = plt.subplots(3, 3, figsize=(15, 12.4), sharex=True, gridspec_kw={"height_ratios": (1, 1, 0.8)})
    (ax_e, ax_m, ax_u), (ax_chi, ax_c, ax_tau), (ax_re, ax_rc, ax_key) = axes

    ax_e.plot(grid, [onsager_energy(t) for t in grid], color="black", lw=1.6, label=r"exact, $L=\infty$ (Onsager)", zorder=1)
    ax_m.plot(grid, [yang_magnetization(t) for t in grid], color="black", lw=1.6, label=r"exact, $L=\infty$ (Yang)", zorder=1)
    # The exact specific heat diverges logarithmically; keep the grid off T_c itself.
    c_exact = [onsager_specific_heat(t) if abs(t - T_C) > 1e-4 else np.nan for t in grid]
    ax_c.plot(grid, c_exact, color="black", lw=1.6, label=r"exact, $L=\infty$", zorder=1)
    ax_u.axhline(2.0 / 3.0, color="0.55", lw=1, ls="--", zorder=0)
    ax_u.text(max(temps), 2.0 / 3.0 + 0.012, r"ordered phase: $U \to 2/3$", color="0.4", fontsize=9, ha="right", va="bottom")

    panels = [
        (ax_e, "e", r"energy per site  $\langle e\rangle / J$", "Energy"),
        (ax_m, "m", r"magnetisation per site  $\langle |m| \rangle$", "Order parameter"),
        (ax_u, "U", r"$U = 1 - \langle m^4\rangle / 3\langle m^2\rangle^2$", r"Binder cumulant: sizes cross near $T_c$"),
        (ax_chi, "chi_prime", r"$\chi' = L^2(\langle m^2\rangle - \langle |m|\rangle^2)\,/\,T$", r"Susceptibility $\chi'$ (from $|m|$)"),
        (ax_c, "C", r"$C = L^2(\langle e^2\rangle - \langle e\rangle^2)\,/\,T^2$", "Specific heat per site"),
    ]
    # Residuals in units of each point's error: against its own finite torus, and
    # (faint) against the infinite lattice.
    residuals = (
        (ax_re, "e", exact.finite_energy, onsager_energy, "Energy"),
        (ax_rc, "C", exact.finite_specific_heat, onsager_specific_heat, "Specific heat"),
    )
    reach = {ax: [-3.0, 3.0] for ax, *_ in residuals}
    for i, L in enumerate(sizes):
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        ax_e.plot(grid, [exact.finite_energy(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        ax_c.plot(grid, [exact.finite_specific_heat(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        for rule in RULES:
            rows = sorted((r for r in results if r.L == L and r.rule == rule), key=lambda r: r.T)
            if not rows:
                continue
            good = [r for r in rows if r.trusted]
            bad = [r for r in rows if not r.trusted]
            style = _rule_style(rule, color, L)
            dx = RULE_OFFSET[rule]
            for ax, key, _, _ in panels:
                for chosen, how in ((good, style), (bad, UNTRUSTED_STYLE)):
                    if chosen:
                        ax.errorbar([r.T + dx for r in chosen], [getattr(r, key) for r in chosen],
                                    yerr=[getattr(r, key + "_err") for r in chosen], **how)
            for ax, key, finite, infinite, _ in residuals:
                for chosen, how in ((good, style), (bad, UNTRUSTED_STYLE)):
                    if not chosen:
                        continue
                    t = np.array([r.T for r in chosen]) + dx
                    err = np.array([getattr(r, key + "_err") for r in chosen])
                    value = np.array([getattr(r, key) for r in chosen])
                    own = (value - [finite(r.T, r.L) for r in chosen]) / err
                    far = (value - [infinite(r.T) for r in chosen]) / err
                    ax.plot(t, own, **{k: v for k, v in how.items() if k not in ("capsize", "elinewidth", "ls", "lw")}, ls="none")
                    ax.plot(t, far, marker="." if how is style else "x", color=how["color"], alpha=0.45, ls="none", zorder=1)
                    reach[ax] = [min(reach[ax][0], *own, *far), max(reach[ax][1], *own, *far)]
            # One measurement is one sweep (Metropolis) or about one sweep's worth of flips (Wolff).
            line = {k: v for k, v in style.items() if k not in ("capsize", "elinewidth")}
            ax_tau.plot([r.T + dx for r in rows], [max(r.tau_max, 0.5) for r in rows], **line)

    for ax, _, ylabel, title in panels:
        ax.set_ylabel(ylabel)
        ax.set_title(title)
    for ax, key, _, _, name in residuals:
        ax.axhspan(-2, 2, color="0.85", zorder=0)
        ax.axhline(0, color="0.4", lw=0.8)
        ax.set_yscale("symlog", linthresh=3, linscale=1.5)
        ax.set_ylim(reach[ax][0] * 1.5, reach[ax][1] * 1.5)
        ax.yaxis.set_major_locator(FixedLocator([-300, -100, -30, -10, -3, -2, 0, 2, 3, 10, 30, 100, 300, 1000]))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_locator(NullLocator())
        ax.set_ylabel(rf"(MC $-$ exact) / error of ${key}$")
        ax.set_title(f"{name}: its own torus (markers) or $L=\\infty$ (faint)")
    ax_c.set_ylim(0, max(r.C + r.C_err for r in results) * 1.25)
    ax_tau.set_yscale("log")
    ax_tau.set_ylabel(r"slowest autocorrelation time,  $\tau_{\rm int}$ / sweeps")
    ax_tau.set_title("Critical slowing down (Wolff avoids it)")
    for ax in axes.flat[:-1]:
        ax.axvline(T_C, color="0.3", lw=1, ls="--", zorder=0)
        ax.grid(alpha=0.25)
    for ax in axes[2]:
        ax.set_xlabel(r"temperature  $k_B T / J$")
        ax.xaxis.set_tick_params(labelbottom=True)
    ax_e.text(T_C + 0.03, 0.05, r"$T_c$", transform=ax_e.get_xaxis_transform(), color="0.3")
    ax_chi.text(T_C - 0.03, 0.9, r"$T_c$", transform=ax_chi.get_xaxis_transform(), color="0.3", ha="right")
    ax_u.set_ylim(min(-0.05, min(r.U - r.U_err for r in results) - 0.02), 0.76)
    binder_inset(ax_u, results, sizes)

    # One legend for the simulations (in the last panel), one per panel for the exact curves.
    handles, labels = ax_chi.get_legend_handles_labels()
    for ax, where in ((ax_e, "upper left"), (ax_c, "upper right")):
        pairs = [(h, lab) for h, lab in zip(*ax.get_legend_handles_labels()) if lab.startswith("exact")]
        ax.legend([h for h, _ in pairs], [lab for _, lab in pairs], loc=where, frameon=False, fontsize=9)
    h, lab = ax_m.get_legend_handles_labels()
    ax_m.legend(h[:1], lab[:1], loc="upper right", frameon=False)
    t_c_line = plt.Line2D([], [], color="0.3", lw=1, ls="--")
    untrusted = plt.Line2D([], [], **{k: v for k, v in UNTRUSTED_STYLE.items() if k not in ("capsize", "elinewidth")})
    band = plt.Rectangle((0, 0), 1, 1, color="0.85")
    ax_key.axis("off")
    ax_key.legend(
        handles + [untrusted, band, t_c_line],
        labels + ["untrusted: run too short for its errors", r"residual within $\pm 2\sigma$",
                  rf"$T_c = 2/\ln(1+\sqrt{{2}}) \approx {T_C:.4f}$"],
        loc="center", frameon=False, ncol=1, fontsize=10,
        title=f"Metropolis drawn at $T - {-RULE_OFFSET['metropolis']}$, Wolff at $T + {RULE_OFFSET['wolff']}$",
        title_fontsize=9,
    )
    fig.suptitle(r"2D Ising model on an $L \times L$ torus: Monte Carlo against the exact solution", fontsize=14)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=130)
    plt.close(fig)


def binder_inset(ax: Any, results: Sequence[ChainResult], sizes: list[int]) -> None:
    """Zoom on the crossing of the Binder cumulants near T_c, Wolff data only (the
    better-converged chains there)."""
    lo, hi = T_C - 0.13, T_C + 0.15
    rows = [r for r in results if r.rule == "wolff" and lo <= r.T <= hi and not not r.trusted]
    if len({r.T for r in rows}) < 2:
        return
    inset = ax.inset_axes((0.08, 0.08, 0.37, 0.40))
    for i, L in enumerate(sizes):
        mine = sorted((r for r in rows if r.L == L), key=lambda r: r.T)
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        inset.errorbar(
            [r.T for r in mine], [r.U for r in mine], yerr=[r.U_err for r in mine],
            color=color, marker="s", markersize=3.5, lw=0.9, capsize=2, elinewidth=0.8,
        )
    inset.axvline(T_C, color="0.3", lw=1, ls="--")
    inset.set_xlim(lo - 0.02, hi + 0.02)
    inset.tick_params(labelsize=8)
    inset.set_title("Wolff, near $T_c$", fontsize=9)
    inset.grid(alpha=0.25)


def plot_snapshots(snapshots: list[tuple[float, list[int]]], L: int, path: Path) -> None:
    colors = ("#16324f", "#f4d35e")  # spin -1, spin +1
    fig, axes = plt.subplots(1, len(snapshots), figsize=(4.6 * len(snapshots), 5.1))
    for ax, (T, spins) in zip(np.atleast_1d(axes), snapshots):
        field = np.asarray(spins, dtype=np.int8).reshape(L, L)
        ax.imshow(field, cmap=ListedColormap(colors), vmin=-1, vmax=1, interpolation="nearest")
        where = "<" if T < T_C - 1e-9 else (">" if T > T_C + 1e-9 else "=")
        exact = yang_magnetization(T)
        ax.set_title(
            rf"$T {where} T_c$:  $T = {T:.3f}$" + "\n"
            + rf"$m = {field.mean():+.3f}$   (Yang: " + (rf"$\pm{exact:.3f}$)" if exact else "0)")
        )
        ax.set_xticks([])
        ax.set_yticks([])
    fig.legend(
        [Patch(color=colors[1]), Patch(color=colors[0])],
        [r"$s = +1$", r"$s = -1$"],
        loc="lower center",
        ncol=2,
        frameon=False,
    )
    fig.suptitle(rf"Equilibrium spin configurations on a ${L} \times {L}$ lattice (Wolff updates)", fontsize=14)
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _crossing_panel(ax: Any, pairs: np.ndarray, y: list[float], err: list[float], limit: float, limit_err: float,
                    fit: Any, exact_value: float, what: str, label: str, legend_at: str) -> None:
    """Values at the crossings of L and 2L against L, the fitted approach to the
    limit, and the extrapolated limit as a band beside the exact value."""
    ax.errorbar(pairs, y, yerr=err, fmt="o", color="#1f5fa8", capsize=3, label=f"{what} of $U_L$ and $U_{{2L}}$")
    dense = np.geomspace(pairs[0], pairs[-1] * 8, 100)
    ax.plot(dense, limit + fit.slope * dense**-fit.power, color="#1f5fa8", lw=1,
            label=rf"fit: limit $+\, c\,L^{{-{fit.power:g}}}$")
    ax.axhspan(limit - limit_err, limit + limit_err, color="#c8372d", alpha=0.25, lw=0,
               label=f"{label} = {with_error(limit, limit_err)} ($L \\to \\infty$)")
    ax.axhline(limit, color="#c8372d", lw=1)
    ax.axhline(exact_value, color="0.3", ls="--", lw=1, label=f"exact {label} = {exact_value:.5f}")
    ax.set_xscale("log", base=2)
    ax.set_xlabel("$L$ (crossing of $L$ and $2L$)")
    # Room for the legend beyond the data, on its side.
    lo, hi = ax.get_ylim()
    ax.set_ylim((lo - 0.5 * (hi - lo), hi) if legend_at.startswith("lower") else (lo, hi + 0.5 * (hi - lo)))
    ax.legend(fontsize=8.5, loc=legend_at)


def _derivatives_panel(ax: Any, est: NuEstimate) -> None:
    """The three derivative maxima against L on log-log axes, each with its power
    law over the sizes it was fitted to; hollow: a maximum the chains did not bracket."""
    Ls = np.array(est.sizes, dtype=float)
    for name, color in zip(ESTIMATORS, SIZE_COLORS):
        y, err = np.array(est.per_size[name]), np.array(est.per_size[name + "_err"])
        kept = np.array([L not in est.left_out[name] for L in est.sizes])
        f = est.fits[name]
        ax.errorbar(Ls[kept], y[kept], yerr=err[kept], fmt="o", color=color, capsize=3, ms=4,
                    label=f"max {LABELS[name]}: $p$ = {with_error(f.p, f.err)}")
        if not kept.all():
            ax.plot(Ls[~kept], y[~kept], "o", mfc="none", color=color, ms=6)
        if np.isfinite(f.p) and f.sizes:
            dense = np.geomspace(Ls[0], Ls[-1], 100)
            fitted = dense >= min(f.sizes)
            ax.plot(dense[fitted], f.amplitude * dense[fitted] ** f.p, color=color, lw=1)
            ax.plot(dense[~fitted], f.amplitude * dense[~fitted] ** f.p, color=color, lw=1, ls=":")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    ax.set_xlabel("$L$")
    ax.set_ylabel(r"maximum over $\beta$")
    ax.set_title(rf"derivative maxima $\propto L^{{1/\nu}}$ ($L \geq {est.L_min}$): "
                 rf"$\nu$ = {with_errors(est.nu, est.nu_err, est.nu_syst)}", fontsize=11)
    ax.legend(fontsize=8.5, loc="upper left")


def plot_critical(by_size: dict[int, list[Series]], result: Estimates, path: Path) -> None:
    tc_exact = T_C
    sizes = sorted(by_size)
    per = result.per_size
    fig, axes = plt.subplots(3, 3, figsize=(15, 13.5))
    (ax_u, ax_x, ax_ux), (ax_chi, ax_nu, ax_mag), (ax_cu, ax_cchi, ax_text) = axes
    for i, L in enumerate(sizes):
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        chains = by_size[L]
        grid = scaling.grid(L, -1.0, 3.8, 97)
        obs = [stats.observables_at(chains, T) for T in grid]
        U = np.array([o.U for o in obs])
        chi = np.array([o.chi_prime for o in obs])
        x = (grid - tc_exact) * L
        ax_u.plot(grid, U, color=color, lw=1.4, label=f"$L = {L}$")
        ax_cu.plot(x, U, color=color, lw=1.4, label=f"$L = {L}$")
        ax_cchi.plot(x, chi * L**-1.75, color=color, lw=1.4, label=f"$L = {L}$")
        sim_t = [s.T for s in chains]
        sim = [stats.observables_at(chains, T) for T in sim_t]
        ax_u.plot(sim_t, [o.U for o in sim], "o", color=color, ms=4)
        ax_cu.plot((np.array(sim_t) - tc_exact) * L, [o.U for o in sim], "o", color=color, ms=4)
        ax_cchi.plot((np.array(sim_t) - tc_exact) * L, [o.chi_prime * L**-1.75 for o in sim], "o", color=color, ms=4)
    ax_u.set_xlim(tc_exact - 0.03, tc_exact + 0.12)
    ax_u.axvline(tc_exact, color="0.3", ls="--", lw=1, label=r"exact $T_c$")
    ax_u.set_title("Binder cumulants (reweighted; dots: simulated)")
    ax_u.set_xlabel("$T$")
    ax_u.set_ylabel(r"$U = 1 - \langle m^4\rangle / 3\langle m^2\rangle^2$")
    ax_u.legend(fontsize=9)

    # The crossings against L itself (log scale), so that every pair stays apart.
    pairs = np.array(sizes[:-1], dtype=float)
    _crossing_panel(ax_x, pairs, per["crossings"], per["crossings_err"], result.Tc, result.Tc_err,
                    result.Tc_extrapolation, tc_exact, "crossing", "$T_c$", "lower right")
    ax_x.set_ylabel("crossing temperature $T^*$")
    ax_x.set_title(r"$T_c$: Binder crossings extrapolated in $L$")
    _crossing_panel(ax_ux, pairs, per["U_crossings"], per["U_crossings_err"], result.U_star, result.U_star_err,
                    result.U_star_extrapolation, exact.U_STAR, "$U$ at the crossing", "$U^*$", "upper right")
    ax_ux.set_ylabel("$U$ at the crossing")
    ax_ux.set_title(r"$U^*$: the cumulant at the crossings, extrapolated")

    # One scaling law per panel, each with its fitted curve and exponent.
    Ls = np.array(sizes, dtype=float)
    dense = np.geomspace(Ls[0], Ls[-1], 100)
    for ax, key, name, ylabel, title, sign in (
        (ax_chi, "chi_peak", "gamma_over_nu", r"$\chi'_{\max}$", r"$\chi'_{\max} \propto L^{\gamma/\nu}$", 1),
        (ax_mag, "m_at_Tc", "beta_over_nu", r"$\langle|m|\rangle$ at the estimated $T_c$", r"$\langle|m|\rangle(T_c) \propto L^{-\beta/\nu}$", -1),
    ):
        f = result.fits[name]
        symbol = {"gamma_over_nu": r"\gamma/\nu", "beta_over_nu": r"\beta/\nu"}[name]
        value = with_error(getattr(result, name), getattr(result, name + "_err"))
        form = rf"$a L^{{p}} (1 + b L^{{-{OMEGA:g}}})$" if f.correction else r"$a L^{p}$"
        ax.errorbar(Ls, per[key], yerr=per[key + "_err"], fmt="o", color="#1f5fa8", capsize=3, label="measured")
        curve = f.amplitude * dense**f.p * (1 + (f.correction_amplitude or 0.0) * dense**-OMEGA)
        ax.plot(dense, curve, color="#c8372d", lw=1, label=f"fit {form}, $\\chi^2$ = {f.chi2:.1f} / {f.dof} dof")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        # Within a decade every minor tick is labelled, across decades only 2 and 5.
        narrow = per[key][-1] / per[key][0] < 10
        ax.yaxis.set_minor_formatter(FuncFormatter(lambda v, _, narrow=narrow: f"{v:g}" if narrow or f"{v:g}"[0] in "25" else ""))
        ax.set_xlabel("$L$")
        ax.set_ylabel(ylabel)
        ax.set_title(f"{title}: ${symbol}$ = {value}")
        ax.legend(fontsize=8.5, loc="upper left" if sign > 0 else "upper right")
    _derivatives_panel(ax_nu, result.nu_analysis)

    ax_cu.set_xlim(-1.0, 3.8)
    ax_cu.set_xlabel(r"$(T - T_c)\, L^{1/\nu}$")
    ax_cu.set_ylabel("$U$")
    ax_cu.set_title(r"Collapse of $U$ (exact $T_c$, $\nu = 1$)")
    ax_cchi.set_xlim(-1.0, 3.8)
    ax_cchi.set_xlabel(r"$(T - T_c)\, L^{1/\nu}$")
    ax_cchi.set_ylabel(r"$\chi' L^{-7/4}$")
    ax_cchi.set_title(r"Collapse of $\chi'$ (exact $\gamma/\nu = 7/4$)")
    ax_cchi.legend(fontsize=9)

    # Estimates against exact values.
    ax_text.axis("off")
    lines = ["estimate              exact"]
    for label, key, exact_value in exact.CRITICAL:
        lines.append(f"{label:<9} {getattr(result, key):.5f} ± {getattr(result, key + '_err'):.5f}   {exact_value:.5f}")
        syst = getattr(result, key + "_syst", None)
        if syst is not None:
            lines.append(f"{'':<17} ± {syst:.5f} (systematic)")
    corrected = [name for name, f in result.fits.items() if f.correction]
    if corrected:
        lines += ["", "fitted with a leading correction", f"(1 + b L^-{OMEGA:g}): " + ", ".join(corrected)]
    lines += ["", "crossings extrapolated as c L^-k, k from 1, 2, 3", f"by least chi^2: T_c k = {result.Tc_extrapolation.power:g}, "
              f"U* k = {result.U_star_extrapolation.power:g}"]
    ax_text.text(0.02, 0.95, "\n".join(lines), family="monospace", va="top", fontsize=11, transform=ax_text.transAxes)
    for ax in axes.flat:
        ax.grid(alpha=0.25)
    fig.suptitle("2D Ising model: the critical point by finite-size scaling (Wolff chains, reweighting)", fontsize=14)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)
