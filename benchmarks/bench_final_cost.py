"""Cost of a five-model portfolio over a three-year hourly history, against NumPy.

One `final_cost_coverage_underutilization(..., "cost")` evaluation of the portfolio
RI3Y, RI1Y, SP3Y, SP1Y, OD over 26,280 hours x 32 instance kinds, and the same
computation written with vectorised NumPy. Prints the best time of several runs of
each, the time per usage cell and the ratio. Both sides run on one thread.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")  # before NumPy loads its BLAS

import numpy as np  # noqa: E402
from timing import best_time  # noqa: E402

import velmar_backend as vb  # noqa: E402

T, N = 26_280, 32
NAMES = ["RI3Y", "RI1Y", "SP3Y", "SP1Y", "OD"]
YEAR_HOURS = 8_760
REPEATS_MODULE, REPEATS_NUMPY = 21, 7


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
    usage, prices, levels = make_inputs()
    t_module, _, ours = best_time(
        lambda: vb.final_cost_coverage_underutilization(usage, prices, levels, NAMES, "H", "cost"),
        REPEATS_MODULE,
    )
    t_numpy, _, theirs = best_time(lambda: numpy_cost(usage, prices, levels), REPEATS_NUMPY)
    if not np.isclose(ours, theirs, rtol=1e-9, atol=0.0):
        raise SystemExit(f"results differ: module {ours!r}, numpy {theirs!r}")
    cells = T * N
    print(f"portfolio cost, {T} x {N} hourly cells, models {', '.join(NAMES)}")
    print(f"  result          {ours:.6f} (numpy {theirs:.6f})")
    print(f"  velmar_backend  {t_module * 1e3:9.3f} ms  {t_module * 1e9 / cells:7.3f} ns/cell")
    print(f"  numpy           {t_numpy * 1e3:9.3f} ms  {t_numpy * 1e9 / cells:7.3f} ns/cell")
    print(f"  ratio           {t_numpy / t_module:9.1f} x faster than numpy")


if __name__ == "__main__":
    main()
