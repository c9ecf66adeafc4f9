"""One `cost` pass over three years of hourly usage (26,280 periods x 32 kinds), against the
same computation written with NumPy, measured in the same run."""


import numpy as np
from timing import best_time

import velmar_backend

PERIODS = 3 * 365 * 24
KINDS = 32
SEED = 11


def make_inputs():
    rng = np.random.default_rng(SEED)
    hour = np.arange(PERIODS)
    daily = 1.0 + 0.3 * np.sin(2 * np.pi * hour / 24.0)
    weekly = np.where((hour // 24) % 7 >= 5, 0.7, 1.0)
    scale = rng.uniform(1.0, 50.0, size=KINDS)
    usage = scale * (daily * weekly)[:, None] * rng.lognormal(0.0, 0.2, size=(PERIODS, KINDS))
    on_demand = rng.uniform(0.05, 2.0, size=KINDS)
    prices = np.vstack([
        on_demand,
        on_demand * rng.uniform(0.6, 0.7, size=KINDS),
        on_demand * rng.uniform(0.55, 0.65, size=KINDS),
    ])
    reserved = np.floor(0.5 * scale)
    levels = np.concatenate([[0.3 * float(np.median(usage @ prices[1]))], reserved])
    return usage, prices, levels


def numpy_cost(usage, prices, levels):
    """What a Python user would write: reservation step, savings plan kind by kind, on demand."""
    periods = usage.shape[0]
    remaining = np.maximum(usage - levels[1:], 0.0)
    budget = np.full(periods, levels[0])
    with np.errstate(divide="ignore", invalid="ignore"):
        for k in range(usage.shape[1]):
            rate = prices[1, k]
            covered = np.fmin(remaining[:, k], budget / rate)
            budget -= covered * rate
            remaining[:, k] -= covered
    reserved_cost = periods * float(levels[1:] @ prices[2])
    commitment_cost = periods * float(levels[0])
    return (reserved_cost + commitment_cost) + float((remaining * prices[0]).sum())


def main():
    usage, prices, levels = make_inputs()
    cells = usage.size
    module_seconds, _, module_value = best_time(lambda: velmar_backend.cost(usage, prices, levels), 20)
    numpy_seconds, _, numpy_value = best_time(lambda: numpy_cost(usage, prices, levels), 5)
    if not np.isclose(module_value, numpy_value, rtol=1e-9):
        raise SystemExit(f"results differ: module {module_value!r}, NumPy {numpy_value!r}")

    print(f"cost over {PERIODS:,} periods x {KINDS} kinds ({cells:,} cells), level vector broadcast")
    print(f"  result     {module_value:,.2f} (NumPy {numpy_value:,.2f})")
    print(f"  module     {module_seconds * 1e3:8.2f} ms  {module_seconds * 1e9 / cells:6.2f} ns/cell  (best of 20)")
    print(f"  NumPy      {numpy_seconds * 1e3:8.2f} ms  {numpy_seconds * 1e9 / cells:6.2f} ns/cell  (best of 5)")
    print(f"  ratio      {numpy_seconds / module_seconds:.1f}x faster than NumPy")


if __name__ == "__main__":
    main()
