"""The examples' figures: the demo's observables against the exact solution and
its spin snapshots, and the study's finite-size scaling."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, never a window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from . import exact, stats  # noqa: E402
from .chains import RULES, ChainResult  # noqa: E402
from .exact import T_C, onsager_energy, onsager_specific_heat, yang_magnetization  # noqa: E402
from .reporting import ESTIMATES, with_error  # noqa: E402
from . import scaling  # noqa: E402
from .scaling import OMEGA, Estimates  # noqa: E402
from .stats import Series  # noqa: E402

LABEL = {"metropolis": "Metropolis", "wolff": "Wolff"}
SIZE_COLORS = ("#1f5fa8", "#c8372d", "#2a9d4b", "#8a4fbf", "#d98c1f", "#444444")
UNTRUSTED_COLOR = "0.6"


def plot_observables(results: Sequence[ChainResult], path: Path) -> None:
    plt.rcParams.update({"font.size": 11, "axes.titlesize": 12, "legend.fontsize": 10})
    temps = sorted({r.T for r in results})
    sizes = sorted({r.L for r in results})
    grid = np.linspace(min(temps) - 0.05, max(temps) + 0.05, 800)
    fig, axes = plt.subplots(2, 3, figsize=(15, 8.6), sharex=True)
    (ax_e, ax_m, ax_u), (ax_chi, ax_c, ax_tau) = axes

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
    for i, L in enumerate(sizes):
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        ax_e.plot(grid, [exact.finite_energy(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        ax_c.plot(grid, [exact.finite_specific_heat(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        for rule in RULES:
            rows = sorted((r for r in results if r.L == L and r.rule == rule), key=lambda r: r.T)
            if not rows:
                continue
            good = [r for r in rows if not not r.trusted]
            bad = [r for r in rows if not r.trusted]
            style = dict(
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
            # Untrusted rows: grey, hollow, off the line, so they cannot pass for data.
            bad_style = dict(style, color=UNTRUSTED_COLOR, markerfacecolor="none", ls="none", label=None, zorder=2)
            for ax, key, _, _ in panels:
                ax.errorbar([r.T for r in good], [getattr(r, key) for r in good], yerr=[getattr(r, key + "_err") for r in good], **style)
                if bad:
                    ax.errorbar([r.T for r in bad], [getattr(r, key) for r in bad], yerr=[getattr(r, key + "_err") for r in bad], **bad_style)
            # One measurement is one sweep (Metropolis) or about one sweep's worth of flips (Wolff).
            line = {k: v for k, v in style.items() if k not in ("capsize", "elinewidth")}
            ax_tau.plot([r.T for r in rows], [max(r.tau_max, 0.5) for r in rows], **line)

    for ax, _, ylabel, title in panels:
        ax.set_ylabel(ylabel)
        ax.set_title(title)
    ax_c.set_ylim(0, max(r.C + r.C_err for r in results) * 1.25)
    ax_tau.set_yscale("log")
    ax_tau.set_ylabel(r"slowest autocorrelation time,  $\tau_{\rm int}$ / sweeps")
    ax_tau.set_title("Critical slowing down (Wolff avoids it)")
    for ax in axes.flat:
        ax.axvline(T_C, color="0.3", lw=1, ls="--", zorder=0)
        ax.grid(alpha=0.25)
    for ax in axes[1]:
        ax.set_xlabel(r"temperature  $k_B T / J$")
    ax_e.text(T_C + 0.03, 0.05, r"$T_c$", transform=ax_e.get_xaxis_transform(), color="0.3")
    ax_chi.text(T_C - 0.03, 0.9, r"$T_c$", transform=ax_chi.get_xaxis_transform(), color="0.3", ha="right")
    ax_u.set_ylim(min(-0.05, min(r.U - r.U_err for r in results) - 0.02), 0.76)
    binder_inset(ax_u, results, sizes)

    # One legend for the simulations, one per panel for the exact curves.
    handles, labels = ax_chi.get_legend_handles_labels()
    for ax, where in ((ax_e, "upper left"), (ax_c, "upper right")):
        pairs = [(h, lab) for h, lab in zip(*ax.get_legend_handles_labels()) if lab.startswith("exact")]
        ax.legend([h for h, _ in pairs], [lab for _, lab in pairs], loc=where, frameon=False, fontsize=9)
    h, lab = ax_m.get_legend_handles_labels()
    ax_m.legend(h[:1], lab[:1], loc="upper right", frameon=False)
    t_c_line = plt.Line2D([], [], color="0.3", lw=1, ls="--")
    untrusted = plt.Line2D([], [], color=UNTRUSTED_COLOR, marker="o", markerfacecolor="none", ls="none")
    fig.legend(
        handles + [untrusted, t_c_line],
        labels + ["untrusted: run too short for its errors", rf"$T_c = 2/\ln(1+\sqrt{{2}}) \approx {T_C:.4f}$"],
        loc="lower center",
        ncol=(len(handles) + 2 + 1) // 2,
        frameon=False,
        bbox_to_anchor=(0.5, 0.0),
    )
    fig.suptitle(r"2D Ising model on an $L \times L$ torus: Monte Carlo against the exact solution", fontsize=14)
    fig.tight_layout(rect=(0, 0.08, 1, 0.97))
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


def plot_critical(by_size: dict[int, list[Series]], result: Estimates, path: Path) -> None:
    tc_exact = T_C
    sizes = sorted(by_size)
    per = result.per_size
    fig, axes = plt.subplots(2, 3, figsize=(15, 9))
    (ax_u, ax_x, ax_peak), (ax_cu, ax_cchi, ax_m) = axes
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

    # Crossings against 1/L^power and the extrapolation.
    power = result.Tc_extrapolation.power
    Lc = np.array(sizes[:-1], dtype=float)
    xs = Lc**-power
    ax_x.errorbar(xs, per["crossings"], yerr=per["crossings_err"], fmt="o", color="#1f5fa8", capsize=3, label="crossing of $U_L$ and $U_{2L}$")
    line_x = np.linspace(0, xs.max() * 1.05, 50)
    ax_x.plot(line_x, result.Tc + result.Tc_extrapolation.slope * line_x, color="#1f5fa8", lw=1, label="fit")
    ax_x.errorbar([0], [result.Tc], yerr=[result.Tc_err], fmt="s", color="#c8372d", capsize=3, label=rf"$T_c = {result.Tc:.5f}({round(result.Tc_err * 1e5)})$")
    ax_x.axhline(tc_exact, color="0.3", ls="--", lw=1, label=rf"exact $T_c = {tc_exact:.5f}$")
    ax_x.set_xlabel(rf"$L^{{-{power:g}}}$")
    ax_x.set_ylabel("crossing temperature")
    ax_x.set_title("Binder crossings extrapolated in $L$")
    ax_x.legend(fontsize=9)

    Ls = np.array(sizes, dtype=float)
    dense = np.geomspace(Ls[0], Ls[-1], 100)
    for key, name, label, mk, scale in (
        ("chi_peak", "gamma_over_nu", r"$\chi'_{\max}$: $\gamma/\nu$", "o", 1.0),
        ("max_dU_dT", "one_over_nu", r"$\max |dU/dT|$: $1/\nu$", "s", 1.0),
        ("m_at_Tc", "beta_over_nu", r"$100\,\langle|m|\rangle(T_c)$: $\beta/\nu$", "^", 100.0),
    ):
        f = result.fits[name]
        value = with_error(getattr(result, name), getattr(result, name + "_err"))
        tag = rf", with $1 + bL^{{-{OMEGA:g}}}$" if f.correction else ""
        ax_peak.errorbar(Ls, np.array(per[key]) * scale, yerr=np.array(per[key + "_err"]) * scale, fmt=mk, capsize=3,
                         label=f"{label} = {value}{tag}")
        curve = f.amplitude * dense ** f.p * (1 + (f.correction_amplitude or 0.0) * dense**-OMEGA)
        ax_peak.plot(dense, curve * scale, color="0.4", lw=0.8)
    ax_peak.set_xscale("log", base=2)
    ax_peak.set_yscale("log")
    ax_peak.set_xlabel("$L$")
    ax_peak.set_title(r"Scaling with $L$: $\gamma/\nu$, $1/\nu$, $\beta/\nu$")
    ax_peak.legend(fontsize=8)

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
    ax_m.axis("off")
    lines = ["estimate            exact"]
    for label, key, exact_value in ESTIMATES:
        lines.append(f"{label:<9} {getattr(result, key):.5f} +- {getattr(result, key + '_err'):.5f}   {exact_value:.5f}")
    corrected = [name for name, f in result.fits.items() if f.correction]
    if corrected:
        lines += ["", "fitted with a leading correction", f"(1 + b L^-{OMEGA:g}): " + ", ".join(corrected)]
    ax_m.text(0.02, 0.95, "\n".join(lines), family="monospace", va="top", fontsize=11, transform=ax_m.transAxes)
    for ax in axes.flat:
        ax.grid(alpha=0.25)
    fig.suptitle("2D Ising model: the critical point by finite-size scaling (Wolff chains, reweighting)", fontsize=14)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=120)
    plt.close(fig)


