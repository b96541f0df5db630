"""The 2D Ising model across its phase transition, against the exact solution.

Runs independent Monte Carlo chains (Metropolis and Wolff, two lattice sizes,
temperatures around T_c) on a local process pool or a Dask cluster, prints a
table beside the exact energy and specific heat of the same finite torus and
the infinite-lattice results (Onsager's energy, Yang's spontaneous
magnetisation), and writes a CSV and two figures: the observables against
temperature, and snapshots of the spins below, at and above T_c.

    python examples/demo.py                       # local pool, one worker per core
    python examples/demo.py --workers 4
    python examples/demo.py --scheduler tcp://127.0.0.1:8786   # a Dask cluster
"""

from __future__ import annotations

import csv
import math
import sys
import time
from pathlib import Path
from typing import Any

import sweep
from sweep import RULES, T_C, Chain, onsager_energy, onsager_specific_heat, yang_magnetization

PLOTTING_DEPENDENCIES = ("matplotlib", "numpy", "scipy")

DEFAULT_OUT = Path(__file__).resolve().parent / "output"

# Temperatures: coarse far from T_c ~ 2.269, dense around it.
TEMPERATURES = (1.5, 1.8, 2.0, 2.1, 2.2, 2.25, 2.3, 2.35, 2.4, 2.5, 2.7, 3.0, 3.5)
SIZES = (16, 32)
# (equilibration, measurements, most measurements) in sweeps, or sweep-equivalents
# of Wolff flips; a run too short for its slowest autocorrelation time doubles up
# to the last. Metropolis gets more: near T_c its autocorrelation time grows like
# L^2, and below T_c its excursions away from the ordered state are rare and slow,
# so a run that has not yet seen several looks converged but underestimates chi'.
BUDGET = {"metropolis": (1000, 40000, 160000), "wolff": (300, 3000, 24000)}
SNAPSHOT_L = 128
SNAPSHOT_T = (2.0, T_C, 3.0)

QUICK_TEMPERATURES = (1.5, 2.3, 3.5)
QUICK_SIZES = (8, 16)
QUICK_BUDGET = {"metropolis": (100, 300, 600), "wolff": (50, 300, 600)}
QUICK_SNAPSHOT_L = 32

LABEL = {"metropolis": "Metropolis", "wolff": "Wolff"}
SIZE_COLORS = ("#1f5fa8", "#c8372d", "#2a9d4b", "#8a4fbf", "#d98c1f", "#444444")
UNTRUSTED_COLOR = "0.6"


def plan(quick: bool) -> tuple[list[Chain], int]:
    temps, sizes, budget, snap_l = (
        (QUICK_TEMPERATURES, QUICK_SIZES, QUICK_BUDGET, QUICK_SNAPSHOT_L)
        if quick
        else (TEMPERATURES, SIZES, BUDGET, SNAPSHOT_L)
    )
    tasks = [Chain(L, T, rule, *budget[rule]) for T in temps for L in sizes for rule in RULES]
    # Longest first, so the pool does not end on one slow straggler.
    tasks.sort(key=lambda t: -(t.L * t.L * (t.equilibration + t.measurements) * (4 if t.rule == "metropolis" else 1)))
    return tasks, snap_l


def with_error(value: float, err: float) -> str:
    """value(err) with the error's two leading digits, e.g. -1.7456(12)."""
    if not (math.isfinite(err) and err > 0):
        return f"{value:.4f}"
    decimals = min(6, max(0, 1 - math.floor(math.log10(err))))
    if round(err * 10**decimals) >= 100 and decimals > 0:  # 0.000996 rounds up to (100)
        decimals -= 1
    return f"{value:.{decimals}f}({max(1, round(err * 10**decimals)):d})"


def slow_mixing(r: dict[str, Any]) -> bool:
    """The chain decorrelates too slowly for its bins: its error bars are too small."""
    return not r["trusted"]


def exact_finite(T: float, L: int) -> tuple[float, float]:
    """Exact energy and specific heat per site of the L x L torus."""
    import exact

    return exact.finite_energy(T, L), exact.finite_specific_heat(T, L)


def print_table(results: list[dict[str, Any]]) -> None:
    head = (
        f"{'T':>6} {'L':>3} {'rule':<10} {'e':>13} {'e exact L':>10} {'e L=inf':>8} {'<|m|>':>12} {'m L=inf':>7} "
        f"{'chi_prime':>11} {'C':>11} {'C exact L':>9} {'U':>11}"
    )
    print(head)
    print("-" * len(head))
    last_t = None
    for r in sorted(results, key=lambda r: (r["T"], r["L"], r["rule"])):
        if last_t is not None and r["T"] != last_t:
            print()
        last_t = r["T"]
        e_l, c_l = exact_finite(r["T"], r["L"])
        print(
            f"{r['T']:6.3f} {r['L']:3d} {r['rule']:<10} {with_error(r['e'], r['e_err']):>13} {e_l:10.5f} "
            f"{onsager_energy(r['T']):8.4f} {with_error(r['m'], r['m_err']):>12} {yang_magnetization(r['T']):7.4f} "
            f"{with_error(r['chi_prime'], r['chi_prime_err']):>11} {with_error(r['C'], r['C_err']):>11} {c_l:9.4f} "
            f"{with_error(r['U'], r['U_err']):>11}{' *' if slow_mixing(r) else ''}"
        )
    print(
        "e: energy per site; <|m|>: mean |magnetisation| per site; chi_prime = L^2 (<m^2> - <|m|>^2) / T\n"
        "(susceptibility from |m|); C: specific heat per site; U: Binder cumulant. Errors (in parentheses,\n"
        "last digits): jackknife over 32 bins.\n"
        f"*: untrusted: some series (e, e^2, |m|, m^2 or m^4) has an autocorrelation time above a tenth of\n"
        "a bin even after the run was doubled to its limit, so its error bars are too small.\n"
        "Exact columns: 'exact L' for the finite L x L torus (Kaufman 1949, Ferdinand and Fisher 1969);\n"
        f"'L=inf' for the infinite lattice (Onsager 1944, Yang 1952); T_c = 2/ln(1+sqrt 2) = {T_C:.5f}."
    )


def write_csv(results: list[dict[str, Any]], path: Path) -> None:
    keys = list(results[0])
    with path.open("w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=keys + ["e_exact_finite", "c_exact_finite", "e_onsager", "m_yang"])
        w.writeheader()
        for r in sorted(results, key=lambda r: (r["rule"], r["L"], r["T"])):
            e_l, c_l = exact_finite(r["T"], r["L"])
            w.writerow(
                {
                    **r,
                    "e_exact_finite": e_l,
                    "c_exact_finite": c_l,
                    "e_onsager": onsager_energy(r["T"]),
                    "m_yang": yang_magnetization(r["T"]),
                }
            )


def plot_observables(results: list[dict[str, Any]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    plt.rcParams.update({"font.size": 11, "axes.titlesize": 12, "legend.fontsize": 10})
    temps = sorted({r["T"] for r in results})
    sizes = sorted({r["L"] for r in results})
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
    import exact

    for i, L in enumerate(sizes):
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        ax_e.plot(grid, [exact.finite_energy(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        ax_c.plot(grid, [exact.finite_specific_heat(t, L) for t in grid], color=color, lw=1.0, ls="--", zorder=2, label=rf"exact, ${L}\times{L}$ torus")
        for rule in RULES:
            rows = sorted((r for r in results if r["L"] == L and r["rule"] == rule), key=lambda r: r["T"])
            if not rows:
                continue
            good = [r for r in rows if not slow_mixing(r)]
            bad = [r for r in rows if slow_mixing(r)]
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
                ax.errorbar([r["T"] for r in good], [r[key] for r in good], yerr=[r[key + "_err"] for r in good], **style)
                if bad:
                    ax.errorbar([r["T"] for r in bad], [r[key] for r in bad], yerr=[r[key + "_err"] for r in bad], **bad_style)
            # One measurement is one sweep (Metropolis) or about one sweep's worth of flips (Wolff).
            line = {k: v for k, v in style.items() if k not in ("capsize", "elinewidth")}
            ax_tau.plot([r["T"] for r in rows], [max(r["tau_max"], 0.5) for r in rows], **line)

    for ax, _, ylabel, title in panels:
        ax.set_ylabel(ylabel)
        ax.set_title(title)
    ax_c.set_ylim(0, max(r["C"] + r["C_err"] for r in results) * 1.25)
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
    ax_u.set_ylim(min(-0.05, min(r["U"] - r["U_err"] for r in results) - 0.02), 0.76)
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


def binder_inset(ax: Any, results: list[dict[str, Any]], sizes: list[int]) -> None:
    """Zoom on the crossing of the Binder cumulants near T_c, Wolff data only (the
    better-converged chains there)."""
    lo, hi = T_C - 0.13, T_C + 0.15
    rows = [r for r in results if r["rule"] == "wolff" and lo <= r["T"] <= hi and not slow_mixing(r)]
    if len({r["T"] for r in rows}) < 2:
        return
    inset = ax.inset_axes((0.08, 0.08, 0.37, 0.40))
    for i, L in enumerate(sizes):
        mine = sorted((r for r in rows if r["L"] == L), key=lambda r: r["T"])
        color = SIZE_COLORS[i % len(SIZE_COLORS)]
        inset.errorbar(
            [r["T"] for r in mine], [r["U"] for r in mine], yerr=[r["U_err"] for r in mine],
            color=color, marker="s", markersize=3.5, lw=0.9, capsize=2, elinewidth=0.8,
        )
    inset.axvline(T_C, color="0.3", lw=1, ls="--")
    inset.set_xlim(lo - 0.02, hi + 0.02)
    inset.tick_params(labelsize=8)
    inset.set_title("Wolff, near $T_c$", fontsize=9)
    inset.grid(alpha=0.25)


def plot_snapshots(snapshots: list[tuple[float, list[int]]], L: int, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

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


def main(argv: list[str] | None = None) -> int:
    parser = sweep.example_parser(__doc__, DEFAULT_OUT, "a few seconds' smoke run with tiny lattices")
    args = parser.parse_args(argv)

    # What the demo needs after its chains have run, checked before they run.
    missing = sweep.missing_modules(PLOTTING_DEPENDENCIES)
    if missing:
        print(f"demo.py needs {', '.join(missing)} for its figures and exact curves: pip install '.[demo]'", file=sys.stderr)
        return 2

    tasks, snap_l = plan(args.quick)
    args.out.mkdir(parents=True, exist_ok=True)
    where = f"Dask scheduler {args.scheduler}" if args.scheduler else "a local process pool"
    print(f"{len(tasks)} independent chains + {len(SNAPSHOT_T)} snapshots on {where}")
    started = time.perf_counter()
    with sweep.open_executor(args.scheduler, args.workers) as executor:
        snap_futures = [executor.submit(sweep.snapshot, snap_l, T) for T in SNAPSHOT_T]
        results = sweep.run_sweep(tasks, executor, progress=True)
        snapshots = [(T, f.result()) for T, f in zip(SNAPSHOT_T, snap_futures)]
    elapsed = time.perf_counter() - started

    print()
    print_table(results)
    paths = {name: args.out / name for name in ("ising_observables.png", "ising_spins.png", "ising_sweep.csv")}
    write_csv(results, paths["ising_sweep.csv"])
    plot_observables(results, paths["ising_observables.png"])
    plot_snapshots(snapshots, snap_l, paths["ising_spins.png"])

    cpu = sum(r["cpu_seconds"] for r in results)
    print(f"\nSimulated {cpu:.1f} CPU seconds of chains in {elapsed:.1f} s of wall time on {where}.")
    print("Wrote:")
    for p in paths.values():
        print(f"  {p}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
