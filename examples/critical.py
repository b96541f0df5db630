"""The critical point of the 2D Ising model by finite-size scaling.

Wolff chains on L x L tori (L = 16 .. 256) at temperatures within the scaling
window around T_c, run through an Executor (local processes, or a Dask
cluster), then the finite-size scaling analysis of ising.scaling on their raw
energy and magnetisation series.

    python examples/critical.py                 # about 4 minutes on two cores
    python examples/critical.py --quick         # a smoke run, seconds
    python examples/critical.py --scheduler tcp://127.0.0.1:8786
"""

from __future__ import annotations

import json
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

from ising.cli import example_parser, require

require(("numpy", "scipy", "matplotlib"), "critical.py needs {missing}: pip install '.[demo]' (or make study)")

import numpy as np  # noqa: E402

from ising import exact, stats  # noqa: E402
from ising.chains import wolff_series  # noqa: E402
from ising.executors import open_executor, run_calls  # noqa: E402
from ising.figures import plot_critical  # noqa: E402
from ising.reporting import print_estimates  # noqa: E402
from ising.scaling import analyse, series_by_size  # noqa: E402
from ising.storage import load_series, save_series  # noqa: E402

DEFAULT_OUT = Path(__file__).resolve().parent / "output"

SIZES = (16, 32, 64, 128, 256)
# Simulated temperatures T_c + x / L: the window where U falls and chi' peaks.
OFFSETS = (0.0, 1.25, 2.5)
# Measurements (one per sweep-equivalent of Wolff flips) per chain, by size.
BUDGET = {16: 40000, 32: 40000, 64: 30000, 128: 30000, 256: 20000}
EQUILIBRATION = 500
BLOCKS = 16

QUICK_SIZES = (8, 16, 32)
QUICK_BUDGET = {8: 4000, 16: 4000, 32: 2400}
QUICK_EQUILIBRATION = 50

EXACT = {
    "Tc": exact.T_C,
    "gamma_over_nu": exact.GAMMA_OVER_NU,
    "nu": exact.NU,
    "beta_over_nu": exact.BETA_OVER_NU,
}


def plan(sizes: tuple[int, ...], budget: dict[int, int], equilibration: int) -> list[tuple[int, float, int, int]]:
    calls = [(L, exact.T_C + x / L, equilibration, budget[L]) for L in sizes for x in OFFSETS]
    # Longest first, so the pool does not end on one slow straggler.
    return sorted(calls, key=lambda c: -(c[0] ** 2) * (c[2] + c[3]))


@dataclass
class RunInfo:
    """What the study ran and what it cost, written beside its estimates."""

    blocks: int
    exact: dict[str, float]
    simulated_temperatures: dict[str, list[float]]
    measurements: dict[str, list[int]]
    tau_int_max: dict[str, float]
    chain_seconds: float
    chain_cpu_seconds: float
    wall_seconds: float
    simulation_wall_seconds: float
    quick: bool


def main(argv: list[str] | None = None) -> int:
    parser = example_parser(__doc__, DEFAULT_OUT, "a smoke run on small lattices; its estimates mean little")
    parser.add_argument("--reanalyse", action="store_true", help="analyse the series saved by the last run in --out instead of simulating")
    args = parser.parse_args(argv)
    sizes, budget, equil = (QUICK_SIZES, QUICK_BUDGET, QUICK_EQUILIBRATION) if args.quick else (SIZES, BUDGET, EQUILIBRATION)
    args.out.mkdir(parents=True, exist_ok=True)
    series_path = args.out / "critical_series.npz"
    started = time.perf_counter()
    if args.reanalyse:
        raw = load_series(series_path)
        print(f"Re-analysing {len(raw)} chains from {series_path}")
    else:
        calls = plan(sizes, budget, equil)
        where = f"Dask scheduler {args.scheduler}" if args.scheduler else "a local process pool"
        print(f"{len(calls)} Wolff chains (L = {', '.join(map(str, sizes))}) on {where}")
        with open_executor(args.scheduler, args.workers) as executor:
            raw = run_calls(wolff_series, calls, executor, progress=True)
        save_series(raw, series_path)
    simulated = time.perf_counter() - started
    by_size = series_by_size(raw)
    taus = {f"{s.L}@{s.T:.5f}": max(stats.tau_int(s.energy), stats.tau_int(np.abs(s.magnetization))) for c in by_size.values() for s in c}

    result = analyse(by_size, BLOCKS, series_path, args.workers)
    run = RunInfo(
        blocks=BLOCKS,
        exact=EXACT,
        simulated_temperatures={str(L): [s.T for s in c] for L, c in by_size.items()},
        measurements={str(L): [int(s.energy.size) for s in c] for L, c in by_size.items()},
        tau_int_max=taus,
        chain_seconds=float(sum(r.seconds for r in raw)),
        chain_cpu_seconds=float(sum(r.cpu_seconds for r in raw)),
        wall_seconds=time.perf_counter() - started,
        simulation_wall_seconds=simulated,
        quick=bool(args.quick),
    )

    json_path, fig_path = args.out / "critical.json", args.out / "critical.png"
    json_path.write_text(json.dumps({**result.as_json(), **asdict(run)}, indent=2) + "\n")
    plot_critical(by_size, result, fig_path)
    print()
    print_estimates(result, BLOCKS)
    print(f"\nChains: {run.chain_cpu_seconds:.0f} CPU seconds in {simulated:.0f} s of wall time; "
          f"whole study {run.wall_seconds:.0f} s.")
    print(f"Wrote:\n  {json_path}\n  {fig_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
