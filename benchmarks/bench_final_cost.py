"""Cost of a five-model portfolio over a three-year hourly history, against numba and NumPy.

One `final_cost_coverage_underutilization(..., "cost")` evaluation of the portfolio
RI3Y, RI1Y, SP3Y, SP1Y, OD over 26,280 hours x 32 instance kinds, the levels tiled over
the periods as callers pass them (one-year models expire after 8,760 hours), against the
same pass written in numba (the peer to beat by at least 3x, on one thread) and with
vectorised NumPy, timed interleaved in one run. The module prices a pass this large on its
worker pool.

    python benchmarks/bench_final_cost.py [--rounds N] [--json]
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")  # before NumPy loads its BLAS

from functools import partial  # noqa: E402

import numba_peer  # noqa: E402
import numpy as np  # noqa: E402
from pass_race import race  # noqa: E402
from timing import arguments  # noqa: E402

import velmar_backend as vb  # noqa: E402

T, N = 26_280, 32
NAMES = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
YEAR_HOURS = 8_760
TARGET = 3.0  # numba time / module time


def make_inputs(seed=2024):
    rng = np.random.default_rng(seed)
    hours = np.arange(T)
    base = rng.uniform(2.0, 40.0, N)
    daily = 1.0 + 0.3 * np.sin(2 * np.pi * (hours[:, None] % 24) / 24 + rng.uniform(0, 2 * np.pi, N))
    weekly = 1.0 + 0.15 * np.sin(2 * np.pi * (hours[:, None] % 168) / 168)
    growth = 1.0 + 0.4 * hours[:, None] / T
    usage = base * daily * weekly * growth * rng.gamma(8.0, 1.0 / 8.0, (T, N))

    on_demand = rng.uniform(0.05, 3.0, N)
    prices = np.vstack(
        [
            0.45 * on_demand,  # RI3Y: price per reserved unit per hour
            0.62 * on_demand,  # RI1Y
            0.55 * on_demand,  # SP3Y: money per unit covered
            0.70 * on_demand,  # SP1Y
            on_demand,  # OD
        ]
    )
    # A fixed portfolio: three-year reservations at a third of the base load, one-year
    # reservations at another sixth, and two savings plans.
    ri3 = np.floor(base / 3.0)
    ri1 = np.floor(base / 6.0)
    sp3 = 0.15 * float(base @ on_demand)
    sp1 = 0.10 * float(base @ on_demand)
    row = np.concatenate([ri3, ri1, [sp3, sp1]])
    levels = np.tile(row, (T, 1))
    return usage, prices, levels


def numpy_cost(usage, prices, levels):
    """The portfolio's cost written the way a NumPy user would."""
    remaining = usage.copy()
    total = 0.0
    col = 0
    for name, price in zip(NAMES, prices):
        duration = 3 * YEAR_HOURS if name.endswith("3Y") else YEAR_HOURS
        if name.startswith("RI"):
            r = levels[:, col : col + N].copy()
            col += N
            r[duration:] *= 0.0
            total += float((r @ price).sum())
            remaining -= r
            np.maximum(remaining, 0.0, out=remaining)
        elif name.startswith("SP"):
            budget = levels[:, col].copy()
            col += 1
            budget[duration:] *= 0.0
            total += float(budget.sum())
            for k in range(N):
                covered = np.fmin(remaining[:, k], budget / price[k])
                remaining[:, k] -= covered
                budget -= covered * price[k]
        else:
            total += float((remaining @ price).sum())
    return total


def main():
    args = arguments(__doc__, rounds=21).parse_args()
    usage, prices, levels = make_inputs()
    race(
        args,
        f"portfolio cost, {T:,} x {N} hourly cells, models {', '.join(NAMES)}, levels tiled over the periods",
        usage.size,
        TARGET,
        module=lambda: vb.final_cost_coverage_underutilization(usage, prices, levels, NAMES, "H", "cost"),
        numpy=lambda: numpy_cost(usage, prices, levels),
        make_peer=lambda: partial(numba_peer.Portfolio(NAMES, N, daily=False).cost, usage, prices, levels),
    )


if __name__ == "__main__":
    main()
